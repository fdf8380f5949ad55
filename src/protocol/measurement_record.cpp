#include "measurement_record.h"

#include "c_numbers.h"

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
    std::string_view piece(data, size_t(length));
    const size_t last = piece.rfind(';');
    std::string records;
    if (last != std::string_view::npos) {
        m_sawSeparator = true;
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
    }
    return records;
}

bool RecordJoiner::Holding() const
{
    return !m_sawSeparator && (m_skipping || !m_tail.empty());
}

std::string RecordJoiner::Quiet()
{
    if (m_sawSeparator)
        return std::string();
    m_skipping = false;
    return std::exchange(m_tail, std::string());
}

void RecordJoiner::Clear()
{
    m_tail.clear();
    m_sawSeparator = false;
    m_skipping = false;
}

} // namespace measurement
