#ifndef BRIDGE_PROCESS_H
#define BRIDGE_PROCESS_H

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Writes a config.txt into dir. Unless the caller says otherwise the vision address is
// 127.0.0.1, so no test ever dials the cell network.
void writeConfig(const QString& dir, const QMap<QString, QString>& values = {});

// Reads a whole file, empty when it cannot be read.
QByteArray readFile(const QString& path);

// True while some socket listens on the IPv4 TCP port, in this process's network namespace
// or, given a pid, in that process's.
bool isListening(quint16 port, qint64 pid = 0);

// Polls until the port is listening or timeoutMs passes.
bool waitForPort(quint16 port, int timeoutMs, qint64 pid = 0);

// Path of a program built into build/bin (tervian-bridge, tervian-sim, robot-probe).
QString builtProgram(const QString& name);

// A bridge started as its own process from a private run folder: the executable is copied
// there because the bridge keeps config.txt and DebugLog.txt beside itself.
class BridgeProcess
{
public:
    explicit BridgeProcess(const QMap<QString, QString>& config = {});
    ~BridgeProcess();

    bool start();                 // starts it and waits until port 5020 accepts
    int terminate(int timeoutMs); // SIGTERM; exit code, or -1 when it did not end in time
    QString dir() const { return m_dir.path(); }
    QByteArray debugLog() const { return readFile(m_dir.path() + "/DebugLog.txt"); }
    QByteArray config() const { return readFile(m_dir.path() + "/config.txt"); }
    QProcess& process() { return m_process; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

#endif // BRIDGE_PROCESS_H
