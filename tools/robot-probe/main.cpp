// robot-probe: a command-line stand-in for the robot controller, for commissioning the bridge.
#include "probe_args.h"
#include "probe_reply.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
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

// Waits until the socket is ready for the given events; false on a time-out.
bool WaitFor(int socket, short events, int timeoutMs)
{
    pollfd entry{socket, events, 0};
    int ready;
    do {
        ready = poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool ConnectWithin(int socket, const addrinfo* address, int timeoutMs, std::string* error)
{
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
    if (connect(socket, address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS)
        return Fail(error, std::strerror(errno));
    if (!WaitFor(socket, POLLOUT, timeoutMs))
        return Fail(error, "no answer within " + std::to_string(timeoutMs) + " ms");
    int connectError = 0;
    socklen_t size = sizeof connectError;
    getsockopt(socket, SOL_SOCKET, SO_ERROR, &connectError, &size);
    if (connectError != 0)
        return Fail(error, std::strerror(connectError));
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) & ~O_NONBLOCK);
    return true;
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
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string reason;
    if (socket == -1 || !ConnectWithin(socket, address, options.timeoutMs, &reason)) {
        Fail(error,
             "cannot connect to " + where + ": " + (socket == -1 ? std::strerror(errno) : reason));
        if (socket != -1)
            close(socket);
        socket = -1;
    }
    freeaddrinfo(address);
    return socket;
}

bool SendRequest(int socket, const Exchange& exchange, std::string* error)
{
    size_t sent = 0;
    while (sent < exchange.request.size()) {
        const ssize_t result = send(socket, exchange.request.data() + sent,
                                    exchange.request.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno != EINTR)
            return Fail(error, "connection lost while sending " + exchange.name + ": " +
                                   std::strerror(errno));
        sent += std::max<ssize_t>(result, 0);
    }
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
        if (!WaitFor(socket, POLLIN, trailing ? std::min(waitMs, kTrailingBytesMs) : waitMs))
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
