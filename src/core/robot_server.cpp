#include "robot_server.h"
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

RobotServer::RobotServer(Shared& shared, Config config)
    : m_shared(shared), m_config(std::move(config)), m_tap{&shared.capture, capture::Link::Robot},
      m_port(m_config.port)
{
}

void RobotServer::Start()
{
    if (!m_worker.Started())
        m_worker.Start([this] { Run(); });
}

void RobotServer::Run()
{
    while (!m_worker.Stopping()) {
        m_shared.link.Update([](LinkSnapshot& state) { state.robotConnected = false; });
        const Descriptor listener = OpenListener();
        if (!listener.IsOpen()) {
            usleep(kRetryPauseUs);
            continue;
        }
        const Descriptor robot = AcceptRobot(listener.Get());
        const capture::Session recorded(m_tap, robot.Get());
        if (!robot.IsOpen()) {
            // A failed accept is retried like any other socket failure, so that the robot
            // link never stays down while the lamp shows the server listening.
            if (!m_worker.Stopping())
                usleep(kRetryPauseUs);
            continue;
        }
        ServeRobot(robot.Get());
        // Both sockets close here, the listening one too: a robot queued meanwhile is reset
        // and reconnects.
    }
    m_shared.link.Update([](LinkSnapshot& state) { state.robotConnected = false; });
    m_shared.log.Write("Closing Robot connection\n");
}

Descriptor RobotServer::OpenListener()
{
    // Close-on-exec, so that a program started from the window (the manual's viewer) never
    // keeps the robot port open after the bridge has gone.
    Descriptor listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.IsOpen()) {
        m_shared.log.Write("Robot server: failed to create socket\n");
        return Descriptor();
    }
    const int reuse = 1;
    setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_ANY);
    server.sin_port = htons(m_port);
    if (bind(listener.Get(), reinterpret_cast<sockaddr*>(&server), sizeof server) == -1) {
        NoteBindFailure(errno);
        return Descriptor();
    }
    socklen_t length = sizeof server;
    getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&server), &length);
    m_port = ntohs(server.sin_port); // any free port is kept for the next listen
    m_shared.link.Update([this](LinkSnapshot& state) {
        state.robotPortBusy = false;
        state.robotPort = m_port;
    });
    if (listen(listener.Get(), kListenBacklog) == -1) {
        m_shared.log.Write("Robot server: failed to listen\n");
        return Descriptor();
    }
    return listener;
}

// One entry for both lines, so that a retry loop on a busy port collapses into one repeat
// count in the log. Each spell of a busy port is reported to the operator once.
void RobotServer::NoteBindFailure(int bindError)
{
    m_shared.log.Write("Robot server: failed to bind the socket\n", "errno=", bindError, "\n");
    if (bindError == EADDRINUSE)
        m_shared.link.Update([](LinkSnapshot& state) {
            state.robotPortBusySpells += !state.robotPortBusy;
            state.robotPortBusy = true;
        });
}

// Returns the robot's connection, or none when a stop was requested or accept failed. A peer
// that RobotAllow does not admit is closed at once and the wait goes on.
Descriptor RobotServer::AcceptRobot(int listener)
{
    for (;;) {
        if (!WaitForRobot(listener))
            return Descriptor();
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        Descriptor robot(
            accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        if (!robot.IsOpen()) {
            m_shared.log.Write("Robot server: failed to accept\n");
            return Descriptor();
        }
        if (!AdmitRobot(robot.Get()))
            continue; // closed here, before anything is read from it
        m_shared.log.Write("connected to the robot\n");
        const uint32_t address = ntohl(peer.sin_addr.s_addr);
        m_shared.link.Update([address](LinkSnapshot& state) {
            state.robotConnected = true;
            state.robotPeer = address;
        });
        sockets::EnableKeepAlive(robot.Get());
        return robot;
    }
}

// False when a stop was requested while waiting.
bool RobotServer::WaitForRobot(int listener)
{
    for (;;) {
        m_shared.link.Update([](LinkSnapshot& state) { state.robotServerOnline = true; });
        m_shared.log.Flush();
        // A failed wait is simply tried again.
        const sockets::Wake wake = m_worker.Liveness().Wait([&] {
            return sockets::WaitReadable(listener, m_worker.Stopping().Descriptor(),
                                         sockets::kNoLimit);
        });
        if (wake == sockets::Wake::Ready)
            return true;
        if (wake == sockets::Wake::Stopped) {
            m_shared.log.Write("Exiting the robot server\n");
            return false;
        }
    }
}

bool RobotServer::AdmitRobot(int socket)
{
    if (!m_config.allow.restricted)
        return true;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        robot_allow::Admits(m_config.allow, ntohl(peer.sin_addr.s_addr)))
        return true;
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    m_shared.log.Write("Robot server: refused a connection from ", address,
                       " (not in RobotAllow)\n");
    return false;
}

// Answers requests until the connection fails or a stop is requested.
void RobotServer::ServeRobot(int socket)
{
    m_framer.DropFragment();
    // Runs from the fragment's first byte, so that a request trickled in cannot stretch it.
    std::chrono::steady_clock::time_point fragmentDue;
    for (;;) {
        m_shared.log.Flush();
        const sockets::Wake wake = m_worker.Liveness().Wait([&] {
            return sockets::WaitReadable(socket, m_worker.Stopping().Descriptor(),
                                         m_framer.HoldingFragment() ? MsUntil(fragmentDue)
                                                                    : sockets::kNoLimit);
        });
        if (wake == sockets::Wake::Stopped)
            return;
        if (wake == sockets::Wake::TimedOut) {
            m_shared.log.Write("Robot request not completed within 200 ms dropped\n");
            m_framer.DropFragment();
            continue;
        }
        if (wake == sockets::Wake::Failed) {
            ReportFault(m_shared, events::FaultKind::RobotLink,
                        "Error in connection, trying to reconnect\n");
            return;
        }
        const auto received = std::chrono::steady_clock::now();
        if (!AnswerBlock(socket))
            return;
        if (m_framer.FragmentBegan())
            fragmentDue = received + std::chrono::milliseconds(kFragmentMs);
    }
}

