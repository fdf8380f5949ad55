// The robot server: the TCP server for the robot controller and its thread.
#ifndef ROBOT_SERVER_H
#define ROBOT_SERVER_H

#include "descriptor.h"
#include "robot_allow.h"
#include "robot_protocol.h"
#include "shared.h"
#include "worker.h"

#include <cstdint>
#include <string>
#include <vector>

class RobotServer
{
public:
    struct Config {
        uint16_t port = 5020; // 0: any free port, kept for every later listen
        robot_allow::AllowList allow;
        int staleAfterMs = 1000;
    };

    RobotServer(Shared& shared, Config config);
    ~RobotServer() { Stop(); }
    RobotServer(const RobotServer&) = delete;
    RobotServer& operator=(const RobotServer&) = delete;

    void Start();
    const Progress& Liveness() { return m_worker.Liveness(); }
    // Ends the session and the listening at once, and returns when the thread has ended.
    void Stop() { m_worker.Stop(); }

private:
    void Run();
    Descriptor OpenListener();
    void NoteBindFailure(int bindError);
    Descriptor AcceptRobot(int listener);
    bool WaitForRobot(int listener);
    bool AdmitRobot(int socket);
    void ServeRobot(int socket);
    bool AnswerBlock(int socket);
    std::vector<events::RobotReply>
    AnswerRequests(const std::vector<robot::RequestFrame>& requests);
    events::RobotReply AnswerRequest(const robot::RequestFrame& request);
    void PublishAnswered(std::vector<events::RobotReply>& answered,
                         std::chrono::steady_clock::time_point receivedAt);

    Shared& m_shared;
    const Config m_config;
    const capture::Tap m_tap;
    // Between two waits it only frames, answers and logs: a second is long.
    Worker m_worker{"robot server", std::chrono::seconds(3)};

    // The server thread's own.
    uint16_t m_port;
    robot::RequestFramer m_framer; // one per connection
    // Kept across requests and connections: an unrecognised request is answered with the
    // previous reply again, and before the first reply there is nothing to repeat.
    robot::Reply m_lastReply;
};

#endif // ROBOT_SERVER_H
