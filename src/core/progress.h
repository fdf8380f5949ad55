// How far a worker has come, for a watchdog that looks at it from another thread.
#ifndef PROGRESS_H
#define PROGRESS_H

#include <atomic>
#include <chrono>
#include <limits>
#include <optional>

// A worker is either busy, since a given time, and then has to come back within its bound, or
// waiting on a peer, a wish or its stop, which may take as long as it takes: a wait ends at once
// when the worker is stopped, so a waiting worker is alive. A worker that has not come back from
// a step (a write to a hung disk, a lock held by one that never returns) past its bound is stuck.
class Progress
{
public:
    using Clock = std::chrono::steady_clock;

    Progress(const char* name, std::chrono::milliseconds bound) : m_name(name), m_bound(bound) {}

    // From now on the worker has to come back within its bound; a heartbeat calls it each beat.
    void Busy() { m_busySince.store(Clock::now().time_since_epoch().count()); }
    void Idle() { m_busySince.store(kIdle); }

    // When it became busy, if it has been busy for longer than its bound at now.
    std::optional<Clock::time_point> StuckSince(Clock::time_point now) const
    {
        const Clock::rep since = m_busySince.load();
        if (since == kIdle)
            return std::nullopt;
        const Clock::time_point busy{Clock::duration(since)};
        if (now - busy <= m_bound)
            return std::nullopt;
        return busy;
    }
    const char* Name() const { return m_name; }
    std::chrono::milliseconds Bound() const { return m_bound; }

    // Runs wait (a sleep that the worker's stop ends at once) as idle, and is busy again after.
    template <typename Sleep> decltype(auto) Wait(Sleep wait)
    {
        struct BusyAfter {
            Progress& progress;
            ~BusyAfter() { progress.Busy(); }
        } const busyAfter{*this};
        Idle();
        return wait();
    }

private:
    static constexpr Clock::rep kIdle = std::numeric_limits<Clock::rep>::min();

    const char* const m_name;
    const std::chrono::milliseconds m_bound;
    std::atomic<Clock::rep> m_busySince{kIdle};
};

#endif // PROGRESS_H
