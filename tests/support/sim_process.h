#ifndef SIM_PROCESS_H
#define SIM_PROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// tervian-sim started on 127.0.0.1 with the given options; its event lines are collected so
// tests can wait for what it received. Ended by SIGTERM when the object goes.
class SimProcess
{
public:
    explicit SimProcess(const QStringList& options = {});
    ~SimProcess();

    bool started(int timeoutMs = 10000) { return waitFor("listening on", timeoutMs); }
    // The ports it listens on, once started (given as 0, they are any free ones); 0 before.
    quint16 commandPort() { return listeningPort(1); }
    quint16 streamPort() { return listeningPort(2); }
    // Waits until the output so far holds the text at least `times` times.
    bool waitFor(const QByteArray& text, int timeoutMs = 5000, int times = 1);
    int count(const QByteArray& text);
    QProcess& process() { return m_process; }

private:
    quint16 listeningPort(int which);

    QProcess m_process;
    QByteArray m_output;
};

#endif // SIM_PROCESS_H
