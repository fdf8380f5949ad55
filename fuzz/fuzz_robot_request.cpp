// Robot blocks against every state the vision side can be in: the request dump of the debug
// log, the framing and the replies, as the robot server runs them; the block once whole and
// once cut in two, which must give the same replies.
//
// Input: 1 byte of flags (vision ready, error, laser on, laser wanted, record status good, log
// on), 2 bytes of the loaded project number, 5 x 8 bytes of measurement values (any bit
// pattern, NaN and infinities included), then the received block of 1 to 512 bytes.
#include "fuzz_window.h"

#include <cstring>
#include <string>

namespace
{

constexpr size_t kStateSize = 1 + 2 + 5 * sizeof(double);

bool Bit(uint8_t flags, int bit)
{
    return (flags >> bit) & 1;
}

} // namespace

void ProcessRobotBlock(const uint8_t* data, size_t size)
{
    WindowFixture& w = FuzzWindow();
    const uint8_t flags = data[0];
    w.m_bTervianOk = Bit(flags, 0);
    w.m_bError = Bit(flags, 1);
    w.m_bdebugLog = Bit(flags, 5);
    int16_t program;
    std::memcpy(&program, data + 1, sizeof program);
    measurement::Record record{Bit(flags, 4), measurement::kValueCount, {}};
    std::memcpy(record.values.data(), data + 3, sizeof record.values);

    // Each input starts from the same state, so that it decides alone what is answered.
    const auto replies = [&](size_t cut) {
        w.m_bLaserOn = Bit(flags, 2);
        w.m_bLaserWanted = Bit(flags, 3);
        w.m_iTervianProgram = program;
        w.m_measurement.Store(record, measurement::Clock::now());
        w.NewRobotSession();
        const char* block = reinterpret_cast<const char*>(data + kStateSize);
        const size_t length = std::min(size - kStateSize, WindowFixture::kRobotBlockMax);
        std::string sent;
        for (size_t at = 0, end = cut; at < length; at = end, end = length)
            sent += w.AnswerRobotBlock(block + at, std::min(end, length) - at);
        return sent;
    };
    const std::string whole = replies(size);
    Require(whole.size() <= (size - kStateSize) / 4 * 14);
    Require(whole.empty() || uint8_t(whole[0]) == 0x82);
    // A cut inside the first frame of a block that begins like a request: the framer must hold
    // the front and join it with the rest. (A cut anywhere else makes a block of its own.)
    const uint8_t first = data[kStateSize];
    if (size - kStateSize >= 4 && (first == 0x01 || first == 0x02))
        Require(replies(1 + data[0] % 3) == whole);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kStateSize)
        ProcessRobotBlock(data, size);
    return 0;
}
