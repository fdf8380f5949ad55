// What plant telemetry tells about the bridge: every metric with its name and datatype, its
// value kept current from the event feed and the link state, what changed since it was last
// sent, and the data kept while the broker cannot be reached.
#ifndef PLANT_METRICS_H
#define PLANT_METRICS_H

#include "events.h"
#include "link_state.h"
#include "sparkplug.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class PlantMetrics
{
public:
    using Clock = std::chrono::steady_clock;

    // ratePerSecond bounds how often one metric is sent.
    PlantMetrics(const std::string& version, int ratePerSecond);

    // In alias order; a birth carries them all.
    const std::vector<sparkplug::Definition>& Definitions() const { return m_definitions; }
    std::vector<sparkplug::Value> Values() const;

    void Take(const events::Event& event);
    // The link state, the fault captures kept so far, and the rates and uptime at now.
    void Look(const LinkSnapshot& link, uint64_t capturesKept, Clock::time_point now);

    // The changes not yet sent that are due: a metric goes at most ratePerSecond times a second,
    // but the last joint data reply goes whole at once when its result code changes.
    std::vector<sparkplug::Sample> TakeDue(Clock::time_point now);
    // A birth has just carried every current value.
    void AllSent(Clock::time_point now);

private:
    struct Slot {
        sparkplug::Value current;
        sparkplug::Value sent;
        int64_t changedAtMs = 0;
        Clock::time_point sentAt{}; // the clock's epoch: long before any start
        bool urgent = false;
    };

    void Set(size_t metric, const sparkplug::Value& value, int64_t atMs);
    void TakeReply(const events::RobotReply& reply);
    void TakeRecord(const events::Record& record);
    void UpdateRates(Clock::time_point now);

    std::vector<sparkplug::Definition> m_definitions;
    std::vector<Slot> m_slots;
    const Clock::duration m_interval;
    const Clock::time_point m_started = Clock::now();
    Clock::time_point m_rateSince = m_started;
    uint64_t m_records = 0;
    uint64_t m_unrecognised = 0;
};

// Data messages kept while the broker cannot be reached, oldest first, bound in bytes: past the
// bound the oldest go, counted.
class HeldData
{
public:
    explicit HeldData(size_t maxBytes) : m_maxBytes(maxBytes) {}
    void Keep(std::vector<sparkplug::Sample> message);
    bool Empty() const { return m_messages.empty(); }
    std::vector<sparkplug::Sample> TakeOldest();
    uint64_t TakeDropped() { return std::exchange(m_dropped, 0); }
    size_t HeldBytes() const { return m_bytes; }

private:
    static size_t Cost(const std::vector<sparkplug::Sample>& message);

    const size_t m_maxBytes;
    std::deque<std::vector<sparkplug::Sample>> m_messages;
    size_t m_bytes = 0;
    uint64_t m_dropped = 0;
};

#endif // PLANT_METRICS_H
