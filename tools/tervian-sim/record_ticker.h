#ifndef RECORD_TICKER_H
#define RECORD_TICKER_H

#include <QObject>

class QSocketNotifier;

// Paces the measurement stream with a kernel interval timer. A QTimer starts each period anew
// from its late wake-up and so drifts below the rate; the kernel timer keeps its own schedule
// and tells how many periods have passed, so a late wake-up is made up at once.
class RecordTicker : public QObject
{
    Q_OBJECT

public:
    explicit RecordTicker(QObject* parent = nullptr);
    ~RecordTicker() override;

    bool isValid() const { return m_fd >= 0; }
    bool isActive() const { return m_active; }
    void start(double rateHz); // the first tick comes at once
    void stop();

signals:
    void ticked(qint64 periods);

private:
    void readTicks();
    void arm(long long firstNs, long long intervalNs);

    int m_fd;
    bool m_active = false;
    QSocketNotifier* m_notifier = nullptr;
};

#endif // RECORD_TICKER_H
