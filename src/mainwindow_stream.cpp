// Measurement stream: the reader of port 32002 and the decoding of its records.
#include "mainwindow.h"

#include "backoff.h"
#include "measurement_record.h"
#include "socket_util.h"

namespace
{

const int kStreamPort = 32002;

} // namespace

// Reconnects by itself whenever the stream breaks, until it is told to stop. The stream has no
// set-up of its own, so a connection that stayed up for a while counts as set up: one that
// breaks sooner is followed by the doubling pause, however much it delivered. Every start
// shows a fresh reader: no record decoded and all values zero.
void MainWindow::ReadMeasuredData()
{
    m_measurement.Reset();
    Backoff backoff;
    while (!m_bExitValuesThread) {
        const Descriptor socket =
            ConnectOrPause(kStreamPort, "TCP device", "TCP device thread", m_bExitValuesThread);
        const capture::Session recorded(m_streamTap, socket.Get());
        if (!socket.IsOpen())
            continue;
        const SteadyClock::time_point connected = SteadyClock::now();
        if (ReceiveUntilStopped(socket.Get()))
            break;
        m_measurement.EndConnection();
        if (SteadyClock::now() - connected >= Backoff::kProvenAfter)
            backoff.Reset();
        else
            PauseBeforeRetry(backoff.NextPauseMs(), m_bExitValuesThread);
    }
    WriteLog("Disconnecting from TCP device\n");
}

// Decodes every block that arrives. True when a stop was requested, false when the connection
// broke and has to be made again.
bool MainWindow::ReceiveUntilStopped(SOCKET socket)
{
    char recBuf[measurement::kReceiveBytes];
    for (;;) {
        FlushLog();
        const sockets::ReceiveResult received =
            sockets::ReceiveWithin(socket, recBuf, sizeof recBuf, sockets::kNoLimit,
                                   m_bExitValuesThread.Descriptor(), m_streamTap);
        if (received.status == sockets::ReceiveStatus::Stopped)
            return true;
        if (received.status == sockets::ReceiveStatus::WaitFailed) {
            WriteLog("Error (select) in TCP device. Reconnecting\n");
            return false;
        }
        if (received.status != sockets::ReceiveStatus::Received || received.length == 0) {
            WriteLog("Error (recv) in TCP device. Reconnecting\n");
            return false;
        }
        DecodeValuesBuffer(recBuf, received.length);
        if (m_bExitValuesThread)
            return true;
    }
}

// Only records whose end has arrived are stored, each under its own hold of m_mutex1, so the
// robot link always reads the flags and values of one whole record.
void MainWindow::DecodeValuesBuffer(char* buff, int len)
{
    const auto showTrend = [this](SteadyClock::time_point decoded,
                                  const measurement::Values& values, bool recognised) {
        m_trend.NoteRecord(decoded, values, recognised);
    };
    if (!m_measurement.Feed(buff, len, SteadyClock::now(), showTrend))
        WriteLog("Measurement record longer than 4096 bytes dropped\n");
}
