#include "mqtt_broker.h"

#include "bridge_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <mosquitto.h>

#include <csignal>

#include <pwd.h>
#include <unistd.h>

namespace
{

// A CA, and a server certificate for 127.0.0.1 that it signs.
const char* const kMakeCertificates =
    "cd \"$0\" && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
    "-subj '/CN=test CA' -keyout ca.key -out ca.pem && openssl req -newkey ec -pkeyopt "
    "ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr && "
    "printf 'subjectAltName=IP:127.0.0.1\\n' > ext.cnf && openssl x509 -req -in server.csr -CA "
    "ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext.cnf -out server.pem";

quint16 FreePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

// Started by root, the broker would become the user mosquitto, who may not read the folder.
MqttBroker::MqttBroker(bool tls, const QString& user) : m_tls(tls), m_user(user)
{
    m_port = FreePort();
    QString config = QString("listener %1 127.0.0.1\npersistence true\npersistence_location %2/\n"
                             "queue_qos0_messages true\nuser %3\n")
                         .arg(m_port)
                         .arg(dir(), QString::fromLocal8Bit(getpwuid(getuid())->pw_name));
    if (m_tls && std::get<0>(runProgram("sh", {"-c", kMakeCertificates, dir()})) == 0)
        config +=
            QString("cafile %1/ca.pem\ncertfile %1/server.pem\nkeyfile %1/server.key\n").arg(dir());
    if (!m_user.isEmpty() &&
        std::get<0>(runProgram("mosquitto_passwd",
                               {"-b", "-c", dir() + "/passwords", m_user, "secret"})) == 0)
        config += QString("allow_anonymous false\npassword_file %1/passwords\n").arg(dir());
    else
        config += "allow_anonymous true\n";
    QFile file(dir() + "/mosquitto.conf");
    if (file.open(QIODevice::WriteOnly))
        file.write(config.toUtf8());
}

bool MqttBroker::start()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start("mosquitto", {"-c", dir() + "/mosquitto.conf"});
    return m_process.waitForStarted(5000) &&
           QTest::qWaitFor([&] { return isListening(m_port, m_process.processId()); }, 10000);
}

// In order, so that the broker saves its sessions.
void MqttBroker::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(1000);
}

SparkplugWatch::SparkplugWatch(const MqttBroker& broker)
{
    mosquitto_lib_init();
    const std::string id = "watch-" + std::to_string(broker.port());
    m_handle = mosquitto_new(id.c_str(), false, this);
    mosquitto_message_callback_set(m_handle, OnMessage);
    mosquitto_connect_callback_set(m_handle, OnConnect);
    mosquitto_reconnect_delay_set(m_handle, 1, 1, false);
    if (broker.tls())
        mosquitto_tls_set(m_handle, (broker.dir() + "/ca.pem").toUtf8().constData(), nullptr,
                          nullptr, nullptr, nullptr);
    if (!broker.user().isEmpty())
        mosquitto_username_pw_set(m_handle, broker.user().toUtf8().constData(), "secret");
    mosquitto_connect(m_handle, "127.0.0.1", broker.port(), 10);
    mosquitto_loop_start(m_handle);
    // Until its own message comes back; a test finds no message when it did not.
    static_cast<void>(QTest::qWaitFor([&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_seen.empty();
    }));
}

SparkplugWatch::~SparkplugWatch()
{
    mosquitto_disconnect(m_handle);
    mosquitto_loop_stop(m_handle, false);
    mosquitto_destroy(m_handle);
}

// Subscribed to its own mark first, so that the constructor knows the subscription stands.
void SparkplugWatch::OnConnect(mosquitto* handle, void*, int code)
{
    if (code != 0)
        return;
    mosquitto_subscribe(handle, nullptr, "spBv1.0/#", 1);
    mosquitto_subscribe(handle, nullptr, "watch/ready", 1);
    mosquitto_publish(handle, nullptr, "watch/ready", 1, "1", 1, false);
}

void SparkplugWatch::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* watch = static_cast<SparkplugWatch*>(self);
    Seen seen{message->topic, {}};
    seen.payload.ParseFromArray(message->payload, message->payloadlen);
    std::lock_guard<std::mutex> lock(watch->m_mutex);
    watch->m_seen.push_back(std::move(seen));
}

std::vector<Seen> SparkplugWatch::seen()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
}

int SparkplugWatch::waitFor(const std::function<bool(const Seen&)>& match, size_t after,
                            int timeoutMs)
{
    for (QDeadlineTimer deadline(timeoutMs);; QTest::qWait(20)) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (size_t i = after; i < m_seen.size(); ++i)
                if (match(m_seen[i]))
                    return int(i);
        }
        if (deadline.hasExpired())
            return -1;
    }
}

void SparkplugWatch::publish(const std::string& topic, const std::string& payload, bool retain)
{
    mosquitto_publish(m_handle, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1,
                      retain);
}

const sparkplug::Payload::Metric* FindMetric(const sparkplug::Payload& payload,
                                             const std::string& name, uint64_t alias)
{
    for (const sparkplug::Payload::Metric& metric : payload.metrics())
        if ((metric.has_name() && metric.name() == name) ||
            (metric.has_alias() && metric.alias() == alias))
            return &metric;
    return nullptr;
}
