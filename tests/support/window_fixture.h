#ifndef WINDOW_FIXTURE_H
#define WINDOW_FIXTURE_H

// The one way into a MainWindow for the tests, the fuzzers and the decoder bench, and the only
// friend it has: a window made in this process (it keeps config.txt and DebugLog.txt beside
// the program) that opens the members they read and set, so that a changed member breaks here
// and nowhere else.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <cstring>
#include <memory>
#include <string>

class WindowFixture : public MainWindow
{
public:
    // The shared state and the steps the tests drive, named as the window names them.
    using MainWindow::ui, MainWindow::m_measurement, MainWindow::m_bTervianOk,
        MainWindow::m_bLaserOn, MainWindow::m_bLaserWanted, MainWindow::m_iLaserAsks,
        MainWindow::m_iProgramAsks, MainWindow::m_bAcquisitionOn, MainWindow::m_tLaserSwitchedOn,
        MainWindow::m_bError, MainWindow::m_bBadprojectName, MainWindow::m_bdebugLog,
        MainWindow::m_iStaleAfterMs, MainWindow::m_bShowErrorOnce, MainWindow::m_iTervianProgram,
        MainWindow::m_iRobotProgram, MainWindow::m_bRobotServerOnline,
        MainWindow::m_bRobotServerConnected, MainWindow::m_bTervianClientRunning,
        MainWindow::m_bTervianClientConnected, MainWindow::m_bReadingData, MainWindow::m_mutexDebug,
        MainWindow::m_bExitRobotThread, MainWindow::m_robotAllow, MainWindow::m_pendingReports,
        MainWindow::m_trend, MainWindow::m_trendAction, MainWindow::m_trendView;
    using MainWindow::updateGui, MainWindow::DecodeValuesBuffer, MainWindow::RequestProgram,
        MainWindow::FlushLog;

    // The worker threads, each stopped so that the caller alone drives what it did.
    void StopVisionClient() { Stop(m_bExitScannerThread, pScannerThread); }
    void StopWorkers()
    {
        Stop(m_bExitRobotThread, pRobotThread);
        StopVisionClient();
        Stop(m_bExitValuesThread, pValuesThread);
    }

    // The reply to one request of four bytes as the robot thread builds it; empty when it is
    // not recognised.
    QByteArray AskRobot(const QByteArray& request)
    {
        std::memcpy(m_cRecRobotBuffer, request.constData(), 4);
        int length = 0;
        ProcessRobotRequest(&length);
        return QByteArray(m_cSendRobotBuffer, length);
    }
    // One received block as the robot server takes it in a session: logged, framed (a front
    // kept from the block before), answered (an unknown request with the session's last reply).
    static constexpr size_t kRobotBlockMax = sizeof m_cRecRobotBuffer;
    std::string AnswerRobotBlock(const char* block, size_t length)
    {
        std::memcpy(m_cRecRobotBuffer, block, length);
        LogRobotRequest(int(length));
        return AnswerRequests(m_robotFramer.Feed(block, length), &m_replyLength);
    }
    void NewRobotSession()
    {
        m_robotFramer.DropFragment();
        m_replyLength = 0;
    }

    // The latest record as the robot reads it with the laser off: as it stands.
    measurement::Reading Read() { return m_measurement.Read({}, measurement::Clock::now(), false); }

    // Sends the log to /dev/null, so that millions of inputs can run with it on.
    void DiscardLog()
    {
        m_logFile.Close(QDateTime::currentDateTime());
        m_logFile.Open("/dev/null", "/dev/null");
        m_logFile.Configure(0, false);
    }

private:
    int m_replyLength = 0;

    static void Stop(events::StopRequest& stop, std::unique_ptr<std::thread>& thread)
    {
        stop = true;
        if (thread == nullptr)
            return;
        thread->join();
        thread.reset();
    }
};

#endif // WINDOW_FIXTURE_H
