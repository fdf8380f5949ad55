#ifndef BRIDGE_PROCESS_H
#define BRIDGE_PROCESS_H

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <csignal>
#include <tuple>
#include <utility>

// Writes the loopback config.txt into dir with the debug log on, and values over it.
void writeConfig(const QString& dir, const QMap<QString, QString>& values = {});

// A value of the config.txt in dir, as the settings file holds it now.
QString storedSetting(const QString& dir, const char* key);

// Reads a whole file, empty when it cannot be read.
QByteArray readFile(const QString& path);

inline QByteArray Hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// True while some socket listens on the port, seen from /proc so that no robot session starts.
bool isListening(quint16 port, qint64 pid = 0);

// Open descriptors and threads of a process (pid 0: this one), the least counts seen over
// 200 ms, so that a socket held only for a moment (a connection attempt) is not counted.
using Resources = std::pair<int, int>;
Resources settledResources(qint64 pid = 0);

// Path of a program built into build/bin (tervian-bridge, tervian-sim, robot-probe).
QString builtProgram(const QString& name);

// A program run to its end: exit code (-1 when it crashed or ran past 10 s), output, errors.
using ProgramRun = std::tuple<int, QByteArray, QByteArray>;
ProgramRun
runProgram(const QString& program, const QStringList& arguments,
           const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

// A bridge started as its own process from a private run folder: the executable is copied
// there because the bridge keeps config.txt and DebugLog.txt beside itself.
class BridgeProcess
{
public:
    explicit BridgeProcess(const QMap<QString, QString>& config = {});
    ~BridgeProcess();

    bool start(); // starts it and waits until port 5020 accepts
    // Sends the signal; the exit code, or -1 when it did not end in time or crashed.
    int terminate(int timeoutMs, int signalNumber = SIGTERM);
    // Starts it through unshare in a new namespace of this kind ("--net", "--mount"), once the
    // shell command setup has run there ("$1" is the run folder); false where none can be made.
    bool inNewNamespace(const QString& kind, const QString& setup);
    QString dir() const { return m_dir.path(); }
    QByteArray debugLog() const { return readFile(m_dir.path() + "/DebugLog.txt"); }
    QByteArray config() const { return readFile(m_dir.path() + "/config.txt"); }
    QString setting(const char* key) const { return storedSetting(dir(), key); }
    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

#endif // BRIDGE_PROCESS_H
