#include "robot_protocol.h"

#include <cstdio>
#include <utility>

namespace robot
{

namespace
{

uint8_t Byte(const char* bytes, int index)
{
    return static_cast<uint8_t>(bytes[index]);
}

Request ClassifyQuery(uint8_t group, uint8_t item)
{
    if (group == kLinkGroup && item == kStatusItem)
        return Request::Status;
    if (group == kLinkGroup && item == kJointIdItem)
        return Request::JointIdQuery;
    if (group == kJointDataGroup)
        return Request::JointData;
    return Request::Unrecognised;
}

Request ClassifySet(uint8_t group, uint8_t item, uint8_t argument)
{
    if (group != kLinkGroup)
        return Request::Unrecognised;
    if (item == kLaserItem && argument == kOn)
        return Request::LaserOn;
    if (item == kStatusItem && argument == kOff)
        return Request::LaserOff;
    if (item == kStatusItem && argument == kOn)
        return Request::LaserOnAndMeasure;
    if (item == kJointIdItem)
        return Request::SetJointId;
    return Request::Unrecognised;
}

// Byte 1 of the status and joint ID replies: 0x01 while the vision side cannot be relied on.
char LinkCode(const LinkState& link)
{
    return (!link.tervianOk || link.error) ? 0x01 : 0x00;
}

bool CanBeginRequest(char byte)
{
    return uint8_t(byte) == kQuery || uint8_t(byte) == kSet;
}

RequestFrame FrameAt(const std::string& block, size_t at)
{
    return {Byte(block.data(), int(at)), Byte(block.data(), int(at + 1)),
            Byte(block.data(), int(at + 2)), Byte(block.data(), int(at + 3))};
}

} // namespace

Request ClassifyRequest(const char* request)
{
    switch (Byte(request, 0)) {
    case kQuery:
        return ClassifyQuery(Byte(request, 1), Byte(request, 2));
    case kSet:
        return ClassifySet(Byte(request, 1), Byte(request, 2), Byte(request, 3));
    default:
        return Request::Unrecognised;
    }
}

std::vector<RequestFrame> RequestFramer::Feed(const char* data, size_t length)
{
    // A held fragment is completed by any block that brings it to four bytes, so a shorter
    // one leaves the same fragment, longer.
    const bool continues = HoldingFragment() && m_fragment.size() + length < kRequestLength;
    m_fragmentBegan = false;
    const std::string block = std::exchange(m_fragment, std::string()) + std::string(data, length);
    std::vector<RequestFrame> requests;
    size_t at = 0;
    for (; at + kRequestLength <= block.size(); at += kRequestLength) {
        const RequestFrame frame = FrameAt(block, at);
        const bool recognised =
            ClassifyRequest(reinterpret_cast<const char*>(frame.data())) != Request::Unrecognised;
        if (recognised || (at == 0 && CanBeginRequest(block[0])))
            requests.push_back(frame);
        if (!recognised)
            return requests;
    }
    if (at < block.size() && CanBeginRequest(block[at])) {
        m_fragment = block.substr(at);
        m_fragmentBegan = !continues;
    }
    return requests;
}

int ReplyLength(Request request)
{
    switch (request) {
    case Request::Unrecognised:
        return 0;
    case Request::Status:
        return kStatusReplyLength;
    case Request::JointIdQuery:
        return kJointIdReplyLength;
    case Request::JointData:
        return kJointDataReplyLength;
    default:
        return kSetReplyLength;
    }
}

int RequestedJointId(const char* request)
{
    return static_cast<int8_t>(request[3]);
}

Reply Answer(const RequestFrame& request, const Snapshot& state)
{
    Reply reply;
    char* const bytes = reply.bytes.data();
    bytes[0] = static_cast<char>(kReplyMark);
    switch (ClassifyRequest(reinterpret_cast<const char*>(request.data()))) {
    case Request::Unrecognised:
        return Reply();
    case Request::Status:
        bytes[1] = LinkCode(state.link);
        bytes[2] = static_cast<char>((state.link.tervianOk ? 0x08 : 0x00) |
                                     (state.link.laserOn ? 0x10 : 0x00));
        bytes[3] = state.link.laserOn ? 0x00 : 0x40;
        reply.length = kStatusReplyLength;
        break;
    case Request::JointIdQuery:
        bytes[1] = LinkCode(state.link);
        bytes[3] = static_cast<char>(state.loadedProject & 0xFF);
        reply.length = kJointIdReplyLength;
        break;
    case Request::JointData:
        bytes[1] = static_cast<char>(state.jointResult);
        for (size_t i = 0; i < state.values.size(); ++i)
            EncodeValue(state.values[i], bytes + 4 + 2 * i);
        reply.length = kJointDataReplyLength;
        break;
    default:
        reply.length = kSetReplyLength;
        break;
    }
    return reply;
}

uint8_t JointDataResultCode(bool tervianOk, bool recognitionOk)
{
    if (!tervianOk)
        return kVisionNotReady;
    return recognitionOk ? kJointRecognised : kJointNotRecognised;
}

void EncodeValue(double value, char* field)
{
    const double hundredths = value * 100.0;
    // Truncating a product outside the int32 range (or NaN) would be undefined behaviour.
    const bool fits = hundredths > -2147483649.0 && hundredths < 2147483648.0;
    const uint32_t bits = fits ? static_cast<uint32_t>(static_cast<int32_t>(hundredths)) : 0;
    field[0] = static_cast<char>((bits >> 8) & 0xFF);
    field[1] = static_cast<char>(bits & 0xFF);
}

int16_t DecodeValue(const char* field)
{
    return static_cast<int16_t>((Byte(field, 0) << 8) | Byte(field, 1));
}

std::string RequestLogLine(const char* bytes, int count)
{
    std::string line;
    for (int i = 0; i < count; ++i) {
        char number[16];
        // The byte as a signed char widened to 32 bits: 0x80 to 0xFF show as ffffff80 up.
        const uint8_t byte = static_cast<uint8_t>(bytes[i]);
        const uint32_t widened = byte < 0x80 ? byte : (0xFFFFFF00u | byte);
        std::snprintf(number, sizeof number, "%x ", static_cast<unsigned>(widened));
        line += number;
    }
    return line + "\n";
}

} // namespace robot
