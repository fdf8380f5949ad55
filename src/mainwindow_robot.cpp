// Robot link: the TCP server on port 5020 and the request/reply frames of the robot controller.
#include "mainwindow.h"
#include "socket_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr uint16_t kRobotPort = 5020;
constexpr int kListenBacklog = 128;
constexpr useconds_t kRetryPauseUs = 10000;
// A request begun and not completed within this is given up: no robot sends that slowly.
constexpr int kFragmentMs = 200;

// Whole milliseconds left until due, rounded up so that a wait never ends before it; 0 once due.
int MsUntil(std::chrono::steady_clock::time_point due)
{
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

} // namespace

void MainWindow::RobotServer()
{
    m_bRobotServerOnline = false;
    m_bRobotServerConnected = false;
    // Kept across requests and connections: an unrecognised request is answered with the
    // previous reply again, and before the first reply there is nothing to repeat.
    int len = 0;
    while (!m_bExitRobotThread) {
        m_bRobotServerConnected = false;
        const Descriptor ListenSocket = OpenRobotListener();
        if (!ListenSocket.IsOpen()) {
            usleep(kRetryPauseUs);
            continue;
        }
        const Descriptor ClientSocket = AcceptRobot(ListenSocket.Get());
        const capture::Session recorded(m_robotTap, ClientSocket.Get());
        if (!ClientSocket.IsOpen()) {
            // A failed accept is retried like any other socket failure, so that the robot
            // link never stays down while the lamp shows the server listening.
            if (!m_bExitRobotThread)
                usleep(kRetryPauseUs);
            continue;
        }
        ServeRobot(ClientSocket.Get(), &len);
        // Both sockets close here, the listening one too: a robot queued meanwhile is reset
        // and reconnects.
    }
    WriteLog("Closing Robot connection\n");
}

Descriptor MainWindow::OpenRobotListener()
{
    // Close-on-exec, so that a program started from the window (the manual's viewer) never
    // keeps the robot port open after the bridge has gone.
    Descriptor listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const SOCKET ListenSocket = listener.Get();
    if (ListenSocket == -1) {
        WriteLog("Robot server: failed to create socket\n");
        return Descriptor();
    }
    const int reuse = 1;
    setsockopt(ListenSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_ANY);
    server.sin_port = htons(kRobotPort);
    if (bind(ListenSocket, reinterpret_cast<sockaddr*>(&server), sizeof server) == -1) {
        NoteBindFailure(errno);
        return Descriptor();
    }
    m_bRobotPortBusy = false;
    if (listen(ListenSocket, kListenBacklog) == -1) {
        WriteLog("Robot server: failed to listen\n");
        return Descriptor();
    }
    return listener;
}

// One entry for both lines, so that a retry loop on a busy port collapses into one repeat
// count in the log. Each spell of a busy port is reported to the operator once.
void MainWindow::NoteBindFailure(int bindError)
{
    WriteLog("Robot server: failed to bind the socket\n", "errno=", bindError, "\n");
    if (bindError == EADDRINUSE && !m_bRobotPortBusy.exchange(true))
        m_bShowPortBusyOnce = true;
}

// Returns the robot's connection, or none when a stop was requested or accept failed. A peer
// that RobotAllow does not admit is closed at once and the wait goes on.
Descriptor MainWindow::AcceptRobot(SOCKET ListenSocket)
{
    for (;;) {
        if (!WaitForRobot(ListenSocket))
            return Descriptor();
        Descriptor ClientSocket(accept4(ListenSocket, nullptr, nullptr, SOCK_CLOEXEC));
        if (!ClientSocket.IsOpen()) {
            WriteLog("Robot server: failed to accept\n");
            return Descriptor();
        }
        if (!AdmitRobot(ClientSocket.Get()))
            continue; // closed here, before anything is read from it
        WriteLog("connected to the robot\n");
        m_bRobotServerConnected = true;
        sockets::EnableKeepAlive(ClientSocket.Get());
        return ClientSocket;
    }
}

