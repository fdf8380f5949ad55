#ifndef SHUTDOWN_SIGNALS_H
#define SHUTDOWN_SIGNALS_H

#include <QObject>

#include <csignal>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into the same orderly shutdown as closing the window: the handler
// only notes the signal and writes a byte to a socket pair, and the event loop quits when it
// reads it. SIGPIPE is ignored for the process, so a send on a closed connection fails instead
// of killing it. SIGUSR1 is passed on the same way as saveRequested(), for a bridge without a
// screen: once for all that came since the last, so that a storm of them costs one save.
//
// The handler never waits: when the pair is full, a wake-up is pending already. Only the thread
// that makes this object takes the signals, so that no worker's wait is cut short and no worker
// runs the handler: main() blocks them before any thread starts (Qt's own included), the bridge's
// workers take no signals at all (core/worker.h), and the constructor unblocks them in its own
// thread alone.
class ShutdownSignals : public QObject
{
    Q_OBJECT

public:
    // Blocks the signals in the calling thread, and so in every thread it starts meanwhile;
    // returns the mask before.
    static sigset_t BlockInThisThread();

    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

signals:
    void saveRequested();

private slots:
    void onSignal();

private:
    static void handle(int signalNumber);

    QSocketNotifier* m_notifier = nullptr;
};

#endif // SHUTDOWN_SIGNALS_H
