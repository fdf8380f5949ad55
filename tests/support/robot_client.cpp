#include "robot_client.h"

#include <QDeadlineTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

bool RobotClient::connectTo(quint16 port, const char* address)
{
    sockaddr_in bridge{};
    bridge.sin_family = AF_INET;
    bridge.sin_port = htons(port);
    bridge.sin_addr.s_addr = inet_addr(address);
    return ::connect(m_fd, reinterpret_cast<sockaddr*>(&bridge), sizeof bridge) == 0;
}

QByteArray RobotClient::read(int count, int timeoutMs)
{
    QByteArray bytes;
    QDeadlineTimer deadline(timeoutMs);
    pollfd entry{m_fd, POLLIN, 0};
    while (bytes.size() < count && poll(&entry, 1, int(deadline.remainingTime())) == 1) {
        char buffer[64];
        const ssize_t got = recv(m_fd, buffer, size_t(qMin(count - bytes.size(), 64)), 0);
        if (got <= 0)
            break;
        bytes.append(buffer, int(got));
    }
    return bytes;
}

bool RobotClient::endedByBridge(int timeoutMs)
{
    pollfd entry{m_fd, POLLIN, 0};
    char byte;
    return poll(&entry, 1, timeoutMs) == 1 && recv(m_fd, &byte, 1, 0) <= 0;
}

void RobotClient::reset()
{
    const linger abort{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

quint16 RobotClient::localPort() const
{
    sockaddr_in local{};
    socklen_t size = sizeof local;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size);
    return ntohs(local.sin_port);
}

std::unique_ptr<RobotClient> servedRobot()
{
    for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QThread::msleep(10)) {
        auto robot = std::make_unique<RobotClient>();
        if (robot->connectTo() && robot->ask(QByteArray::fromHex("01010600"), 4).size() == 4)
            return robot;
    }
    return nullptr;
}

QVector<int> KeepAliveOptions(quint16 peerPort)
{
    QVector<int> options;
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
            ntohs(peer.sin_port) != peerPort)
            continue;
        const int asked[][2] = {{SOL_SOCKET, SO_KEEPALIVE},
                                {IPPROTO_TCP, TCP_KEEPIDLE},
                                {IPPROTO_TCP, TCP_KEEPCNT},
                                {IPPROTO_TCP, TCP_KEEPINTVL},
                                {IPPROTO_TCP, TCP_USER_TIMEOUT}};
        for (auto [level, option] : asked) {
            int value = 0;
            socklen_t length = sizeof value;
            getsockopt(fd, level, option, &value, &length);
            options << value;
        }
    }
    return options;
}
