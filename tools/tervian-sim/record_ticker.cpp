#include "record_ticker.h"

#include <QSocketNotifier>

#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>

RecordTicker::RecordTicker(QObject* parent)
    : QObject(parent), m_fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (m_fd < 0)
        return;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &RecordTicker::readTicks);
}

RecordTicker::~RecordTicker()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void RecordTicker::start(double rateHz)
{
    m_active = true;
    arm(1, std::max(1LL, static_cast<long long>(1e9 / rateHz)));
}

void RecordTicker::stop()
{
    m_active = false;
    arm(0, 0);
    readTicks(); // drops a tick that is already pending
}

void RecordTicker::arm(long long firstNs, long long intervalNs)
{
    itimerspec spec = {};
    spec.it_value.tv_sec = firstNs / 1000000000;
    spec.it_value.tv_nsec = firstNs % 1000000000;
    spec.it_interval.tv_sec = intervalNs / 1000000000;
    spec.it_interval.tv_nsec = intervalNs % 1000000000;
    timerfd_settime(m_fd, 0, &spec, nullptr);
}

void RecordTicker::readTicks()
{
    std::uint64_t periods = 0;
    if (::read(m_fd, &periods, sizeof periods) == sizeof periods && m_active)
        emit ticked(qint64(periods));
}
