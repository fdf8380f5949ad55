#include "bridge_watch.h"

#include <QDir>
#include <QFile>

#include <optional>

#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// One end of a TCP connection as /proc/net/tcp shows it.
struct TcpEnd {
    quint64 unacknowledged = 0; // sent and not yet acknowledged by the peer
    quint64 unread = 0;         // received and not yet read by its owner
    quint64 inode = 0;
};

// The ends of the connection from localPort to peerPort on this machine: ours and the peer's.
void FindEnds(quint16 localPort, quint16 peerPort, std::optional<TcpEnd>* ours,
              std::optional<TcpEnd>* theirs)
{
    const auto portField = [](quint16 port) {
        return ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    };
    const QByteArray local = portField(localPort), peer = portField(peerPort);
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(path);
        if (!table.open(QIODevice::ReadOnly))
            continue;
        table.readLine(); // the heading
        while (!table.atEnd()) {
            const QList<QByteArray> f = table.readLine().simplified().split(' ');
            if (f.size() < 10 || f[9] == "0") // a connection no socket owns any more
                continue;
            const QList<QByteArray> queues = f[4].split(':');
            const TcpEnd end{queues.value(0).toULongLong(nullptr, 16),
                             queues.value(1).toULongLong(nullptr, 16), f[9].toULongLong()};
            if (f[1].endsWith(local) && f[2].endsWith(peer))
                *ours = end;
            else if (f[1].endsWith(peer) && f[2].endsWith(local))
                *theirs = end;
        }
    }
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

BridgeWatch::Taken BridgeWatch::Check(quint16 localPort, quint16 peerPort)
{
    std::optional<TcpEnd> ours, theirs;
    FindEnds(localPort, peerPort, &ours, &theirs);
    if (!ours || !theirs)
        return Unknown("the bridge's end of the connection is not on this machine");
    if (ours->unacknowledged != 0 || theirs->unread != 0)
        return Taken::NotYet;
    if (theirs->inode != m_inode && !FindThread(theirs->inode))
        return Taken::Unknown;
    switch (ThreadWait()) {
    case Wait::Asleep:
        return Taken::Yes;
    case Wait::Busy:
        return Taken::NotYet;
    case Wait::Unknown:
        break;
    }
    m_inode = 0; // a thread that has gone is looked for again
    return Unknown("where the bridge's " + QString(m_threadName) + " thread waits cannot be seen");
}

BridgeWatch::Taken BridgeWatch::Unknown(const QString& reason)
{
    m_reason = reason;
    return Taken::Unknown;
}

bool BridgeWatch::FindThread(quint64 socketInode)
{
    m_inode = 0;
    const QString pid = OwnerOf(socketInode);
    if (pid.isEmpty()) {
        Unknown("the bridge's process cannot be seen (run the simulator as the bridge's user)");
        return false;
    }
    const QString tasks = "/proc/" + pid + "/task/";
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (ReadProc(tasks + task + "/comm") == m_threadName) {
            m_threadPath = tasks + task;
            m_inode = socketInode;
            return true;
        }
    }
    Unknown("the bridge has no thread named " + QString(m_threadName));
    return false;
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
