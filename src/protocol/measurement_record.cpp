#include "measurement_record.h"

#include "c_numbers.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace measurement
{

namespace
{

bool IsGoodStatus(const char* field)
{
    return cnumbers::ParseLong(field, nullptr) == 0;
}

// Only a record decoded since the project was loaded counts. While the laser is wanted on,
// only one decoded since acquisition went on, on a stream that still stands, and not older than
// the bound, is a recognition; while it is wanted off, the last record stands, so that the
// robot may still read the final measurement.
bool IsCurrent(const FreshnessRule& rule, bool recognised, Clock::time_point decoded,
               bool streamBroken, Clock::time_point now)
{
    if (decoded <= rule.projectLoaded)
        return false;
    if (!rule.laserWanted)
        return recognised;
    // Compared with the oldest time still fresh: an age taken from "never" would overflow.
    const Clock::time_point oldestFresh = now - std::chrono::milliseconds(rule.staleAfterMs);
    return recognised && rule.acquisitionOn && !streamBroken && decoded > rule.since &&
           (rule.staleAfterMs == 0 || decoded >= oldestFresh);
}

} // namespace

Record ParseRecord(const char* begin, const char* end)
{
    Record record{false, 0, {}};
    PieceCursor fields(begin, end, ',');
    const char* field;
    const char* fieldEnd;
    if (fields.Next(&field, &fieldEnd))
        record.statusGood = IsGoodStatus(field);
    while (record.valueCount < kValueCount && fields.Next(&field, &fieldEnd))
        record.values[record.valueCount++] = cnumbers::ParseDouble(field, nullptr);
    return record;
}

BlockReader::BlockReader(std::string text)
    : m_text(std::move(text)), m_records(m_text.data(), m_text.data() + m_text.size(), ';')
{
}

bool BlockReader::NextRecord(Record* record)
{
    const char* begin;
    const char* end;
    if (!m_records.Next(&begin, &end))
        return false;
    *record = ParseRecord(begin, end);
    return true;
}

std::string RecordJoiner::Join(const char* data, int length, bool* overlong)
{
    *overlong = false;
    const std::string_view piece(data, size_t(length));
    const bool separated = piece.find(';') != std::string_view::npos;
    if (!separated && m_framing == Framing::OnePerReceive)
        return std::string(piece);
    if (!separated && m_framing == Framing::Unknown && TellsNoSeparator(piece)) {
        // What was held were whole records of their own, older than this one.
        m_framing = Framing::OnePerReceive;
        m_tail.clear();
        m_skipping = false;
        return std::string(piece);
    }
    return JoinSeparated(piece, overlong);
}

std::string RecordJoiner::JoinSeparated(std::string_view piece, bool* overlong)
{
    const size_t last = piece.rfind(';');
    std::string records;
    if (last != std::string_view::npos) {
        m_framing = Framing::Separated;
        // The end of a dropped record is no record of its own.
        const size_t from = m_skipping ? piece.find(';') + 1 : 0;
        records = m_skipping ? std::string() : std::move(m_tail);
        records.append(piece.substr(from, last + 1 - from));
        m_tail.clear();
        m_skipping = false;
        piece.remove_prefix(last + 1);
    }
    if (!m_skipping)
        m_tail.append(piece);
    if (m_tail.size() > kMaxTail) {
        *overlong = true;
        m_tail.clear();
        m_skipping = true;
        m_wholeWithoutSeparator = 0; // nothing held any more
    }
    return records;
}

bool RecordJoiner::TellsNoSeparator(std::string_view piece)
{
    const bool whole = piece.size() < size_t(kReceiveBytes) &&
                       std::count(piece.begin(), piece.end(), ',') >= kValueCount;
    if (m_wholeWithoutSeparator >= 0)
        m_wholeWithoutSeparator = whole ? m_wholeWithoutSeparator + 1 : -1;
    return m_wholeWithoutSeparator >= kReceivesToTellNoSeparator;
}

void RecordJoiner::Clear()
{
    *this = RecordJoiner();
}

bool LatestRecord::Feed(const char* data, int length, Clock::time_point now, const Stored& stored)
{
    bool overlong = false;
    BlockReader block(m_joiner.Join(data, length, &overlong));
    Record record;
    while (block.NextRecord(&record)) {
        const Reading reading = Store(record, now);
        if (stored)
            stored(now, reading.values, reading.recognised);
    }
    return !overlong;
}

Reading LatestRecord::Store(const Record& record, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_mutex1);
    m_bScannnerOk = true;
    m_bStreamBroken = false;
    m_tRecordDecoded = now;
    ++m_storedCount;
    std::copy_n(record.values.begin(), record.valueCount, m_values.begin());
    m_bRecognitionOK = IsRecognised(record.statusGood, m_values[1]);
    return {true, m_bRecognitionOK, m_values};
}

void LatestRecord::Reset()
{
    m_joiner.Clear();
    std::lock_guard<std::mutex> lock(m_mutex1);
    m_values = {};
    m_bScannnerOk = false;
    m_bRecognitionOK = false;
    m_bStreamBroken = false;
    m_tRecordDecoded = Clock::time_point::min();
}

uint64_t LatestRecord::StoredCount()
{
    std::lock_guard<std::mutex> lock(m_mutex1);
    return m_storedCount;
}

void LatestRecord::EndConnection()
{
    m_joiner.Clear();
    std::lock_guard<std::mutex> lock(m_mutex1);
    m_bStreamBroken = true;
}

Reading LatestRecord::Read(const FreshnessRule& rule, Clock::time_point now, bool takeArrival)
{
    std::lock_guard<std::mutex> lock(m_mutex1);
    const Reading reading{m_bScannnerOk,
                          IsCurrent(rule, m_bRecognitionOK, m_tRecordDecoded, m_bStreamBroken, now),
                          m_values};
    if (takeArrival)
        m_bScannnerOk = false;
    return reading;
}

} // namespace measurement
