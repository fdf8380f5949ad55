#include "bridge_watch.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>

#include <cstring>
#include <optional>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// One end of a TCP connection, as the kernel's socket diagnostics tell it.
struct TcpEnd {
    quint32 unacknowledged = 0; // sent and not yet acknowledged by the peer
    quint32 unread = 0;         // received and not yet read by its owner
    quint64 inode = 0;
};

void CopyAddress(const QHostAddress& address, __be32* to)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        to[0] = htonl(address.toIPv4Address());
        return;
    }
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(to, bytes.c, sizeof bytes.c);
}

// The end at local of the TCP connection between local and peer, looked up by its addresses
// and ports (a table such as /proc/net/tcp is a walk over every connection of the machine).
std::optional<TcpEnd> LookUpEnd(int diagnostics, const QHostAddress& local, quint16 localPort,
                                const QHostAddress& peer, quint16 peerPort)
{
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family =
        local.protocol() == QAbstractSocket::IPv4Protocol ? AF_INET : AF_INET6;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    request.body.id.idiag_sport = htons(localPort);
    request.body.id.idiag_dport = htons(peerPort);
    CopyAddress(local, request.body.id.idiag_src);
    CopyAddress(peer, request.body.id.idiag_dst);
    request.body.id.idiag_cookie[0] = request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (send(diagnostics, &request, sizeof request, 0) != ssize_t(sizeof request))
        return std::nullopt;
    alignas(nlmsghdr) char answer[1024];
    const ssize_t length = recv(diagnostics, answer, sizeof answer, 0);
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
    if (length < ssize_t(NLMSG_LENGTH(sizeof(inet_diag_msg))) ||
        header->nlmsg_type != SOCK_DIAG_BY_FAMILY) // an error: no such connection
        return std::nullopt;
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    return TcpEnd{found->idiag_wqueue, found->idiag_rqueue, found->idiag_inode};
}

// The process that holds the socket with inode, or an empty string.
QString OwnerOf(quint64 inode)
{
    const QByteArray wanted = "socket:[" + QByteArray::number(inode) + ']';
    const QStringList processes = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : processes) {
        if (!pid.front().isDigit())
            continue;
        const QString fds = "/proc/" + pid + "/fd/";
        for (const QString& fd : QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot)) {
            char target[64];
            const ssize_t length =
                readlink(QFile::encodeName(fds + fd).constData(), target, sizeof target);
            if (length == wanted.size() && wanted == QByteArray(target, int(length)))
                return pid;
        }
    }
    return QString();
}

QByteArray ReadProc(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

bool IsPollCall(long number)
{
#ifdef SYS_poll
    if (number == SYS_poll)
        return true;
#endif
    return number == SYS_ppoll;
}

} // namespace

BridgeWatch::Taken BridgeWatch::Check(const QAbstractSocket& socket)
{
    if (!m_diagnostics.IsOpen())
        m_diagnostics =
            Descriptor(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    const QHostAddress local = socket.localAddress(), peer = socket.peerAddress();
    const std::optional<TcpEnd> ours =
        LookUpEnd(m_diagnostics.Get(), local, socket.localPort(), peer, socket.peerPort());
    const std::optional<TcpEnd> theirs =
        LookUpEnd(m_diagnostics.Get(), peer, socket.peerPort(), local, socket.localPort());
    if (!ours || !theirs)
        return Unknown(
            "the bridge's end of the connection cannot be seen (is it on this machine?)");
    if (ours->unacknowledged != 0 || theirs->unread != 0)
        return Taken::NotYet;
    if (theirs->inode != m_inode)
        FindThread(theirs->inode);
    if (m_threadPath.isEmpty())
        return Taken::Unknown;
    switch (ThreadWait()) {
    case Wait::Asleep:
        return Taken::Yes;
    case Wait::Busy:
        return Taken::NotYet;
    case Wait::Unknown:
        break;
    }
    return Unknown("where the bridge's " + QString(m_threadName) + " thread waits cannot be seen");
}

BridgeWatch::Taken BridgeWatch::Unknown(const QString& reason)
{
    m_reason = reason;
    return Taken::Unknown;
}

// Looked for once for each connection: a search walks every process of the machine.
void BridgeWatch::FindThread(quint64 socketInode)
{
    m_inode = socketInode;
    m_threadPath.clear();
    const QString pid = OwnerOf(socketInode);
    if (pid.isEmpty()) {
        Unknown("the bridge's process cannot be seen (run the simulator as the bridge's user)");
        return;
    }
    const QString tasks = "/proc/" + pid + "/task/";
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (ReadProc(tasks + task + "/comm") == m_threadName) {
            m_threadPath = tasks + task;
            return;
        }
    }
    Unknown("the bridge has no thread named " + QString(m_threadName));
}

// The system call a sleeping thread is in, where we may trace it ("running" while it runs);
// else the kernel function it sleeps in ("0" while it runs, and on kernels that never tell).
BridgeWatch::Wait BridgeWatch::ThreadWait() const
{
    const QByteArray call = ReadProc(m_threadPath + "/syscall");
    if (!call.isEmpty()) {
        bool number = false;
        const long called = call.left(call.indexOf(' ')).toLong(&number);
        return number && IsPollCall(called) ? Wait::Asleep : Wait::Busy;
    }
    const QByteArray sleepsIn = ReadProc(m_threadPath + "/wchan");
    if (sleepsIn.contains("poll"))
        return Wait::Asleep;
    const QByteArray stat = ReadProc(m_threadPath + "/stat");
    const int state = stat.lastIndexOf(") ") + 2;
    if (sleepsIn.isEmpty() || state < 2 || state >= stat.size())
        return Wait::Unknown;
    return stat[state] == 'R' || sleepsIn != "0" ? Wait::Busy : Wait::Unknown;
}
