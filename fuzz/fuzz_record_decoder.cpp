// Any block of bytes from the measurement stream through DecodeValuesBuffer, starting from the
// state of a freshly started stream reader.
#include "fuzz_window.h"

#include <vector>

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
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The stream reader hands over what one receive returns: 1 to 512 bytes.
    if (size >= 1 && size <= 512)
        TestAccess::DecodeBlock(data, size);
    return 0;
}
