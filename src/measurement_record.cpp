#include "measurement_record.h"

#include "c_numbers.h"

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

BlockReader::BlockReader(const char* data, int length)
    : m_text(data, size_t(length)), m_records(m_text.data(), m_text.data() + m_text.size(), ';')
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

} // namespace measurement
