// Any file handed to --replay: the capture reader must refuse or read it without a fault, and
// what it reads, written again as the bridge writes captures, must read back the same.
#include "capture_reader.h"
#include "require.h"

#include <sstream>
#include <tuple>

namespace
{

auto Fields(const capture::Chunk& c)
{
    return std::tie(c.timeNs, c.link, c.event, c.ends.localAddress, c.ends.localPort,
                    c.ends.peerAddress, c.ends.peerPort, c.data);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<capture::Chunk> chunks, again;
    std::string error;
    if (!capture::ReadPcapng(std::string(reinterpret_cast<const char*>(data), size), &chunks,
                             &error)) {
        Require(!error.empty() && chunks.empty());
        return 0;
    }
    std::ostringstream written;
    Require(capture::WritePcapng(capture::ViewsOf(chunks), 0, written));
    Require(capture::ReadPcapng(written.str(), &again, &error) && again.size() == chunks.size());
    for (size_t i = 0; i < chunks.size(); ++i)
        Require(Fields(chunks[i]) == Fields(again[i]));
    return 0;
}