// False when a stop was requested while waiting.
bool MainWindow::WaitForRobot(SOCKET ListenSocket)
{
    for (;;) {
        m_bRobotServerOnline = true;
        FlushLog();
        // A failed wait is simply tried again.
        const sockets::Wake wake =
            sockets::WaitReadable(ListenSocket, m_bExitRobotThread.Descriptor(), sockets::kNoLimit);
        if (wake == sockets::Wake::Ready)
            return true;
        if (wake == sockets::Wake::Stopped) {
            WriteLog("Exiting the robot server\n");
            return false;
        }
    }
}

bool MainWindow::AdmitRobot(SOCKET ClientSocket)
{
    if (!m_robotAllow.restricted)
        return true;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(ClientSocket, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        robot_allow::Admits(m_robotAllow, ntohl(peer.sin_addr.s_addr)))
        return true;
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    WriteLog("Robot server: refused a connection from ", address, " (not in RobotAllow)\n");
    return false;
}

// Answers requests until the connection fails or a stop is requested.
void MainWindow::ServeRobot(SOCKET ClientSocket, int* len)
{
    m_robotFramer.DropFragment();
    // Runs from the fragment's first byte, so that a request trickled in cannot stretch it.
    SteadyClock::time_point fragmentDue;
    for (;;) {
        FlushLog();
        const sockets::Wake wake = sockets::WaitReadable(
            ClientSocket, m_bExitRobotThread.Descriptor(),
            m_robotFramer.HoldingFragment() ? MsUntil(fragmentDue) : sockets::kNoLimit);
        if (wake == sockets::Wake::Stopped)
            return;
        if (wake == sockets::Wake::TimedOut) {
            WriteLog("Robot request not completed within 200 ms dropped\n");
            m_robotFramer.DropFragment();
            continue;
        }
        if (wake == sockets::Wake::Failed) {
            WriteLog("Error in connection, trying to reconnect\n");
            return;
        }
        const SteadyClock::time_point received = SteadyClock::now();
        if (!AnswerRobot(ClientSocket, len))
            return;
        if (m_robotFramer.FragmentBegan())
            fragmentDue = received + std::chrono::milliseconds(kFragmentMs);
    }
}

// Answers every request that the received block completes, in order, in one send; false when
// the connection is gone.
bool MainWindow::AnswerRobot(SOCKET ClientSocket, int* len)
{
    const int recLen = int(
        sockets::Receive(ClientSocket, m_cRecRobotBuffer, sizeof m_cRecRobotBuffer, m_robotTap));
    if (recLen <= 0) {
        WriteLog("Robot is disconnected, reconnect\n");
        return false;
    }
    LogRobotRequest(recLen);
    const std::string replies =
        AnswerRequests(m_robotFramer.Feed(m_cRecRobotBuffer, size_t(recLen)), len);
    // A robot that has gone must make the send fail, not end the bridge through SIGPIPE. A robot
    // that keeps sending but has long stopped reading, until the socket buffers are full, is
    // given up too: waiting for it would hold this thread, and the shutdown, for ever.
    if (!replies.empty() && sockets::SendNow(ClientSocket, replies.data(), replies.size(),
                                             m_robotTap) != long(replies.size())) {
        WriteLog("Robot server: failed to send\n");
        return false;
    }
    return true;
}

std::string MainWindow::AnswerRequests(const std::vector<robot::RequestFrame>& requests, int* len)
{
    std::string replies;
    for (const robot::RequestFrame& request : requests) {
        std::copy(request.begin(), request.end(), m_cRecRobotBuffer);
        ProcessRobotRequest(len);
        replies.append(m_cSendRobotBuffer, std::min<size_t>(*len, sizeof m_cSendRobotBuffer));
    }
    return replies;
}

// Flushed at once, so the log shows every request even if the bridge dies right after it.
void MainWindow::LogRobotRequest(int recLen)
{
    if (!m_bdebugLog)
        return;
    const QString line = QString::fromStdString(robot::RequestLogLine(m_cRecRobotBuffer, recLen));
    std::lock_guard<std::mutex> lock(m_mutexDebug);
    const QDateTime now = QDateTime::currentDateTime();
    m_logFile.Write(line, now);
    m_logFile.Flush(now);
}

