#include "probe_reply.h"

#include "robot_protocol.h"

#include <cstdio>

namespace
{

uint8_t At(const std::string& bytes, size_t index)
{
    return static_cast<uint8_t>(bytes[index]);
}

// Every request has at least four bytes: the argument parser refuses shorter ones.
robot::Request Classify(const std::string& request)
{
    return robot::ClassifyRequest(request.data());
}

std::string LinkWords(uint8_t linkCode)
{
    return linkCode == 0x00 ? "link ok" : "link not ready";
}

std::string DescribeStatus(const std::string& reply)
{
    const uint8_t bits = At(reply, 2);
    return LinkWords(At(reply, 1)) + ", " +
           ((bits & 0x08) ? "project ready" : "project not ready") + ", " +
           ((bits & 0x10) ? "laser on" : "laser off");
}

std::string DescribeJointId(const std::string& reply)
{
    return LinkWords(At(reply, 1)) + ", joint ID " + std::to_string(At(reply, 3));
}

std::string ResultWords(uint8_t resultCode)
{
    switch (resultCode) {
    case robot::kJointRecognised:
        return "joint recognised";
    case robot::kVisionNotReady:
        return "vision application not ready";
    case robot::kJointNotRecognised:
        return "joint not recognised";
    default:
        return "unknown result code " + std::to_string(resultCode);
    }
}

std::string DescribeJointData(const std::string& reply)
{
    static const char* const names[] = {"Y", "Z", "gap", "Z diff", "area"};
    std::string text = ResultWords(At(reply, 1)) + ":";
    for (size_t i = 0; i < 5; ++i) {
        char value[48];
        const double hundredths = robot::DecodeValue(reply.data() + 4 + 2 * i);
        std::snprintf(value, sizeof value, " %s %.2f%s", names[i], hundredths / 100.0,
                      i < 4 ? " mm," : "");
        text += value;
    }
    return text;
}

} // namespace

std::string HexBytes(const std::string& bytes)
{
    std::string text;
    for (char byte : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(static_cast<uint8_t>(byte)));
        text += (text.empty() ? "" : " ") + std::string(pair);
    }
    return text;
}

// The bridge answers each whole request that it finds in the block, and junk not at all.
int ExpectedReplyLength(const std::string& request)
{
    int length = 0;
    for (const robot::RequestFrame& frame :
         robot::RequestFramer().Feed(request.data(), request.size()))
        length +=
            robot::ReplyLength(robot::ClassifyRequest(reinterpret_cast<const char*>(frame.data())));
    return length;
}

std::string DescribeReply(const std::string& request, const std::string& reply)
{
    const robot::Request kind = Classify(request);
    if (kind == robot::Request::Unrecognised)
        return "request not recognised: the bridge repeats its previous reply";
    if (reply.empty() || At(reply, 0) != robot::kReplyMark)
        return "not a bridge reply: it must start with 82";
    switch (kind) {
    case robot::Request::Status:
        return DescribeStatus(reply);
    case robot::Request::JointIdQuery:
        return DescribeJointId(reply);
    case robot::Request::JointData:
        return DescribeJointData(reply);
    default:
        return "accepted";
    }
}
