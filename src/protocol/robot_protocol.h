#ifndef ROBOT_PROTOCOL_H
#define ROBOT_PROTOCOL_H

#include "measurement_record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Frames of the robot controller's link: 4-byte requests in, short replies out.
namespace robot
{

enum class Request {
    Unrecognised,
    Status,            // 01 01 06 x
    JointIdQuery,      // 01 01 10 x
    JointData,         // 01 06 x x
    LaserOn,           // 02 01 13 01
    LaserOff,          // 02 01 06 00
    LaserOnAndMeasure, // 02 01 06 01
    SetJointId,        // 02 01 10 n
};

// Request bytes: kind, group, item, argument.
constexpr uint8_t kQuery = 0x01;
constexpr uint8_t kSet = 0x02;
constexpr uint8_t kLinkGroup = 0x01;      // byte 1 of every request but the joint data query
constexpr uint8_t kJointDataGroup = 0x06; // byte 1 of the joint data query
constexpr uint8_t kStatusItem = 0x06;     // the status query, laser off, laser on and measure
constexpr uint8_t kJointIdItem = 0x10;
constexpr uint8_t kLaserItem = 0x13;
constexpr uint8_t kOff = 0x00;
constexpr uint8_t kOn = 0x01;

// Whole requests as the robot sends them, for the tools that play the robot.
using RequestFrame = std::array<uint8_t, 4>;
constexpr RequestFrame kStatusRequest{kQuery, kLinkGroup, kStatusItem, 0x00};
constexpr RequestFrame kJointIdRequest{kQuery, kLinkGroup, kJointIdItem, 0x00};
constexpr RequestFrame kJointDataRequest{kQuery, kJointDataGroup, 0x00, 0x00};
constexpr RequestFrame kLaserOnRequest{kSet, kLinkGroup, kLaserItem, kOn};
constexpr RequestFrame kLaserOffRequest{kSet, kLinkGroup, kStatusItem, kOff};
constexpr RequestFrame kLaserOnAndMeasureRequest{kSet, kLinkGroup, kStatusItem, kOn};
constexpr RequestFrame SetJointIdRequest(uint8_t jointId)
{
    return {kSet, kLinkGroup, kJointIdItem, jointId};
}

constexpr int kStatusReplyLength = 4;
constexpr int kJointIdReplyLength = 4;
constexpr int kJointDataReplyLength = 14;
constexpr int kSetReplyLength = 1;

constexpr uint8_t kReplyMark = 0x82;

// Result codes of the joint data reply.
constexpr uint8_t kJointRecognised = 0x00;
constexpr uint8_t kVisionNotReady = 0x01;
constexpr uint8_t kJointNotRecognised = 0x0C;

// What the bridge knows about the vision side when it answers a status or joint ID query.
struct LinkState {
    bool tervianOk;
    bool error;
    bool laserOn;
};

// One joint measurement, in the decoder's units (millimetres, area in the stream's unit).
using JointValues = measurement::Values;

constexpr size_t kRequestLength = 4;

Request ClassifyRequest(const char* request);

// Cuts the robot's byte stream into requests of four bytes, however TCP delivers it. The
// frames of a received block are requests for as long as each is a recognised one; the first
// frame that is not ends the block, and it and the rest are padding, so that robots which pad
// their requests are served once. Fewer than four bytes left at the end are held as the front
// of the next request, joined with the next block, but only when they can begin one.
class RequestFramer
{
public:
    // The requests the block completes, in order. An unrecognised frame is handed out only
    // when it opens the block and begins like a request (01 or 02): the robot then hears the
    // previous reply again, as it always has. Junk and padding are never handed out.
    std::vector<RequestFrame> Feed(const char* data, size_t length);
    bool HoldingFragment() const { return !m_fragment.empty(); }
    // True when the held fragment began in the last block fed; false when that block only added
    // to the one held before, or none is held. The time limit for a fragment runs from its start.
    bool FragmentBegan() const { return m_fragmentBegan; }
    // The held fragment will never be completed: the robot gave up on it, or has gone.
    void DropFragment() { m_fragment.clear(); }

private:
    std::string m_fragment;
    bool m_fragmentBegan = false;
};

// Reply length for a recognised request, 0 for an unrecognised one.
int ReplyLength(Request request);

// The joint ID that a set joint ID request carries in byte 3, as a signed byte.
int RequestedJointId(const char* request);

// What a reply is built from, read at one moment so that its parts never disagree.
struct Snapshot {
    LinkState link{false, true, false};
    int loadedProject = 0; // the project the vision application confirmed
    uint8_t jointResult = kVisionNotReady;
    JointValues values{};
};

constexpr size_t kLongestReply = kJointDataReplyLength;

struct Reply {
    std::array<char, kLongestReply> bytes{};
    int length = 0; // 0: the request was not recognised, and nothing was built
};

// The reply to one request. The set requests are answered alike whatever they ask; carrying
// out the wish is the caller's part.
Reply Answer(const RequestFrame& request, const Snapshot& state);

uint8_t JointDataResultCode(bool tervianOk, bool recognitionOk);

// A value in hundredths, truncated toward zero, as a big-endian 16-bit field that wraps
// outside -327.68..327.67; a product that is NaN or beyond 32 bits gives 00 00.
void EncodeValue(double value, char* field);

// The signed 16-bit number that EncodeValue wrote into a field.
int16_t DecodeValue(const char* field);

// The received bytes as the debug log shows them: each byte sign-extended to 32 bits in
// lowercase hex without leading zeros, followed by one space, then a line end.
std::string RequestLogLine(const char* bytes, int count);

} // namespace robot

#endif // ROBOT_PROTOCOL_H
