// Any file handed to --replay: the capture reader must refuse or read it without a fault, and
// what it reads, written again as the bridge writes captures, must read back the same.
#include "capture_reader.h"

#include <cstdlib>
#include <sstream>

namespace
{

bool Same(const capture::Chunk& a, const capture::Chunk& b)
{
    return a.timeNs == b.timeNs && a.link == b.link && a.event == b.event &&
           a.ends.localAddress == b.ends.localAddress && a.ends.localPort == b.ends.localPort &&
           a.ends.peerAddress == b.ends.peerAddress && a.ends.peerPort == b.ends.peerPort &&
           a.data == b.data;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<capture::Chunk> chunks;
    std::string error;
    if (!capture::ReadPcapng(std::string(reinterpret_cast<const char*>(data), size), &chunks,
                             &error)) {
        if (error.empty() || !chunks.empty())
            std::abort();
        return 0;
    }
    std::ostringstream written;
    if (!capture::WritePcapng(capture::ViewsOf(chunks), 0, written))
        std::abort();
    std::vector<capture::Chunk> again;
    if (!capture::ReadPcapng(written.str(), &again, &error) || again.size() != chunks.size())
        std::abort();
    for (size_t i = 0; i < chunks.size(); ++i)
        if (!Same(chunks[i], again[i]))
            std::abort();
    return 0;
}
