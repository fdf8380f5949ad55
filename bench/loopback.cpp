#include "loopback.h"

#include "socket_util.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback
{

namespace
{

sockaddr_in Address(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

int64_t NowNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUs(int64_t microseconds)
{
    const timespec pause{time_t(microseconds / 1000000), long(microseconds % 1000000) * 1000};
    nanosleep(&pause, nullptr);
}

void Fail(const std::string& message)
{
    std::fprintf(stderr, "link-bench: %s\n", message.c_str());
    std::exit(1);
}

int Listen(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = Address(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t PortOf(int socket)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int Accept(int listenSocket, int timeoutMs)
{
    pollfd ready{listenSocket, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1)
        return -1;
    return accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
}

int Connect(uint16_t port)
{
    constexpr int kNoStop = -1;
    sockets::ConnectResult connected = sockets::ConnectWithin(Address(port), 5000, kNoStop);
    if (connected.step != sockets::ConnectStep::Connected)
        return -1;
    const int fd = connected.socket.Release();
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

bool ReceiveExact(int socket, void* data, size_t size)
{
    char* next = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t received = recv(socket, next, size, 0);
        if (received <= 0)
            return false;
        next += received;
        size -= size_t(received);
    }
    return true;
}

} // namespace loopback
