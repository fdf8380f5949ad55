#ifndef ROBOT_CLIENT_H
#define ROBOT_CLIENT_H

#include <QByteArray>
#include <QVector>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

// A robot controller made of one plain blocking socket, so that the test decides how it ends.
// A reply is read to its expected length and no further: a byte too many shows at the start
// of the next reply, so a session ends with a request whose reply is known.
class RobotClient
{
public:
    RobotClient() = default;
    ~RobotClient() { close(); }
    RobotClient(const RobotClient&) = delete;
    RobotClient& operator=(const RobotClient&) = delete;

    bool connectTo(quint16 port = 5020, const char* address = "127.0.0.1");
    void send(const QByteArray& bytes)
    {
        ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    }
    // Up to count bytes, or what came of them within timeoutMs.
    QByteArray read(int count, int timeoutMs = 3000);
    QByteArray ask(const QByteArray& request, int replyLength)
    {
        send(request);
        return read(replyLength);
    }
    // True once the bridge has closed or reset the connection within timeoutMs, without a byte.
    bool endedByBridge(int timeoutMs = 3000);
    void close()
    {
        if (m_fd != -1)
            ::close(m_fd);
        m_fd = -1;
    }
    void reset(); // ends the connection with a reset instead of an orderly close
    quint16 localPort() const;
    int fd() const { return m_fd; }

private:
    int m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// A robot whose status request has been answered, or null when none is within 5 s. A robot that
// connects while the bridge is still finishing with the one before is reset when the bridge
// listens anew; like a real robot, it then connects again.
std::unique_ptr<RobotClient> servedRobot();

// The keep-alive settings of this process's sockets whose peer has the port: keep-alive, idle
// seconds, probes, seconds between them and the user time-out in ms, five values a socket.
// The bridge wants {1, 3, 3, 1, 6000} on every link: a peer that vanishes is dropped after
// about 6 s, with a request unacknowledged too.
QVector<int> KeepAliveOptions(quint16 peerPort);

#endif // ROBOT_CLIENT_H
