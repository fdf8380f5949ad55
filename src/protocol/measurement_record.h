#ifndef MEASUREMENT_RECORD_H
#define MEASUREMENT_RECORD_H

#include <cstring>
#include <string>

// Decoding of the Tervian measurement stream: records separated by ';', each a list of
// ','-separated fields: status, X, Z, gap width, Z difference, area, then anything ignored.
namespace measurement
{

constexpr int kValueCount = 5;

// One record as parsed; applying it writes only the values that the record carried.
struct Record {
    bool statusGood;            // a status field was present and read as 0
    int valueCount;             // how many of values[] the record carried, 0 to kValueCount
    double values[kValueCount]; // X, Z, gap width, Z difference, area
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

// Joins the pieces in which TCP delivers the stream, so that only whole records are handed
// out: bytes after the last ';' wait for the rest of their record. A peer that never sends ';'
// (one record per send) is served by holding its bytes until the connection falls silent and
// taking them as one record; once a ';' comes, what was held is the front of the first record.
class RecordJoiner
{
public:
    static constexpr size_t kMaxTail = 4096;

    // The whole records that the piece completes, as one text with ';' between them; empty
    // when it completes none. Overlong is set when a record outgrew kMaxTail: it is dropped,
    // and so is the rest of it up to its ';' (or, before any ';', up to the silence).
    std::string Join(const char* data, int length, bool* overlong);
    // True while bytes are held that only a silence of the connection can end.
    bool Holding() const;
    // The connection has fallen silent: the record held before any ';', or empty.
    std::string Quiet();
    // A broken connection leaves a partial record that nothing will complete.
    void Clear();

private:
    std::string m_tail;
    bool m_sawSeparator = false;
    bool m_skipping = false; // inside a record that was dropped as overlong
};

} // namespace measurement

#endif // MEASUREMENT_RECORD_H