// Answers every request that the received block completes, in order, in one send; false when
// the connection is gone.
bool RobotServer::AnswerBlock(int socket)
{
    char block[512];
    const long received = sockets::Receive(socket, block, sizeof block, m_tap);
    if (received <= 0) {
        m_shared.log.Write("Robot is disconnected, reconnect\n");
        return false;
    }
    const auto receivedAt = std::chrono::steady_clock::now();
    if (m_shared.log.On())
        m_shared.log.WriteFlushed(
            QString::fromStdString(robot::RequestLogLine(block, int(received))));
    std::vector<events::RobotReply> answered =
        AnswerRequests(m_framer.Feed(block, size_t(received)));
    std::string replies;
    for (const events::RobotReply& answer : answered)
        replies.append(answer.reply.bytes.data(), size_t(answer.reply.length));
    // A robot that has gone must make the send fail, not end the bridge through SIGPIPE. A robot
    // that keeps sending but has long stopped reading, until the socket buffers are full, is
    // given up too: waiting for it would hold this thread, and the shutdown, for ever.
    if (!replies.empty() &&
        sockets::SendNow(socket, replies.data(), replies.size(), m_tap) != long(replies.size())) {
        ReportFault(m_shared, events::FaultKind::RobotLink, "Robot server: failed to send\n");
        return false;
    }
    PublishAnswered(answered, receivedAt);
    return true;
}

// Stamped once sent, so that the time taken is the robot's whole wait.
void RobotServer::PublishAnswered(std::vector<events::RobotReply>& answered,
                                  std::chrono::steady_clock::time_point receivedAt)
{
    const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - receivedAt)
                               .count();
    const int64_t nowMs = events::NowMs();
    for (events::RobotReply& answer : answered) {
        answer.atMs = nowMs;
        answer.answerMicros = micros;
        m_shared.events.Publish(answer);
    }
}

std::vector<events::RobotReply>
RobotServer::AnswerRequests(const std::vector<robot::RequestFrame>& requests)
{
    std::vector<events::RobotReply> answered;
    for (const robot::RequestFrame& request : requests) {
        events::RobotReply answer = AnswerRequest(request);
        if (answer.reply.length > 0)
            m_lastReply = answer.reply;
        answer.reply = m_lastReply;
        if (answer.reply.length > 0)
            answered.push_back(answer);
    }
    return answered;
}

// Carries out what the request asks, then answers it from one snapshot taken after that.
events::RobotReply RobotServer::AnswerRequest(const robot::RequestFrame& request)
{
    const char* const bytes = reinterpret_cast<const char*>(request.data());
    const robot::Request kind = robot::ClassifyRequest(bytes);
    DebugLog& log = m_shared.log;
    switch (kind) {
    case robot::Request::Status:
        log.Write("Robot requests status\n");
        break;
    case robot::Request::JointData:
        log.Write("Robot request joint data\n");
        break;
    case robot::Request::LaserOn:
        log.Write("Robot set laser on\n");
        m_shared.link.WishLaser(true, events::Origin::Robot);
        break;
    case robot::Request::LaserOff:
        log.Write("Robot set laser off\n");
        m_shared.link.WishLaser(false, events::Origin::Robot);
        break;
    case robot::Request::LaserOnAndMeasure:
        // Asked again, an acquisition that the application rejected is tried again.
        log.Write("Robot set laser on and start measure\n");
        m_shared.link.WishLaser(true, events::Origin::Robot);
        break;
    case robot::Request::SetJointId:
        log.Write("Robot set joint ID\n");
        m_shared.link.WishProject(robot::RequestedJointId(bytes), events::Origin::Robot);
        break;
    default:
        break;
    }
    const LinkSnapshot link = m_shared.link.Snapshot();
    const JointReading joint =
        ReadJoint(m_shared, link, m_config.staleAfterMs, kind == robot::Request::JointData);
    const robot::Reply reply = robot::Answer(request, RobotSnapshot(link, joint));
    if (kind == robot::Request::Status)
        log.Write("m_bTervianOk=", int(link.visionReady), " m_bLaserOn=", int(link.laserOn), "\n");
    // The robot is told the project the vision application has loaded, not the one it asked for.
    if (kind == robot::Request::JointIdQuery)
        log.Write("Robot requests joint ID=", link.loadedProject, "\n");
    if (kind == robot::Request::JointData) {
        m_shared.trend.NoteReply(joint.resultCode);
        if (joint.resultCode == robot::kJointNotRecognised)
            log.Write("bRecognitionOK ", 0, " bScannerOk ", int(joint.record.arrived), "\n");
        const robot::JointValues& values = joint.record.values;
        log.Write("m_dX=", values[0], " m_dZ=", values[1], " m_dZDiff=", values[3],
                  " m_dWidth=", values[2], " m_dArea=", values[4], "\n");
    }
    events::RobotReply answer;
    answer.request = kind;
    answer.reply = reply;
    answer.projectAsked = link.projectWanted;
    answer.projectLoaded = link.loadedProject;
    return answer;
}
