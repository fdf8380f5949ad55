#include "sim_process.h"

#include "bridge_process.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

#include <csignal>

SimProcess::SimProcess(const QStringList& options)
{
    m_process.start(builtProgram("tervian-sim"), QStringList{"--address", "127.0.0.1"} << options);
    m_process.waitForStarted(5000);
}

SimProcess::~SimProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(1000);
    }
}

bool SimProcess::waitFor(const QByteArray& text, int timeoutMs, int times)
{
    for (QDeadlineTimer deadline(timeoutMs); count(text) < times; m_process.waitForReadyRead(50))
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
    return true;
}

int SimProcess::count(const QByteArray& text)
{
    m_output += m_process.readAllStandardOutput();
    return m_output.count(text);
}

quint16 SimProcess::listeningPort(int which)
{
    started();
    const QRegularExpression line("listening on [0-9.]+:(\\d+) and [0-9.]+:(\\d+)\n");
    return quint16(line.match(QString::fromUtf8(m_output)).captured(which).toUInt());
}
