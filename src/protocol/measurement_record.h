#ifndef MEASUREMENT_RECORD_H
#define MEASUREMENT_RECORD_H

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

// Decoding of the Tervian measurement stream: records separated by ';', each a list of
// ','-separated fields: status, X, Z, gap width, Z difference, area, then anything ignored.
namespace measurement
{

constexpr int kValueCount = 5;

// X, Z, gap width, Z difference, area: millimetres, the area in the stream's own unit.
using Values = std::array<double, kValueCount>;

// One record as parsed; applying it writes only the values that the record carried.
struct Record {
    bool statusGood; // a status field was present and read as 0
    int valueCount;  // how many of values the record carried, 0 to kValueCount
    Values values;
};

// A joint counts as recognised when the status was good and the height is a non-zero number.
inline bool IsRecognised(bool statusGood, double z)
{
    return statusGood && (z > 0.0 || z < 0.0);
}

// Cuts text into the pieces between separators the way std::getline does: a piece after the
// last separator exists only when it is not empty, so "a;b;" holds two pieces and "" none.
class PieceCursor
{
public:
    PieceCursor(const char* begin, const char* end, char separator)
        : m_next(begin), m_end(end), m_separator(separator)
    {
    }

    bool Next(const char** pieceBegin, const char** pieceEnd)
    {
        if (m_next >= m_end)
            return false;
        const void* found = std::memchr(m_next, m_separator, size_t(m_end - m_next));
        *pieceBegin = m_next;
        *pieceEnd = found != nullptr ? static_cast<const char*>(found) : m_end;
        m_next = *pieceEnd + 1;
        return true;
    }

private:
    const char* m_next;
    const char* m_end;
    char m_separator;
};

// Parses the fields of the record [begin, end) as strtol and strtod read them: leading blanks
// skipped, the number ending where it cannot go on, 0 when a field does not start with one.
// The text at end must be a separator or a NUL byte, so no number can run past the record.
Record ParseRecord(const char* begin, const char* end);

// The records of a text, in order. The text ends in a NUL byte, as std::string keeps it; a NUL
// inside it is an ordinary character that ends a number.
class BlockReader
{
public:
    explicit BlockReader(std::string text);
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;
    bool NextRecord(Record* record);

private:
    std::string m_text;
    PieceCursor m_records;
};

// The most that one receive of the stream takes: a receive that fills it is one piece of
// something longer.
constexpr int kReceiveBytes = 512;

// Joins the pieces in which TCP delivers the stream, so that only whole records are handed
// out: bytes after the last ';' wait for the rest of their record, and before the first ';' of
// a connection nothing is a record, however long the silence after it. A peer that never sends
// ';' is told apart by its receives: three, each short of kReceiveBytes, without ';' but with
// the five commas of a whole record, and nothing else held before them. A receive that fills
// the buffer or lacks those commas shows that what is held is the front of a longer record,
// which then waits for its ';' (or outgrows kMaxTail) and is never cut. From the switch on each
// receive is one record of its own.
class RecordJoiner
{
public:
    static constexpr size_t kMaxTail = 4096;
    static constexpr int kReceivesToTellNoSeparator = 3;

    // The whole records that the piece completes, as one text with ';' between them; empty
    // when it completes none. Overlong is set when a record outgrew kMaxTail: it is dropped,
    // and so is the rest of it up to its ';'.
    std::string Join(const char* data, int length, bool* overlong);
    // A broken connection leaves a partial record that nothing will complete.
    void Clear();

private:
    enum class Framing { Unknown, Separated, OnePerReceive };
    std::string JoinSeparated(std::string_view piece, bool* overlong);
    bool TellsNoSeparator(std::string_view piece);

    Framing m_framing = Framing::Unknown;
    // Receives held while the framing is unknown, each a whole record without ';'; -1 once one
    // was not, until what is held is dropped.
    int m_wholeWithoutSeparator = 0;
    std::string m_tail;
    bool m_skipping = false; // inside a record that was dropped as overlong
};

using Clock = std::chrono::steady_clock;

// When the latest record counts as a current recognition.
struct FreshnessRule {
    bool laserWanted;        // off: the last record stands, for a robot reading it afterwards
    bool acquisitionOn;      // as the application confirmed it
    Clock::time_point since; // when acquisition last went on
    int staleAfterMs;        // 0: no age bound
    // When the application last confirmed a project load: what was decoded before was measured
    // for another joint, laser on or off.
    Clock::time_point projectLoaded;
};

// The latest record as one reading of it sees it.
struct Reading {
    bool arrived;    // a record arrived since the robot last asked
    bool recognised; // judged by the freshness rule
    Values values;
};

// The one home of the latest measurement: the Stream thread stores each whole record under one
// hold of the lock, and every reader takes a judged reading under it, so that flags and values
// always come from one record and the robot and the window judge it alike.
class LatestRecord
{
public:
    // Shown each record as stored, outside the lock: its time, the values as they now stand,
    // and whether it reported a recognised joint.
    using Stored = std::function<void(Clock::time_point, const Values&, bool)>;
    // Stream thread: joins the piece and stores each record it completes. False when a record
    // was dropped as overlong.
    bool Feed(const char* data, int length, Clock::time_point now, const Stored& stored = {});
    Reading Store(const Record& record, Clock::time_point now);
    // A fresh reader: nothing arrived, all values zero.
    void Reset();
    // A broken stream: its last record is no current measurement, its partial one never ends.
    void EndConnection();
    // takeArrival marks the record as read by the robot.
    Reading Read(const FreshnessRule& rule, Clock::time_point now, bool takeArrival);
    // Records stored since the program started, for a rate.
    uint64_t StoredCount();

private:
    std::mutex m_mutex1;
    Values m_values{};
    bool m_bScannnerOk = false;
    bool m_bRecognitionOK = false;
    Clock::time_point m_tRecordDecoded = Clock::time_point::min();
    bool m_bStreamBroken = false; // since the last record: it is no current measurement
    uint64_t m_storedCount = 0;
    RecordJoiner m_joiner; // Stream thread only
};

} // namespace measurement

#endif // MEASUREMENT_RECORD_H
