#ifndef SHUTDOWN_SIGNALS_H
#define SHUTDOWN_SIGNALS_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into the same orderly shutdown as closing the window: the handler
// only writes a byte to a socket pair, and the event loop quits when it reads it. SIGPIPE is
// ignored for the process, so a send on a closed connection fails instead of killing it.
// SIGUSR1 is passed on the same way as saveRequested(), for a bridge without a screen.
class ShutdownSignals : public QObject
{
    Q_OBJECT

public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

signals:
    void saveRequested();

private slots:
    void onSignal();

private:
    static void handle(int signalNumber);

    QSocketNotifier* m_notifier;
};

#endif // SHUTDOWN_SIGNALS_H
