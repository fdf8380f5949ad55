#include "bridge_process.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <climits>
#include <csignal>

// The loopback file's lines keep a bridge on 127.0.0.1, so that nothing here ever dials the cell
// network (the build names scripts/loopback-config.txt BRIDGE_LOOPBACK_CONFIG); the values go
// over them as raw text, so that a test can write what QSettings itself never would.
void writeConfig(const QString& dir, const QMap<QString, QString>& values)
{
    QMap<QString, QString> all{{"DebugLog", "1"}}; // the tests read the log
    all.insert(values);
    QFile loopback(BRIDGE_LOOPBACK_CONFIG), file(dir + "/config.txt");
    loopback.open(QIODevice::ReadOnly);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (const QByteArray& line : loopback.readAll().split('\n'))
        if (!line.isEmpty() && !all.contains(line.left(line.indexOf('='))))
            file.write(line + "\n");
    for (auto it = all.begin(); it != all.end(); ++it)
        file.write((it.key() + "=" + it.value() + "\n").toUtf8());
}

QString storedSetting(const QString& dir, const char* key)
{
    return QSettings(dir + "/config.txt", QSettings::IniFormat).value(key).toString();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isListening(quint16 port, qint64 pid)
{
    const QString path = pid ? QString("/proc/%1/net/tcp").arg(pid) : "/proc/self/net/tcp";
    for (const QByteArray& line : readFile(path).split('\n').mid(1)) {
        const QList<QByteArray> fields = line.simplified().split(' '); // state 0A: listening
        if (fields.size() > 3 && fields[3] == "0A" &&
            fields[1].split(':').value(1).toUInt(nullptr, 16) == port)
            return true;
    }
    return false;
}

Resources settledResources(qint64 pid)
{
    const QString proc = pid ? QString("/proc/%1/").arg(pid) : "/proc/self/";
    const auto entries = [](const QString& dir) {
        return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
    };
    Resources least{INT_MAX, INT_MAX}; // descriptors, threads
    for (int sample = 0; sample < 10; ++sample) {
        least.first = std::min(least.first, entries(proc + "fd"));
        least.second = std::min(least.second, entries(proc + "task"));
        QThread::msleep(20);
    }
    return least;
}

QString builtProgram(const QString& name)
{
    return QString(BRIDGE_BIN_DIR) + "/" + name;
}

ProgramRun runProgram(const QString& program, const QStringList& arguments,
                      const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
        return {-1, {}, program.toUtf8() + " did not end"};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
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
    return m_process.waitForStarted(5000) &&
           QTest::qWaitFor([&] { return isListening(5020, m_process.processId()); }, 10000);
}

int BridgeProcess::terminate(int timeoutMs, int signalNumber)
{
    ::kill(pid_t(m_process.processId()), signalNumber);
    if (!m_process.waitForFinished(timeoutMs))
        return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool BridgeProcess::inNewNamespace(const QString& kind, const QString& setup)
{
    if (QProcess::execute("unshare", {kind, "true"}) != 0)
        return false;
    m_process.setArguments(
        {kind, "sh", "-c", setup + " && exec \"$0\"", m_process.program(), dir()});
    m_process.setProgram("unshare");
    return true;
}
