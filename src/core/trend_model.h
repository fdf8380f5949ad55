#ifndef TREND_MODEL_H
#define TREND_MODEL_H

#include "measurement_record.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

// The history behind the trend view: the measured values of every record and the result of
// every joint data reply, for the longest range the view shows. Times are milliseconds of a
// steady clock, given by the caller.
//
// Records are gathered into slots of kSlotMs, each keeping the extremes and the last of every
// value, so that the memory is fixed (about 5 MB, taken only while the view is open) whatever
// the rate of the stream, and every record still leaves its mark on the drawing.
namespace trend
{

constexpr int kValueCount = measurement::kValueCount;

// What the robot was told, as bits, so that one slot can hold several replies.
enum ReplyBit : uint8_t { kReplyRecognised = 1, kReplyNotRecognised = 2, kReplyNotReady = 4 };
uint8_t ReplyBitOf(uint8_t resultCode);

inline int64_t Ms(std::chrono::steady_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

// A stretch of time as the view draws it: one pixel column, or one slot for the CSV export.
struct Column {
    int64_t startMs = 0;
    int records = 0;
    int unrecognised = 0;
    // No record came for longer than kGapMs before the first record of the column: the trace
    // must not be joined to the column before.
    bool gapBefore = false;
    uint8_t replies = 0; // ReplyBit values
    float min[kValueCount] = {};
    float max[kValueCount] = {};
    float last[kValueCount] = {};
};

class TrendModel
{
public:
    static constexpr int64_t kSlotMs = 10;
    static constexpr int64_t kLongestRangeMs = 10 * 60 * 1000;
    // Longer than the spacing of records of any running acquisition, short enough that a
    // dropout the robot would notice shows as a break.
    static constexpr int64_t kGapMs = 250;

    TrendModel();
    TrendModel(const TrendModel&) = delete;
    TrendModel& operator=(const TrendModel&) = delete;

    // While closed, the two feeds return at once and no history is kept; opening starts an
    // empty history.
    void SetOpen(bool open);
    bool IsOpen() const { return m_open.load(std::memory_order_relaxed); }

    void AddRecord(int64_t ms, const measurement::Values& values, bool recognised);
    void AddReply(int64_t ms, uint8_t resultCode);
    // The workers' feeds; while closed they cost one relaxed load. A reply is stamped now.
    void NoteRecord(std::chrono::steady_clock::time_point decoded,
                    const measurement::Values& values, bool recognised)
    {
        if (IsOpen())
            AddRecord(Ms(decoded), values, recognised);
    }
    void NoteReply(uint8_t resultCode)
    {
        if (IsOpen())
            AddReply(Ms(std::chrono::steady_clock::now()), resultCode);
    }

    // The range [endMs - rangeMs, endMs) cut into `count` equal columns; a column without
    // records or replies has records == 0 and replies == 0.
    std::vector<Column> Columns(int64_t endMs, int64_t rangeMs, int count) const;

private:
    struct Slot {
        int64_t index = -1; // which slot of time this entry holds; another index: empty
        Column data;
    };
    Slot& SlotAt(int64_t ms); // caller holds m_mutex

    std::atomic<bool> m_open{false};
    mutable std::mutex m_mutex;
    std::vector<Slot> m_slots;
    int64_t m_lastRecordMs = 0;
    bool m_anyRecord = false;
};

} // namespace trend

#endif // TREND_MODEL_H
