// A real MQTT broker (Debian's mosquitto) on a free loopback port, and a SCADA host's view of
// the bridge's telemetry through it, decoded with the bridge's own payload definition.
#ifndef MQTT_BROKER_H
#define MQTT_BROKER_H

#include "sparkplug_b.pb.h"

#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

// Sessions persist over a restart and QoS 0 messages queue for a watcher that is away, so a
// watcher misses nothing the bridge sends while both reconnect. With tls, the listener takes
// TLS only, with a certificate for 127.0.0.1 made at start (ca.pem in dir() signs it); with a
// user, only that user with password "secret" may log in.
class MqttBroker
{
public:
    explicit MqttBroker(bool tls = false, const QString& user = {});
    ~MqttBroker() { stop(); }

    bool start();
    void stop();
    quint16 port() const { return m_port; }
    bool tls() const { return m_tls; }
    const QString& user() const { return m_user; }
    QString dir() const { return m_dir.path(); }
    QString address() const { return QString("127.0.0.1:%1").arg(m_port); }

private:
    const bool m_tls;
    const QString m_user;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

// One received message, its payload decoded (a STATE or junk decodes to nothing).
// Topic of the node "cell" in group "tervian".
inline std::string NodeTopic(const char* kind)
{
    return std::string("spBv1.0/tervian/") + kind + "/cell";
}

struct Seen {
    std::string topic;
    sparkplug::Payload payload;
};

// Subscribed to every Sparkplug topic of the broker, with a session that survives reconnects.
class SparkplugWatch
{
public:
    explicit SparkplugWatch(const MqttBroker& broker);
    ~SparkplugWatch();

    // Every message so far, in order of arrival.
    std::vector<Seen> seen();
    // Waits up to timeoutMs for a message for which match holds, after the first `after`; its
    // index, or -1.
    int waitFor(const std::function<bool(const Seen&)>& match, size_t after = 0,
                int timeoutMs = 10000);
    // The next message of the node "cell" of group "tervian" of this kind ("NBIRTH", ...).
    int next(const char* kind, size_t after = 0)
    {
        return waitFor([kind](const Seen& s) { return s.topic == NodeTopic(kind); }, after);
    }
    void publish(const std::string& topic, const std::string& payload, bool retain = false);

private:
    static void OnMessage(mosquitto*, void* self, const struct mosquitto_message* message);
    static void OnConnect(mosquitto*, void* self, int code);

    mosquitto* m_handle = nullptr;
    std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

// The metric of a payload with this name or alias; null when there is none.
const sparkplug::Payload::Metric* FindMetric(const sparkplug::Payload& payload,
                                             const std::string& name, uint64_t alias = ~0ull);

#endif // MQTT_BROKER_H
