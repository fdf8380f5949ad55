#ifndef SIM_PROCESS_H
#define SIM_PROCESS_H

#include "bridge_process.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <csignal>

// tervian-sim on 127.0.0.1 with its event lines collected, ended by SIGTERM.
class SimProcess
{
public:
    ~SimProcess()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }

    bool start(QStringList options = {})
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(builtProgram("tervian-sim"),
                        QStringList{"--address", "127.0.0.1"} << options);
        return m_process.waitForStarted(5000) && waitFor("listening on", 10000);
    }

    // Polls the event lines printed so far for a line that starts with the given text.
    bool waitFor(const QString& line, int timeoutMs, int times = 1)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (countLines(line) < times) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(50);
        }
        return true;
    }

    int countLines(const QString& start)
    {
        m_output += m_process.readAllStandardOutput();
        int count = 0;
        for (const QByteArray& line : m_output.split('\n'))
            count += line.startsWith(start.toUtf8()) ? 1 : 0;
        return count;
    }

private:
    QProcess m_process;
    QByteArray m_output;
};

#endif // SIM_PROCESS_H
