// Any block of bytes from the measurement stream through DecodeValuesBuffer, starting from the
// state of a freshly started stream reader; and every field of it read as strtod reads it.
#include "fuzz_window.h"

#include "c_numbers.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
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
        char* end = nullptr;
        char* strtodEnd = nullptr;
        const double value = cnumbers::ParseDouble(block.c_str() + field, &end);
        const double strtodValue = strtod_l(block.c_str() + field, &strtodEnd, cLocale);
        TestAccess::Require(end == strtodEnd &&
                            std::memcmp(&value, &strtodValue, sizeof value) == 0);
        const size_t separator = block.find_first_of(",;", field);
        if (separator == std::string::npos)
            break;
        field = separator + 1;
    }
}

} // namespace

void TestAccess::DecodeBlock(const uint8_t* data, size_t size)
{
    MainWindow& w = Window();
    w.ResetMeasurement();
    // A copy of exactly the block's size, so that reading past its end is caught.
    std::vector<char> block(data, data + size);
    w.DecodeValuesBuffer(block.data(), int(block.size()));
    // A block holds at least one record; recognition needs a height that is a non-zero number.
    Require(w.m_bScannnerOk);
    Require(!w.m_bRecognitionOK || w.m_dZ > 0.0 || w.m_dZ < 0.0);
    RequireStrtodReading(std::string(block.begin(), block.end()));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The stream reader hands over what one receive returns: 1 to 512 bytes.
    if (size >= 1 && size <= 512)
        TestAccess::DecodeBlock(data, size);
    return 0;
}
