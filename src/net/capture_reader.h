#ifndef CAPTURE_READER_H
#define CAPTURE_READER_H

#include "capture.h"

#include <string>
#include <vector>

// Reads back what WritePcapng wrote, the blocks through libpcap: each TCP conversation on the bridge's ports becomes the
// chunks the recorder held, in capture order, with the bytes of each segment as one chunk, so
// that a replay sends the same pieces at the same moments. Anything that is not such a
// capture (another file type, another link type, traffic on other ports, a damaged or cut
// block, a gap in a TCP stream, a time stamp that goes back or lies further from the first than
// the bridge keeps) is refused with one line that says what and where.
namespace capture
{

// The ports that name the links; the bridge is the server of the first and the client of the
// other two.
constexpr uint16_t kRobotPort = 5020;
constexpr uint16_t kCommandPort = 32001;
constexpr uint16_t kStreamPort = 32002;
// Where tervian-sim --replay keeps robot-probe --replay in step with the records it plays.
constexpr uint16_t kReplayTimelinePort = 32003;

bool ReadPcapng(const std::string& bytes, std::vector<Chunk>* chunks, std::string* error);
bool ReadPcapngFile(const std::string& path, std::vector<Chunk>* chunks, std::string* error);

} // namespace capture

#endif // CAPTURE_READER_H
