#ifndef WINDOW_FIXTURE_H
#define WINDOW_FIXTURE_H

// The one way into a MainWindow for the tests, the fuzzers and the decoder bench, and the only
// friend it has. A fixture owns a window made in this process, which keeps config.txt and
// DebugLog.txt beside the program, and names the members they read and set as the window
// does, so that a changed member breaks here and nowhere else.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <cstring>
#include <memory>
#include <string>

class WindowFixture
{
public:
    WindowFixture() = default;
    WindowFixture(const WindowFixture&) = delete;
    WindowFixture& operator=(const WindowFixture&) = delete;

    // The worker threads, each stopped so that the caller alone drives what it did.
    void StopRobotServer() { Stop(window->m_bExitRobotThread, window->pRobotThread); }
    void StopVisionClient() { Stop(window->m_bExitScannerThread, window->pScannerThread); }
    void StopWorkers()
    {
        StopRobotServer();
        StopVisionClient();
        Stop(window->m_bExitValuesThread, window->pValuesThread);
    }

    // The reply to one request of four bytes as the robot thread builds it; empty when it is
    // not recognised.
    QByteArray AskRobot(const QByteArray& request)
    {
        std::memcpy(window->m_cRecRobotBuffer, request.constData(), 4);
        int length = 0;
        window->ProcessRobotRequest(&length);
        return QByteArray(window->m_cSendRobotBuffer, length);
    }
    // One received block as the robot server takes it in a session: logged, framed (a front
    // kept from the block before), answered (an unknown request with the session's last reply).
    static constexpr size_t kRobotBlockMax = sizeof MainWindow::m_cRecRobotBuffer;
    std::string AnswerRobotBlock(const char* block, size_t length)
    {
        std::memcpy(window->m_cRecRobotBuffer, block, length);
        window->LogRobotRequest(int(length));
        return window->AnswerRequests(window->m_robotFramer.Feed(block, length), &m_replyLength);
    }
    void NewRobotSession()
    {
        window->m_robotFramer.DropFragment();
        m_replyLength = 0;
    }
    int AnswerJointDataQuery() { return window->AnswerJointDataQuery(); }

    // The latest record as the robot reads it with the laser off: as it stands.
    measurement::Reading Read() const
    {
        return window->m_measurement.Read({}, measurement::Clock::now(), false);
    }
    void Store(const measurement::Record& record,
               measurement::Clock::time_point decoded = measurement::Clock::now())
    {
        window->m_measurement.Store(record, decoded);
    }
    void Decode(char* block, int length) { window->DecodeValuesBuffer(block, length); }

    void RequestProgram(int program) { window->RequestProgram(program); }
    bool CheckDideReply(const std::string& reply, const std::string& command)
    {
        return window->CheckDideReply(reply, command);
    }
    bool GetDideValue(const std::string& reply, int* value)
    {
        return window->GetDideValue(reply, value);
    }

    // The shown state: one refresh of the window from the shared state.
    void Refresh() { window->updateGui(); }
    void FlushLog() { window->FlushLog(); }
    // Sends the log to /dev/null, so that millions of inputs can run with it on.
    void DiscardLog()
    {
        window->m_logFile.Close(QDateTime::currentDateTime());
        window->m_logFile.Open("/dev/null", "/dev/null");
        window->m_logFile.Configure(0, false);
    }

    const std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();
    Ui::MainWindow* const ui = window->ui;
    // The shared state, named as the window names it.
    decltype(MainWindow::m_measurement)& m_measurement = window->m_measurement;
    decltype(MainWindow::m_bTervianOk)& m_bTervianOk = window->m_bTervianOk;
    decltype(MainWindow::m_bLaserOn)& m_bLaserOn = window->m_bLaserOn;
    decltype(MainWindow::m_bLaserWanted)& m_bLaserWanted = window->m_bLaserWanted;
    decltype(MainWindow::m_iLaserAsks)& m_iLaserAsks = window->m_iLaserAsks;
    decltype(MainWindow::m_iProgramAsks)& m_iProgramAsks = window->m_iProgramAsks;
    decltype(MainWindow::m_bAcquisitionOn)& m_bAcquisitionOn = window->m_bAcquisitionOn;
    decltype(MainWindow::m_tLaserSwitchedOn)& m_tLaserSwitchedOn = window->m_tLaserSwitchedOn;
    decltype(MainWindow::m_bError)& m_bError = window->m_bError;
    decltype(MainWindow::m_bBadprojectName)& m_bBadprojectName = window->m_bBadprojectName;
    decltype(MainWindow::m_bdebugLog)& m_bdebugLog = window->m_bdebugLog;
    decltype(MainWindow::m_iStaleAfterMs)& m_iStaleAfterMs = window->m_iStaleAfterMs;
    decltype(MainWindow::m_bShowErrorOnce)& m_bShowErrorOnce = window->m_bShowErrorOnce;
    decltype(MainWindow::m_iTervianProgram)& m_iTervianProgram = window->m_iTervianProgram;
    decltype(MainWindow::m_iRobotProgram)& m_iRobotProgram = window->m_iRobotProgram;
    decltype(MainWindow::m_bRobotServerOnline)& m_bRobotServerOnline = window->m_bRobotServerOnline;
    decltype(MainWindow::m_bRobotServerConnected)& m_bRobotServerConnected =
        window->m_bRobotServerConnected;
    decltype(MainWindow::m_bTervianClientRunning)& m_bTervianClientRunning =
        window->m_bTervianClientRunning;
    decltype(MainWindow::m_bTervianClientConnected)& m_bTervianClientConnected =
        window->m_bTervianClientConnected;
    decltype(MainWindow::m_bReadingData)& m_bReadingData = window->m_bReadingData;
    decltype(MainWindow::m_mutexDebug)& m_mutexDebug = window->m_mutexDebug;
    decltype(MainWindow::m_bExitRobotThread)& m_bExitRobotThread = window->m_bExitRobotThread;
    decltype(MainWindow::m_robotAllow)& m_robotAllow = window->m_robotAllow;
    decltype(MainWindow::m_pendingReports)& m_pendingReports = window->m_pendingReports;
    decltype(MainWindow::m_trend)& m_trend = window->m_trend;
    decltype(MainWindow::m_trendAction)& m_trendAction = window->m_trendAction;
    decltype(MainWindow::m_trendView)& m_trendView = window->m_trendView;

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
