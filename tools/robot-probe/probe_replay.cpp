#include "probe_replay.h"
#include "probe_reply.h"

#include "capture_reader.h"
#include "robot_protocol.h"
#include "socket_util.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kNoStop = -1;

std::string RequestName(const std::string& request)
{
    switch (robot::ClassifyRequest(request.data())) {
    case robot::Request::Status:
        return "status";
    case robot::Request::JointIdQuery:
        return "joint-id";
    case robot::Request::JointData:
        return "joint-data";
    case robot::Request::LaserOn:
        return "laser on";
    case robot::Request::LaserOff:
        return "laser off";
    case robot::Request::LaserOnAndMeasure:
        return "laser on-measure";
    case robot::Request::SetJointId:
        return "set-joint " + std::to_string(robot::RequestedJointId(request.data()));
    default:
        return "unrecognised";
    }
}

// Joint data may drift by the tolerance in each value; everything else must match to the byte.
bool Alike(const std::string& request, const std::string& recorded, const std::string& now,
           int tolerance)
{
    if (recorded == now)
        return true;
    if (robot::ClassifyRequest(request.data()) != robot::Request::JointData ||
        recorded.size() != size_t(robot::kJointDataReplyLength) || now.size() != recorded.size() ||
        recorded.compare(0, 4, now, 0, 4) != 0)
        return false;
    for (size_t at = 4; at < recorded.size(); at += 2)
        if (std::abs(robot::DecodeValue(recorded.data() + at) -
                     robot::DecodeValue(now.data() + at)) > tolerance)
            return false;
    return true;
}

std::string Shown(const std::string& request, const std::string& reply)
{
    if (reply.empty())
        return "nothing";
    return HexBytes(reply) + " (" + DescribeReply(request, reply) + ")";
}

// The robot's side of the recorded connections: a connection begins at its opening, or with the
// first bytes of one whose opening aged out of the capture.
class RobotReplay
{
public:
    RobotReplay(const ProbeOptions& options, const std::function<int(int, std::string*)>& connect)
        : m_options(options), m_connect(connect)
    {
    }
    ~RobotReplay()
    {
        if (m_timeline != -1)
            close(m_timeline);
    }

    int Run(const std::vector<capture::Chunk>& chunks)
    {
        // What the bridge answered on each recorded connection, to be cut into replies as the
        // requests are replayed.
        std::vector<size_t> connectionOf;
        std::vector<std::string> recordedReplies;
        for (const capture::Chunk& c : chunks) {
            if (recordedReplies.empty() || StartsConnection(c))
                recordedReplies.emplace_back();
            if (c.event == capture::Event::Sent)
                recordedReplies.back() += c.data;
            connectionOf.push_back(recordedReplies.size() - 1);
            m_lastEnds = c.ends;
            m_ended = c.event == capture::Event::Closed || c.event == capture::Event::PeerClosed;
        }
        if (chunks.empty()) {
            std::printf("the capture holds no robot traffic: nothing to replay\n");
            return 0;
        }

        std::string none;
        m_timeline = m_connect(capture::kReplayTimelinePort, &none);
        if (m_timeline == -1)
            std::printf("no simulator replaying on port %d: the records are not kept in step\n",
                        int(capture::kReplayTimelinePort));
        m_start = Clock::now();
        size_t current = size_t(-1);
        for (size_t i = 0; i < chunks.size(); ++i) {
            const capture::Chunk& c = chunks[i];
            if (c.event == capture::Event::Sent)
                continue;
            const bool request = c.event == capture::Event::Received;
            if (request)
                AskForRecordsBefore(c.timeNs);
            const Clock::time_point due = WaitUntil(c.timeNs - chunks.front().timeNs);
            if (request)
                AwaitRecordsBefore(c.timeNs, due);
            if (connectionOf[i] != current) {
                current = connectionOf[i];
                Open(std::move(recordedReplies[current]));
            }
            if (c.event == capture::Event::Received)
                Send(c.data);
            else if (c.event != capture::Event::Opened)
                Close();
        }
        Close();
        std::printf("replayed %d requests on %d connections: %d differ\n", m_requests,
                    m_connections, m_differences);
        return m_differences == 0 ? 0 : 1;
    }

private:
    bool StartsConnection(const capture::Chunk& c)
    {
        const capture::Endpoints& e = c.ends;
        const bool same =
            e.localAddress == m_lastEnds.localAddress && e.localPort == m_lastEnds.localPort &&
            e.peerAddress == m_lastEnds.peerAddress && e.peerPort == m_lastEnds.peerPort;
        const bool data = c.event == capture::Event::Sent || c.event == capture::Event::Received;
        return c.event == capture::Event::Opened || (data && (!same || m_ended));
    }

