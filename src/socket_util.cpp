#include "socket_util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sockets
{

namespace
{

enum class Readiness { Read, Write };

// select() on the one socket for at most 1 s: > 0 ready, 0 timed out, -1 failed.
int WaitOneSecond(int socket, Readiness readiness)
{
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(socket, &fds);
    timeval timeout{1, 0};
    return readiness == Readiness::Read ? select(socket + 1, &fds, nullptr, nullptr, &timeout)
                                        : select(socket + 1, nullptr, &fds, nullptr, &timeout);
}

// poll() on the one socket for reading: > 0 ready, 0 timed out, -1 failed.
int WaitReadable(int socket, int timeoutMs)
{
    pollfd entry{socket, POLLIN, 0};
    return poll(&entry, 1, timeoutMs);
}

void SetIntOption(int socket, int level, int option, int value)
{
    setsockopt(socket, level, option, &value, sizeof value);
}

ReceiveResult Receive(int socket, char* buffer, size_t size, int flags)
{
    const ssize_t length = recv(socket, buffer, size, flags);
    if (length == -1 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return ReceiveResult{ReceiveStatus::TimedOut, 0};
    if (length == -1)
        return ReceiveResult{ReceiveStatus::ReceiveFailed, 0};
    return ReceiveResult{ReceiveStatus::Received, int(length)};
}

void SetNonBlocking(int socket, bool on)
{
    unsigned long opt = on ? 1 : 0;
    ioctl(socket, FIONBIO, &opt);
}

ConnectResult Failed(int socket, ConnectStep step)
{
    if (socket != -1)
        close(socket);
    return ConnectResult{step, -1, 0, 0, 0};
}

bool StartConnect(int socket, const std::string& address, uint16_t port)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = inet_addr(address.c_str());
    server.sin_port = htons(port);
    return connect(socket, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0 ||
           errno == EINPROGRESS;
}

} // namespace

ConnectResult ConnectWithin1s(const std::string& address, uint16_t port)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket == -1)
        return Failed(socket, ConnectStep::CreateFailed);
    SetNonBlocking(socket, true);
    if (!StartConnect(socket, address, port))
        return Failed(socket, ConnectStep::ConnectFailed);
    if (WaitOneSecond(socket, Readiness::Write) <= 0)
        return Failed(socket, ConnectStep::WaitFailed);
    SetNonBlocking(socket, false);

    int error = 0;
    socklen_t length = sizeof error;
    const int retval = getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length);
    const int errnoValue = errno;
    if (retval != 0 || error != 0) {
        close(socket);
        return ConnectResult{ConnectStep::PendingError, -1, error, retval, errnoValue};
    }
    EnableKeepAlive(socket);
    return ConnectResult{ConnectStep::Connected, socket, 0, 0, 0};
}

void EnableKeepAlive(int socket)
{
    SetIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetIntOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, 3);
    SetIntOption(socket, IPPROTO_TCP, TCP_KEEPCNT, 3);
    SetIntOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, 1);
    // Keep-alive probes wait while sent data is still unacknowledged, so a peer that vanishes
    // just after a request would hold the link for the quarter of an hour that retransmissions
    // last. The same 6 s bound applies to that case.
    SetIntOption(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, 6000);
}

bool SendAll(int socket, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t count = send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (count == -1 && errno != EINTR)
            return false;
        if (count > 0)
            sent += size_t(count);
    }
    return true;
}

ReceiveResult ReceiveUnlessStopped(int socket, char* buffer, size_t size,
                                   const std::atomic<bool>& stop)
{
    for (;;) {
        const int ready = WaitOneSecond(socket, Readiness::Read);
        if (ready > 0)
            break;
        if (ready == -1 && errno != EINTR)
            return ReceiveResult{ReceiveStatus::WaitFailed, 0};
        usleep(10000);
        if (stop)
            return ReceiveResult{ReceiveStatus::Stopped, 0};
    }
    const ssize_t length = recv(socket, buffer, size, 0);
    if (length == -1)
        return ReceiveResult{ReceiveStatus::ReceiveFailed, 0};
    return ReceiveResult{ReceiveStatus::Received, int(length)};
}

ReceiveResult ReceiveWithin(int socket, char* buffer, size_t size, int timeoutMs,
                            const std::atomic<bool>& stop)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return ReceiveResult{ReceiveStatus::TimedOut, 0};
        const int ready = WaitReadable(socket, int(std::min<long long>(left.count(), 1000)));
        if (ready > 0)
            return Receive(socket, buffer, size, 0);
        if (ready == -1 && errno != EINTR)
            return ReceiveResult{ReceiveStatus::WaitFailed, 0};
        if (stop)
            return ReceiveResult{ReceiveStatus::Stopped, 0};
    }
}

ReceiveResult ReceiveWaiting(int socket, char* buffer, size_t size)
{
    return Receive(socket, buffer, size, MSG_DONTWAIT);
}

} // namespace sockets
