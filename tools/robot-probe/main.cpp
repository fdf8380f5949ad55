// robot-probe: a command-line stand-in for the robot controller, for commissioning the bridge.
#include "probe_args.h"
#include "probe_replay.h"
#include "probe_reply.h"
#include "socket_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

// How long to wait for further bytes of a reply whose length is not known in advance.
constexpr int kTrailingBytesMs = 100;

bool Fail(std::string* error, const std::string& message)
{
    *error = message;
    return false;
}

// No stop: the probe is ended by its user.
constexpr int kNoStop = -1;

// Why a connection was not made, in the system's words where it has them.
std::string ConnectFailure(const sockets::ConnectResult& result, int timeoutMs)
{
    switch (result.step) {
    case sockets::ConnectStep::PendingError:
        return std::strerror(result.error);
    case sockets::ConnectStep::WaitFailed:
        return "no answer within " + std::to_string(timeoutMs) + " ms";
    default:
        return std::strerror(result.errnoValue);
    }
}

int Connect(const ProbeOptions& options, std::string* error)
{
    const std::string where = options.host + ":" + std::to_string(options.port);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* address = nullptr;
    const int lookup =
        getaddrinfo(options.host.c_str(), std::to_string(options.port).c_str(), &hints, &address);
    if (lookup != 0) {
        Fail(error, "cannot resolve " + options.host + ": " + gai_strerror(lookup));
        return -1;
    }
    sockaddr_in server{};
    std::memcpy(&server, address->ai_addr, sizeof server);
    freeaddrinfo(address);
    sockets::ConnectResult result = sockets::ConnectWithin(server, options.timeoutMs, kNoStop);
    if (result.step != sockets::ConnectStep::Connected) {
        Fail(error,
             "cannot connect to " + where + ": " + ConnectFailure(result, options.timeoutMs));
        return -1;
    }
    return result.socket.Release();
}

bool SendRequest(int socket, const Exchange& exchange, std::string* error)
{
    if (!sockets::SendAll(socket, exchange.request, capture::Tap()))
        return Fail(error,
                    "connection lost while sending " + exchange.name + ": " + std::strerror(errno));
    return true;
}

// Reads the reply: the known number of bytes, or for an unrecognised request whatever the
// bridge sends in one burst.
bool ReceiveReply(int socket, const Exchange& exchange, int timeoutMs, std::string* reply,
                  std::string* error)
{
    const int expected = ExpectedReplyLength(exchange.request);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (expected == 0 || int(reply->size()) < expected) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const bool trailing = expected == 0 && !reply->empty();
        const int waitMs = std::max(0, int(left.count()));
        if (sockets::WaitReadable(socket, kNoStop,
                                  trailing ? std::min(waitMs, kTrailingBytesMs) : waitMs) !=
            sockets::Wake::Ready)
            break;
        char buffer[512];
        const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
        if (got == 0)
            return Fail(error, "connection closed by the bridge while waiting for the reply to " +
                                   exchange.name);
        if (got < 0 && errno != EINTR)
            return Fail(error, "connection lost while waiting for the reply to " + exchange.name +
                                   ": " + std::strerror(errno));
        reply->append(buffer, size_t(std::max<ssize_t>(got, 0)));
    }
    if (reply->empty())
        return Fail(error, "no reply to " + exchange.name + " within " + std::to_string(timeoutMs) +
                               " ms");
    if (expected > 0 && int(reply->size()) < expected)
        return Fail(error, "incomplete reply to " + exchange.name + ": " + HexBytes(*reply));
    return true;
}

bool RunExchange(int socket, const Exchange& exchange, int timeoutMs, std::string* error)
{
    for (long sent = 0; sent < exchange.repeat; ++sent) {
        if (sent > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(exchange.intervalMs));
        std::string reply;
        if (!SendRequest(socket, exchange, error) ||
            !ReceiveReply(socket, exchange, timeoutMs, &reply, error))
            return false;
        std::printf("%s: %s (%s)\n", exchange.name.c_str(), HexBytes(reply).c_str(),
                    DescribeReply(exchange.request, reply).c_str());
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // One line per reply as it arrives, so that scripts can follow a long session.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ProbeOptions options;
    std::string error;
    if (!ParseProbeArgs(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        std::fprintf(stderr, "robot-probe: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(kProbeUsage, stdout);
        return 0;
    }
    if (!options.replay.empty())
        return ReplayRobot(options, [&](int port, std::string* why) {
            ProbeOptions to = options;
            to.port = port;
            return Connect(to, why);
        });
    const int socket = Connect(options, &error);
    if (socket == -1) {
        std::fprintf(stderr, "robot-probe: %s\n", error.c_str());
        return 1;
    }
    for (const Exchange& exchange : options.exchanges) {
        if (!RunExchange(socket, exchange, options.timeoutMs, &error)) {
            std::fprintf(stderr, "robot-probe: %s\n", error.c_str());
            close(socket);
            return 1;
        }
    }
    close(socket);
    return 0;
}
