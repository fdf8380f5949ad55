// One received robot block against every state the vision side can be in: the request dump
// of the debug log, then ProcessRobotRequest, as the robot server runs them.
//
// Input: 1 byte of flags (vision ready, error, laser on, record arrived, recognised, log on),
// 2 bytes of the loaded project number, 5 x 8 bytes of measurement values (any bit pattern,
// NaN and infinities included), then the received block of 1 to 512 bytes.
#include "fuzz_window.h"

#include <cstring>

namespace
{

constexpr size_t kStateSize = 1 + 2 + 5 * sizeof(double);

bool Bit(uint8_t flags, int bit)
{
    return (flags >> bit) & 1;
}

} // namespace

void TestAccess::ProcessRobotBlock(const uint8_t* data, size_t size)
{
    MainWindow& w = Window();
    const uint8_t flags = data[0];
    w.m_bTervianOk = Bit(flags, 0);
    w.m_bError = Bit(flags, 1);
    w.m_bLaserOn = Bit(flags, 2);
    w.m_bScannnerOk = Bit(flags, 3);
    w.m_bRecognitionOK = Bit(flags, 4);
    w.m_bdebugLog = Bit(flags, 5);
    int16_t program;
    std::memcpy(&program, data + 1, sizeof program);
    w.m_iTervianProgram = program;
    double* const values[] = {&w.m_dX, &w.m_dZ, &w.m_dWidth, &w.m_dZDiff, &w.m_dArea};
    for (size_t i = 0; i < 5; ++i)
        std::memcpy(values[i], data + 3 + i * sizeof(double), sizeof(double));

    // Blocks start on a clean buffer, so that each input decides alone what is answered.
    const int recLen = int(std::min(size - kStateSize, sizeof w.m_cRecRobotBuffer));
    std::memset(w.m_cRecRobotBuffer, 0, sizeof w.m_cRecRobotBuffer);
    std::memcpy(w.m_cRecRobotBuffer, data + kStateSize, size_t(recLen));
    w.m_cSendRobotBuffer[0] = 0;

    int len = 0;
    w.LogRobotRequest(recLen);
    w.ProcessRobotRequest(&len);
    Require(len == 0 || len == 1 || len == 4 || len == 14);
    Require(len == 0 || uint8_t(w.m_cSendRobotBuffer[0]) == 0x82);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kStateSize)
        TestAccess::ProcessRobotBlock(data, size);
    return 0;
}
