// The trend view's history: fixed slots of time, written by the Stream and Robot threads.
#include "trend_model.h"

#include <algorithm>

namespace trend
{

namespace
{

// One slot more than the longest range needs, so that a reply stamped just before a record
// that took the lock first still finds its slot.
constexpr int64_t kSlotCount = TrendModel::kLongestRangeMs / TrendModel::kSlotMs + 64;

// About a microsecond's work under the lock.
constexpr int64_t kSlotsPerHold = 256;

int64_t FloorDiv(int64_t a, int64_t b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// Adds what one stretch holds to another that follows or contains it.
void Merge(Column* into, const Column& from)
{
    if (from.records > 0) {
        for (int i = 0; i < kValueCount; ++i) {
            into->min[i] = into->records > 0 ? std::min(into->min[i], from.min[i]) : from.min[i];
            into->max[i] = into->records > 0 ? std::max(into->max[i], from.max[i]) : from.max[i];
            into->last[i] = from.last[i];
        }
        into->gapBefore = into->gapBefore || from.gapBefore;
    }
    into->records += from.records;
    into->unrecognised += from.unrecognised;
    into->replies |= from.replies;
}

} // namespace

uint8_t ReplyBitOf(uint8_t resultCode)
{
    switch (resultCode) {
    case 0x00:
        return kReplyRecognised;
    case 0x0C:
        return kReplyNotRecognised;
    default:
        return kReplyNotReady;
    }
}

TrendModel::TrendModel() = default;

void TrendModel::SetOpen(bool open)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (open == m_open.load())
        return;
    if (open)
        m_slots.assign(size_t(kSlotCount), Slot());
    else
        std::vector<Slot>().swap(m_slots); // the memory goes back while closed
    m_anyRecord = false;
    m_open = open;
}

TrendModel::Slot& TrendModel::SlotAt(int64_t ms)
{
    const int64_t index = FloorDiv(ms, kSlotMs);
    Slot& slot = m_slots[size_t((index % kSlotCount + kSlotCount) % kSlotCount)];
    if (slot.index != index) {
        slot = Slot();
        slot.index = index;
        slot.data.startMs = index * kSlotMs;
    }
    return slot;
}

void TrendModel::AddRecord(int64_t ms, const measurement::Values& values, bool recognised)
{
    if (!IsOpen())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_slots.empty())
        return;
    Column record;
    record.records = 1;
    record.unrecognised = recognised ? 0 : 1;
    record.gapBefore = !m_anyRecord || ms - m_lastRecordMs > kGapMs;
    for (int i = 0; i < kValueCount; ++i)
        record.min[i] = record.max[i] = record.last[i] = float(values[i]);
    Merge(&SlotAt(ms).data, record);
    m_lastRecordMs = ms;
    m_anyRecord = true;
}

void TrendModel::AddReply(int64_t ms, uint8_t resultCode)
{
    if (!IsOpen())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_slots.empty())
        SlotAt(ms).data.replies |= ReplyBitOf(resultCode);
}

std::vector<Column> TrendModel::Columns(int64_t endMs, int64_t rangeMs, int count) const
{
    std::vector<Column> columns(size_t(std::max(count, 0)));
    if (columns.empty() || rangeMs <= 0)
        return columns;
    rangeMs = std::min(rangeMs, kLongestRangeMs);
    const int64_t startMs = endMs - rangeMs;
    for (int c = 0; c < count; ++c)
        columns[size_t(c)].startMs = startMs + rangeMs * c / count;
    // Slot by slot from the one holding startMs; a slot counts in the column of its start. The
    // Stream thread stores records while it holds the lock of the robot's values, so the lock
    // is taken for a short run of slots at a time: a long range never holds up a record.
    const int64_t endIndex = FloorDiv(endMs - 1, kSlotMs);
    for (int64_t index = FloorDiv(startMs, kSlotMs); index <= endIndex;) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_slots.empty())
            break;
        for (const int64_t runEnd = std::min(index + kSlotsPerHold, endIndex + 1); index < runEnd;
             ++index) {
            const Slot& slot = m_slots[size_t((index % kSlotCount + kSlotCount) % kSlotCount)];
            if (slot.index != index)
                continue;
            const int64_t offset = std::max<int64_t>(slot.data.startMs - startMs, 0);
            Merge(&columns[size_t(offset * count / rangeMs)], slot.data);
        }
    }
    return columns;
}

} // namespace trend