    Clock::time_point WaitUntil(int64_t offsetNs)
    {
        const auto due = m_start + std::chrono::nanoseconds(int64_t(offsetNs / m_options.speed));
        std::this_thread::sleep_until(due);
        return due;
    }

    // The simulator plays the records recorded before timeNs, and holds back the later ones
    // until it is asked for the next request's.
    void AskForRecordsBefore(int64_t timeNs)
    {
        const std::string line = std::to_string(timeNs) + "\n";
        if (m_timeline != -1 && !sockets::SendAll(m_timeline, line, capture::Tap()))
            StopTimeline();
    }

    // The simulator says when the bridge has read them. One that falls behind by a second is
    // left behind: a changed bridge may never switch acquisition on.
    void AwaitRecordsBefore(int64_t timeNs, Clock::time_point due)
    {
        const std::string awaited = std::to_string(timeNs);
        const Clock::time_point giveUp = due + std::chrono::seconds(1);
        while (m_timeline != -1) {
            const size_t end = m_timelineInput.find('\n');
            if (end != std::string::npos) {
                const bool reached = m_timelineInput.compare(0, end, awaited) == 0;
                m_timelineInput.erase(0, end + 1);
                if (reached)
                    return;
                continue;
            }
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now()).count();
            const sockets::Wake wake = left > 0
                                           ? sockets::WaitReadable(m_timeline, kNoStop, int(left))
                                           : sockets::Wake::TimedOut;
            if (wake == sockets::Wake::TimedOut) {
                std::printf("request %d: the simulator had not played what came before it in "
                            "the recording a second after its time; sent anyway\n",
                            m_requests + 1);
                return;
            }
            char buffer[256];
            const ssize_t got =
                wake == sockets::Wake::Ready ? recv(m_timeline, buffer, sizeof buffer, 0) : -1;
            if (got <= 0) {
                StopTimeline();
                return;
            }
            m_timelineInput.append(buffer, size_t(got));
        }
    }

    void StopTimeline()
    {
        close(m_timeline);
        m_timeline = -1;
    }

    void Open(std::string recordedReplies)
    {
        Close();
        ++m_connections;
        m_recorded = std::move(recordedReplies);
        m_framer = robot::RequestFramer();
        m_sentHere.clear();
        m_served = false;
        m_connectError.clear();
        m_socket = m_connect(m_options.port, &m_connectError);
    }

    void Close()
    {
        TakeLeftover();
        if (m_socket != -1)
            close(m_socket);
        m_socket = -1;
    }

    // Bytes that came after the replies read so far, before the robot sends again or goes: a
    // bridge that answers too much is as wrong as one that answers wrongly.
    void TakeLeftover()
    {
        std::string extra;
        char buffer[256];
        ssize_t got;
        while (m_socket != -1 && (got = recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            extra.append(buffer, size_t(got));
        if (extra.empty())
            return;
        ++m_differences;
        std::printf("difference after request %d, %s (%s): %zu bytes more than the reply: %s\n",
                    m_requests, RequestName(m_lastRequest).c_str(), HexBytes(m_lastRequest).c_str(),
                    extra.size(), Shown(m_lastRequest, extra).c_str());
    }

    void Send(const std::string& bytes)
    {
        TakeLeftover();
        if (m_socket != -1 && !sockets::SendAll(m_socket, bytes, capture::Tap()))
            Close();
        m_sentHere += bytes;
        for (const robot::RequestFrame& frame : m_framer.Feed(bytes.data(), bytes.size())) {
            const std::string request(frame.begin(), frame.end());
            const robot::Request kind = robot::ClassifyRequest(request.data());
            // An unrecognised request hears the previous reply again.
            const size_t length =
                kind == robot::Request::Unrecognised ? m_lastLength : robot::ReplyLength(kind);
            const std::string recorded = m_recorded.substr(0, length);
            m_recorded.erase(0, length);
            std::string now = Receive(length);
            if (now.empty() && m_socket == -1 && !m_served)
                now = ReceiveOnANewConnection(length);
            m_served = m_served || !now.empty();
            m_lastRequest = request;
            m_lastLength = recorded.empty() ? m_lastLength : recorded.size();
            ++m_requests;
            if (!Alike(request, recorded, now, m_options.tolerance)) {
                ++m_differences;
                std::printf("difference at request %d, %s (%s): recorded %s, now %s\n", m_requests,
                            RequestName(request).c_str(), HexBytes(request).c_str(),
                            Shown(request, recorded).c_str(), Shown(request, now).c_str());
            }
        }
    }

    // The bridge listens anew after each robot, so a connection made just before is refused or
    // reset unserved: it is made again, as the robot would, and what was sent on it is sent
    // again. Only a connection that cannot be made in time is worth a line.
    std::string ReceiveOnANewConnection(size_t length)
    {
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(m_options.timeoutMs);
        while (Clock::now() < deadline) {
            m_socket = m_connect(m_options.port, &m_connectError);
            if (m_socket != -1 && sockets::SendAll(m_socket, m_sentHere, capture::Tap())) {
                std::string now = Receive(length);
                if (!now.empty() || m_socket != -1)
                    return now;
            }
            Close();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!m_connectError.empty())
            std::printf("connection %d: %s\n", m_connections, m_connectError.c_str());
        return std::string();
    }

    std::string Receive(size_t length)
    {
        std::string reply;
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(m_options.timeoutMs);
        while (m_socket != -1 && reply.size() < length) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 ||
                sockets::WaitReadable(m_socket, kNoStop, int(left.count())) != sockets::Wake::Ready)
                break;
            char buffer[64];
            const ssize_t got =
                recv(m_socket, buffer, std::min(sizeof buffer, length - reply.size()), 0);
            if (got <= 0 && !(got < 0 && errno == EINTR)) {
                Close();
                break;
            }
            reply.append(buffer, size_t(std::max<ssize_t>(got, 0)));
        }
        return reply;
    }

    const ProbeOptions& m_options;
    const std::function<int(int, std::string*)>& m_connect;
    int m_timeline = -1;
    std::string m_timelineInput;
    std::string m_sentHere;     // on the current connection
    std::string m_connectError; // why it could not be made, the last time it was tried
    bool m_served = false;      // a reply has come on it
    capture::Endpoints m_lastEnds;
    bool m_ended = true;
    Clock::time_point m_start;
    int m_socket = -1;
    robot::RequestFramer m_framer;
    std::string m_recorded;
    std::string m_lastRequest = std::string(robot::kRequestLength, '\0');
    size_t m_lastLength = 0;
    int m_requests = 0, m_connections = 0, m_differences = 0;
};

} // namespace

int ReplayRobot(const ProbeOptions& options, const std::function<int(int, std::string*)>& connect)
{
    std::vector<capture::Chunk> chunks;
    std::string error;
    if (!capture::ReadPcapngFile(options.replay, &chunks, &error)) {
        std::fprintf(stderr, "robot-probe: %s\n", error.c_str());
        return 2;
    }
    std::vector<capture::Chunk> robot;
    for (capture::Chunk& c : chunks)
        if (c.link == capture::Link::Robot)
            robot.push_back(std::move(c));
    return RobotReplay(options, connect).Run(robot);
}
