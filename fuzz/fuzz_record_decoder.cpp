// Any block of bytes from the measurement stream through the latest record's feed, starting from
// the state of a freshly started stream reader; every field of it read as strtod reads it; and the
// same bytes cut into pieces at random points, which must give the records of the one piece.
#include "measurement_record.h"
#include "require.h"

#include "c_numbers.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace
{

// The decoder's number parsing takes a quick path for plain decimals; whichever path a field
// takes, the value (bit for bit) and the end of the number must be strtod's in the "C" locale.
void RequireStrtodReading(const std::string& block)
{
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    size_t field = 0;
    for (;;) {
        char *end = nullptr, *strtodEnd = nullptr;
        const double value = cnumbers::ParseDouble(block.c_str() + field, &end);
        const double strtodValue = strtod_l(block.c_str() + field, &strtodEnd, cLocale);
        Require(end == strtodEnd && std::memcmp(&value, &strtodValue, sizeof value) == 0);
        const size_t separator = block.find_first_of(",;", field);
        if (separator == std::string::npos)
            break;
        field = separator + 1;
    }
}

// Cut after the first ';', so that both readings know the stream separates its records.
void RequireSameRecordsInPieces(const std::string& block)
{
    const size_t first = block.find(';');
    if (first == std::string::npos)
        return;
    bool overlong = false;
    measurement::RecordJoiner whole, pieces;
    const std::string expected = whole.Join(block.data(), int(block.size()), &overlong);
    std::minstd_rand random(uint32_t(block.size() + uint8_t(block.back())));
    std::string joined = pieces.Join(block.data(), int(first + 1), &overlong);
    for (size_t at = first + 1, size; at < block.size(); at += size) {
        size = std::min(block.size() - at, size_t(random() % 64 + 1));
        joined += pieces.Join(block.data() + at, int(size), &overlong);
    }
    Require(joined == expected && !overlong);
}

} // namespace

void DecodeBlock(const uint8_t* data, size_t size)
{
    static measurement::LatestRecord latest;
    latest.Reset();
    // A copy of exactly the block's size, so that reading past its end is caught.
    std::vector<char> block(data, data + size);
    latest.Feed(block.data(), int(block.size()), measurement::Clock::now());
    // A block with a ';' holds at least one record, one without none before the connection
    // shows how its records end; recognition needs a height that is a non-zero number.
    const measurement::Reading r = latest.Read({}, measurement::Clock::now(), false);
    Require(r.arrived == (std::find(block.begin(), block.end(), ';') != block.end()));
    Require(!r.recognised || r.values[1] > 0.0 || r.values[1] < 0.0);
    RequireStrtodReading(std::string(block.begin(), block.end()));
    RequireSameRecordsInPieces(std::string(block.begin(), block.end()));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Up to the bound of a kept record, so that no record is dropped as overlong.
    if (size >= 1 && size <= measurement::RecordJoiner::kMaxTail)
        DecodeBlock(data, size);
    return 0;
}
