#include "socket_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace sockets
{

namespace
{

using Clock = std::chrono::steady_clock;

// What is left until due, rounded up so that a wait never ends before it.
int MillisecondsUntil(Clock::time_point due)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

// Sleeps until socket is ready for events, or stop is readable, or timeoutMs has passed.
Wake WaitFor(int socket, short events, int stop, int timeoutMs)
{
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd entries[2] = {{stop, POLLIN, 0}, {socket, events, 0}};
        const int ready =
            poll(entries, 2, timeoutMs == kNoLimit ? kNoLimit : MillisecondsUntil(due));
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == -1)
            return Wake::Failed;
        if (entries[0].revents != 0)
            return Wake::Stopped;
        return entries[1].revents != 0 ? Wake::Ready : Wake::TimedOut;
    }
}

void SetIntOption(int socket, int level, int option, int value)
{
    setsockopt(socket, level, option, &value, sizeof value);
}

// What a receive gave, as the capture keeps it.
void RecordReceived(const capture::Tap& tap, const char* buffer, ssize_t length)
{
    if (length > 0) {
        tap.Record(capture::Event::Received, buffer, size_t(length));
        return;
    }
    if (length == 0)
        tap.Record(capture::Event::PeerClosed);
    // A robot that closes in order has finished its job; a vision application never should.
    if (length == -1 || tap.link != capture::Link::Robot)
        tap.NoteFault();
}

ReceiveResult ReceiveFlags(int socket, char* buffer, size_t size, int flags,
                           const capture::Tap& tap)
{
    const ssize_t length = recv(socket, buffer, size, flags);
    if (length != -1 || (errno != EAGAIN && errno != EWOULDBLOCK))
        RecordReceived(tap, buffer, length);
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

// errno goes along, for the tools that tell their user why.
ConnectResult Failed(ConnectStep step)
{
    return ConnectResult{step, Descriptor(), 0, 0, errno};
}

bool StartConnect(int socket, const sockaddr_in& server)
{
    return connect(socket, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0 ||
           errno == EINPROGRESS;
}

} // namespace

ConnectResult ConnectWithin1s(const std::string& address, uint16_t port, int stop)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = inet_addr(address.c_str());
    server.sin_port = htons(port);
    return ConnectWithin(server, 1000, stop);
}

ConnectResult ConnectWithin(const sockaddr_in& server, int timeoutMs, int stop)
{
    // Close-on-exec, so that a program started from the window never holds the connection.
    Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.IsOpen())
        return Failed(ConnectStep::CreateFailed);
    SetNonBlocking(socket.Get(), true);
    if (!StartConnect(socket.Get(), server))
        return Failed(ConnectStep::ConnectFailed);
    const Wake connected = WaitFor(socket.Get(), POLLOUT, stop, timeoutMs);
    if (connected == Wake::Stopped)
        return Failed(ConnectStep::Stopped);
    if (connected != Wake::Ready)
        return Failed(ConnectStep::WaitFailed);
    SetNonBlocking(socket.Get(), false);

    int error = 0;
    socklen_t length = sizeof error;
    const int retval = getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
    const int errnoValue = errno;
    if (retval != 0 || error != 0)
        return ConnectResult{ConnectStep::PendingError, Descriptor(), error, retval, errnoValue};
    EnableKeepAlive(socket.Get());
    return ConnectResult{ConnectStep::Connected, std::move(socket), 0, 0, 0};
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

bool SendAll(int socket, const std::string& data, const capture::Tap& tap)
{
    return SendAll(socket, data.data(), data.size(), tap);
}

bool SendAll(int socket, const char* data, size_t size, const capture::Tap& tap)
{
    size_t sent = 0;
    while (sent < size) {
        const ssize_t count = send(socket, data + sent, size - sent, MSG_NOSIGNAL);
        if (count == -1 && errno != EINTR) {
            tap.NoteFault();
            return false;
        }
        if (count > 0) {
            tap.Record(capture::Event::Sent, data + sent, size_t(count));
            sent += size_t(count);
        }
    }
    return true;
}

long SendNow(int socket, const char* data, size_t size, const capture::Tap& tap)
{
    const ssize_t count = send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count > 0)
        tap.Record(capture::Event::Sent, data, size_t(count));
    if (count == -1)
        tap.NoteFault();
    return count;
}

long Receive(int socket, char* buffer, size_t size, const capture::Tap& tap)
{
    const ssize_t length = recv(socket, buffer, size, 0);
    RecordReceived(tap, buffer, length);
    return length;
}

Wake WaitReadable(int socket, int stop, int timeoutMs)
{
    return WaitFor(socket, POLLIN, stop, timeoutMs);
}

void WaitForAny(std::initializer_list<int> descriptors, int timeoutMs)
{
    constexpr size_t kMost = 8;
    pollfd entries[kMost];
    nfds_t count = 0;
    for (int descriptor : descriptors)
        if (count < kMost)
            entries[count++] = pollfd{descriptor, POLLIN, 0};
    poll(entries, count, timeoutMs);
}

ReceiveResult ReceiveWithin(int socket, char* buffer, size_t size, int timeoutMs, int stop,
                            const capture::Tap& tap)
{
    switch (WaitReadable(socket, stop, timeoutMs)) {
    case Wake::Ready:
        return ReceiveFlags(socket, buffer, size, 0, tap);
    case Wake::Stopped:
        return ReceiveResult{ReceiveStatus::Stopped, 0};
    case Wake::TimedOut:
        return ReceiveResult{ReceiveStatus::TimedOut, 0};
    case Wake::Failed:
        break;
    }
    return ReceiveResult{ReceiveStatus::WaitFailed, 0};
}

ReceiveResult ReceiveWaiting(int socket, char* buffer, size_t size, const capture::Tap& tap)
{
    return ReceiveFlags(socket, buffer, size, MSG_DONTWAIT, tap);
}

} // namespace sockets
