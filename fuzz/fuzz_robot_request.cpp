// Robot blocks against every state a reply can be built from: the request dump of the debug
// log, the framing and the replies, as the robot server runs them (an unrecognised request
// that begins like one hears the last reply again); the block once whole and once cut in two,
// which must give the same replies.
//
// Input: 1 byte of flags (vision ready, error, laser on, joint result code in bits 3-4), 2 bytes
// of the loaded project number, 5 x 8 bytes of measurement values (any bit pattern, NaN and
// infinities included), then the received block of 1 to 512 bytes.
#include "require.h"
#include "robot_protocol.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace
{

constexpr size_t kStateSize = 1 + 2 + 5 * sizeof(double);
constexpr size_t kBlockMax = 512;

robot::Snapshot StateOf(const uint8_t* data)
{
    const uint8_t flags = data[0];
    const uint8_t results[] = {robot::kJointRecognised, robot::kVisionNotReady,
                               robot::kJointNotRecognised, 0xff};
    robot::Snapshot state;
    state.link = {(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0};
    int16_t project;
    std::memcpy(&project, data + 1, sizeof project);
    state.loadedProject = project;
    state.jointResult = results[(flags >> 3) & 3];
    std::memcpy(state.values.data(), data + 3, sizeof state.values);
    return state;
}

// The replies to the block, taken in pieces cut at `cut`, as one session of the server.
std::string Replies(const robot::Snapshot& state, const char* block, size_t length, size_t cut)
{
    robot::RequestFramer framer;
    robot::Reply last;
    std::string sent;
    for (size_t at = 0, end = cut; at < length; at = end, end = length) {
        const size_t piece = std::min(end, length) - at;
        Require(!robot::RequestLogLine(block + at, int(piece)).empty());
        for (const robot::RequestFrame& request : framer.Feed(block + at, piece)) {
            const robot::Reply reply = robot::Answer(request, state);
            if (reply.length > 0)
                last = reply;
            sent.append(last.bytes.data(), size_t(last.length));
        }
    }
    return sent;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size <= kStateSize)
        return 0;
    const robot::Snapshot state = StateOf(data);
    const char* block = reinterpret_cast<const char*>(data + kStateSize);
    const size_t length = std::min(size - kStateSize, kBlockMax);
    const std::string whole = Replies(state, block, length, length);
    Require(whole.size() <= length / 4 * 14);
    Require(whole.empty() || uint8_t(whole[0]) == 0x82);
    // A cut inside the first frame of a block that begins like a request: the framer must hold
    // the front and join it with the rest. (A cut anywhere else makes a block of its own.)
    if (length >= 4 && (block[0] == 0x01 || block[0] == 0x02))
        Require(Replies(state, block, length, 1 + data[0] % 3) == whole);
    return 0;
}
