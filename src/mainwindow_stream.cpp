// Measurement stream: the reader of port 32002 and the decoding of its records.
#include "mainwindow.h"

#include "measurement_record.h"
#include "socket_util.h"

namespace
{

const int kStreamPort = 32002;
// A peer that has never sent ';' ends a record by falling silent this long.
const int kQuietMs = 10;

} // namespace

// Reconnects by itself whenever the stream breaks, until it is told to stop.
void MainWindow::ReadMeasuredData()
{
    ResetMeasurement();
    while (!m_bExitValuesThread) {
        const Descriptor socket =
            ConnectOrPause(kStreamPort, "TCP device", "TCP device thread", m_bExitValuesThread);
        const capture::Session recorded(m_streamTap, socket.Get());
        if (!socket.IsOpen())
            continue;
        if (ReceiveUntilStopped(socket.Get()))
            break;
        EndStreamRecognition();
    }
    WriteLog("Disconnecting from TCP device\n");
}

// Every start shows a fresh reader: no record decoded and all values zero.
void MainWindow::ResetMeasurement()
{
    std::lock_guard<std::mutex> lock(m_mutex1);
    m_bScannnerOk = false;
    m_bRecognitionOK = false;
    m_dX = m_dZ = m_dZDiff = m_dWidth = m_dArea = 0.0;
    m_tRecordDecoded = SteadyClock::time_point::min();
    m_recordJoiner.Clear();
}

// A record of a broken connection is no current measurement, and the part of a record it
// left will never be completed. The values stay for a robot that reads them with the laser off.
void MainWindow::EndStreamRecognition()
{
    m_recordJoiner.Clear();
    std::lock_guard<std::mutex> lock(m_mutex1);
    m_tRecordDecoded = SteadyClock::time_point::min();
}

// While acquisition is on, only a record decoded since the laser came on, and not older than
// StaleAfterMs, is a recognition; with acquisition off the last record stands, so that the
// robot may still read the final measurement.
bool MainWindow::IsCurrentRecognition(bool recognised, SteadyClock::time_point decoded) const
{
    if (!m_bLaserOn)
        return recognised;
    // Compared with the oldest time still fresh: an age taken from "never" would overflow.
    const auto oldestFresh = SteadyClock::now() - std::chrono::milliseconds(m_iStaleAfterMs);
    return recognised && decoded > m_tLaserSwitchedOn.load() &&
           (m_iStaleAfterMs == 0 || decoded >= oldestFresh);
}

// Decodes every block that arrives, and what a peer without ';' sent before it fell silent.
// True when a stop was requested, false when the connection broke and has to be made again.
bool MainWindow::ReceiveUntilStopped(SOCKET socket)
{
    char recBuf[512];
    for (;;) {
        FlushLog();
        const int waitMs = m_recordJoiner.Holding() ? kQuietMs : sockets::kNoLimit;
        const sockets::ReceiveResult received = sockets::ReceiveWithin(
            socket, recBuf, sizeof recBuf, waitMs, m_bExitValuesThread.Descriptor(), m_streamTap);
        if (received.status == sockets::ReceiveStatus::Stopped)
            return true;
        if (received.status == sockets::ReceiveStatus::TimedOut) {
            DecodeAfterQuiet();
            continue;
        }
        if (received.status == sockets::ReceiveStatus::WaitFailed) {
            WriteLog("Error (select) in TCP device. Reconnecting\n");
            return false;
        }
        if (received.status == sockets::ReceiveStatus::ReceiveFailed || received.length == 0) {
            WriteLog("Error (recv) in TCP device. Reconnecting\n");
            return false;
        }
        DecodeValuesBuffer(recBuf, received.length);
        if (m_bExitValuesThread)
            return true;
    }
}

// Only records whose ';' has arrived are applied, each under its own hold of m_mutex1, so the
// robot link always reads the flags and values of one whole record.
void MainWindow::DecodeValuesBuffer(char* buff, int len)
{
    bool overlong = false;
    std::string records = m_recordJoiner.Join(buff, len, &overlong);
    if (overlong)
        WriteLog("Measurement record longer than 4096 bytes dropped\n");
    ApplyRecords(std::move(records));
}

// The connection has fallen silent: a peer that has never sent ';' has ended its record.
void MainWindow::DecodeAfterQuiet()
{
    ApplyRecords(m_recordJoiner.Quiet());
}

void MainWindow::ApplyRecords(std::string records)
{
    double* const members[measurement::kValueCount] = {&m_dX, &m_dZ, &m_dWidth, &m_dZDiff,
                                                       &m_dArea};
    measurement::BlockReader block(std::move(records));
    measurement::Record record;
    while (block.NextRecord(&record)) {
        std::lock_guard<std::mutex> lock(m_mutex1);
        m_bScannnerOk = true;
        m_tRecordDecoded = SteadyClock::now();
        for (int i = 0; i < record.valueCount; ++i)
            *members[i] = record.values[i];
        m_bRecognitionOK = measurement::IsRecognised(record.statusGood, m_dZ);
    }
}