void MainWindow::ProcessRobotRequest(int* len)
{
    const int replyLength = ReplyToRobotRequest();
    // An unrecognised request leaves the reply buffer and its length as they were.
    if (replyLength > 0)
        *len = replyLength;
}

// Carries out the request in m_cRecRobotBuffer and writes its reply; 0 when unrecognised.
int MainWindow::ReplyToRobotRequest()
{
    switch (robot::ClassifyRequest(m_cRecRobotBuffer)) {
    case robot::Request::Status:
        return AnswerStatusQuery();
    case robot::Request::JointIdQuery:
        return AnswerJointIdQuery();
    case robot::Request::JointData:
        return AnswerJointDataQuery();
    case robot::Request::LaserOn:
        return AnswerLaserRequest("Robot set laser on\n", true);
    case robot::Request::LaserOff:
        return AnswerLaserRequest("Robot set laser off\n", false);
    case robot::Request::LaserOnAndMeasure:
        return AnswerLaserOnAndMeasure();
    case robot::Request::SetJointId:
        return AnswerSetJointId();
    case robot::Request::Unrecognised:
        break;
    }
    return 0;
}

int MainWindow::AnswerStatusQuery()
{
    WriteLog("Robot requests status\n");
    const robot::LinkState link{m_bTervianOk, m_bError, m_bLaserOn};
    WriteLog("m_bTervianOk=", int(link.tervianOk), " m_bLaserOn=", int(link.laserOn), "\n");
    return robot::BuildStatusReply(m_cSendRobotBuffer, link);
}

// The robot is told the project the vision application has loaded, not the one it asked for.
int MainWindow::AnswerJointIdQuery()
{
    const int program = m_iTervianProgram;
    WriteLog("Robot requests joint ID=", program, "\n");
    const robot::LinkState link{m_bTervianOk, m_bError, m_bLaserOn};
    return robot::BuildJointIdReply(m_cSendRobotBuffer, link, program);
}

int MainWindow::AnswerJointDataQuery()
{
    WriteLog("Robot request joint data\n");
    const JointData data = CurrentJointData(true);
    m_trend.NoteReply(data.resultCode);
    if (data.resultCode == robot::kJointNotRecognised)
        WriteLog("bRecognitionOK ", 0, " bScannerOk ", int(data.record.arrived), "\n");
    const robot::JointValues& values = data.record.values;
    WriteLog("m_dX=", values[0], " m_dZ=", values[1], " m_dZDiff=", values[3],
             " m_dWidth=", values[2], " m_dArea=", values[4], "\n");
    return robot::BuildJointDataReply(m_cSendRobotBuffer, data.resultCode, values);
}

MainWindow::JointData MainWindow::CurrentJointData(bool robotAsks)
{
    const measurement::FreshnessRule rule{m_bLaserWanted, m_bAcquisitionOn, m_tLaserSwitchedOn,
                                          m_iStaleAfterMs, m_tProjectLoaded};
    const measurement::Reading record = m_measurement.Read(rule, SteadyClock::now(), robotAsks);
    return {robot::JointDataResultCode(m_bTervianOk, record.recognised), record};
}

int MainWindow::AnswerLaserRequest(const char* logText, bool laserOn)
{
    WriteLog(logText);
    RequestLaser(laserOn);
    SetLaserOn(laserOn);
    return robot::BuildSetReply(m_cSendRobotBuffer);
}

// Asked again, an acquisition that the application rejected is tried again.
int MainWindow::AnswerLaserOnAndMeasure()
{
    WriteLog("Robot set laser on and start measure\n");
    RequestLaser(true);
    SetLaserOn(true);
    return robot::BuildSetReply(m_cSendRobotBuffer);
}

int MainWindow::AnswerSetJointId()
{
    WriteLog("Robot set joint ID\n");
    RequestProgram(robot::RequestedJointId(m_cRecRobotBuffer));
    return robot::BuildSetReply(m_cSendRobotBuffer);
}
