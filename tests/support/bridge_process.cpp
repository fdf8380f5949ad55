#include "bridge_process.h"

#include <QFile>
#include <QTest>

#include <csignal>

void writeConfig(const QString& dir, const QMap<QString, QString>& values)
{
    QMap<QString, QString> all{{"ScannerIP", "127.0.0.1"}, {"ProjectID", "1"}, {"DebugLog", "1"}};
    all.insert(values);
    QFile file(dir + "/config.txt");
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write("[General]\n");
    for (auto it = all.begin(); it != all.end(); ++it)
        file.write((it.key() + "=" + it.value() + "\n").toUtf8());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isListening(quint16 port, qint64 pid)
{
    // Read from /proc rather than by connecting, so that waiting causes no robot session.
    const QByteArray wanted = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines =
        readFile(pid ? QString("/proc/%1/net/tcp").arg(pid) : QString("/proc/self/net/tcp"))
            .split('\n');
    for (const QByteArray& line : lines) {
        QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1].endsWith(":" + wanted) && fields[3] == "0A")
            return true;
    }
    return false;
}

bool waitForPort(quint16 port, int timeoutMs, qint64 pid)
{
    return QTest::qWaitFor([&] { return isListening(port, pid); }, timeoutMs);
}

QString builtProgram(const QString& name)
{
    return QString(BRIDGE_BIN_DIR) + "/" + name;
}

BridgeProcess::BridgeProcess(const QMap<QString, QString>& config)
{
    QFile::copy(builtProgram("tervian-bridge"), m_dir.path() + "/tervian-bridge");
    writeConfig(m_dir.path(), config);
    m_process.setProgram(m_dir.path() + "/tervian-bridge");
    m_process.setWorkingDirectory(m_dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

BridgeProcess::~BridgeProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool BridgeProcess::start()
{
    m_process.start();
    return m_process.waitForStarted(5000) && waitForPort(5020, 10000, m_process.processId());
}

int BridgeProcess::terminate(int timeoutMs)
{
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(timeoutMs))
        return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}
