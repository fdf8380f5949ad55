// Whether the bridge has taken in what the simulator sent it, seen from outside through /proc.
#ifndef BRIDGE_WATCH_H
#define BRIDGE_WATCH_H

#include "descriptor.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QString>

// One connection to the bridge and the bridge thread that reads it, found by its name. The bridge
// has taken in what we sent when our bytes are acknowledged (so they are in its socket) and,
// after that, its thread sleeps in its wait for more: it waits again only once it has received
// all that was there and handed it on, and anything arriving would have woken it. Nothing is
// added to the bridge for this; the thread's wait shows in /proc (its system call where we may
// trace it, else where it sleeps), for a bridge on this machine.
class BridgeWatch
{
public:
    enum class Taken { Yes, NotYet, Unknown };

    explicit BridgeWatch(QByteArray threadName) : m_threadName(std::move(threadName)) {}

    // socket is our end of the connection. Unknown when the bridge's end or its thread cannot be
    // seen; why is then in Reason().
    Taken Check(const QAbstractSocket& socket);
    const QString& Reason() const { return m_reason; }

private:
    enum class Wait { Asleep, Busy, Unknown };

    Taken Unknown(const QString& reason);
    void FindThread(quint64 socketInode);
    Wait ThreadWait() const;

    const QByteArray m_threadName;
    Descriptor m_diagnostics; // asks the kernel about sockets
    quint64 m_inode = 0;      // of the bridge's socket whose thread was looked for
    QString m_threadPath;     // /proc/PID/task/TID of that thread; empty when not found
    QString m_reason;
};

#endif // BRIDGE_WATCH_H
