#include "capture_reader.h"
#include "pcapng_format.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <tuple>

namespace capture
{

namespace
{

using namespace pcapng;

// A capture larger than the recorder can ever hold many times over is not one of ours.
constexpr long kMaxFileBytes = 1L << 30;
constexpr int64_t kNsPerSecond = 1000000000;
// The longest span of time a capture of the bridge can hold.
constexpr int64_t kLongestSpanNs = int64_t(kLargestMinutes) * 60 * kNsPerSecond;

uint32_t Be16(const uint8_t* p)
{
    return uint32_t(p[0]) << 8 | uint32_t(p[1]);
}

uint32_t Be32(const uint8_t* p)
{
    return Be16(p) << 16 | Be16(p + 2);
}

// The link whose server listens on port, or -1.
int LinkOfPort(uint16_t port)
{
    switch (port) {
    case kRobotPort:
        return int(Link::Robot);
    case kCommandPort:
        return int(Link::Command);
    case kStreamPort:
        return int(Link::Stream);
    default:
        return -1;
    }
}

struct PcapCloser {
    void operator()(pcap_t* pcap) const { pcap_close(pcap); }
};
using Pcap = std::unique_ptr<pcap_t, PcapCloser>;

// The next sequence number of each end of one conversation, once known.
struct Stream {
    bool localKnown = false, peerKnown = false;
    uint32_t localNext = 0, peerNext = 0;
};

// libpcap reads the blocks; this checks what they carry: IPv4, whole TCP segments on the
// bridge's ports, streams without gaps, time stamps in order and within what the bridge keeps.
class Reader
{
public:
    explicit Reader(std::vector<Chunk>* chunks) : m_chunks(chunks) {}

    bool Run(pcap_t* pcap)
    {
        const int linkType = pcap_datalink(pcap);
        if (linkType != DLT_IPV4 && linkType != DLT_RAW)
            return Fail(std::string("link type ") +
                        (pcap_datalink_val_to_name(linkType) ? pcap_datalink_val_to_name(linkType)
                                                             : std::to_string(linkType)) +
                        " (the bridge saves raw IPv4)");
        for (;;) {
            const long at = std::ftell(pcap_file(pcap));
            pcap_pkthdr* header = nullptr;
            const u_char* data = nullptr;
            const int status = pcap_next_ex(pcap, &header, &data);
            if (status == PCAP_ERROR_BREAK)
                break;
            if (status != 1)
                return FailAt(at, pcap_geterr(pcap));
            ++m_packet;
            if (header->caplen < header->len)
                return FailAt(at,
                              "packet " + std::to_string(m_packet) + " cut short when captured");
            if (!Stamp(*header, at) || !Packet(data, header->caplen, at))
                return false;
        }
        if (m_chunks->empty())
            return Fail("no traffic of the bridge's links in the capture");
        return true;
    }

    std::string error;

private:
    bool Fail(const std::string& what)
    {
        error = what;
        return false;
    }

    bool FailAt(long at, const std::string& what)
    {
        return Fail(what + " at byte " + std::to_string(at));
    }

    // A replay waits out the gaps between stamps: one that goes back, or lies further from the
    // first than the bridge ever keeps, is damage, not a pause.
    bool Stamp(const pcap_pkthdr& header, long at)
    {
        const int64_t seconds = header.ts.tv_sec;
        if (seconds < 0 || seconds >= INT64_MAX / kNsPerSecond - 1)
            return FailAt(at, "time stamp out of range in packet " + std::to_string(m_packet));
        m_timeNs = seconds * kNsPerSecond + header.ts.tv_usec; // nanoseconds, as opened
        if (m_packet == 1)
            m_firstNs = m_timeNs;
        if (m_timeNs < m_lastNs)
            return FailAt(at, "time stamp goes back in packet " + std::to_string(m_packet));
        if (m_timeNs - m_firstNs > kLongestSpanNs)
            return FailAt(at, "time stamp of packet " + std::to_string(m_packet) + " more than " +
                                  std::to_string(kLargestMinutes) +
                                  " minutes after the first (longer than the bridge keeps)");
        m_lastNs = m_timeNs;
        return true;
    }

    bool Packet(const uint8_t* p, size_t size, long at)
    {
        if (size < 20 || (p[0] >> 4) != 4)
            return FailAt(at, "packet " + std::to_string(m_packet) + " is not IPv4");
        const size_t ipLength = size_t(p[0] & 0x0F) * 4;
        const size_t total = Be16(p + 2);
        if (ipLength < 20 || total < ipLength + 20 || total > size)
            return FailAt(at, "damaged IPv4 header in packet " + std::to_string(m_packet));
        if (p[9] != 6 || (Be16(p + 6) & 0x3FFF) != 0)
            return FailAt(at, "packet " + std::to_string(m_packet) + " is not a whole TCP segment");
        const uint8_t* tcp = p + ipLength;
        const size_t tcpLength = size_t(tcp[12] >> 4) * 4;
        if (tcpLength < 20 || ipLength + tcpLength > total)
            return FailAt(at, "damaged TCP header in packet " + std::to_string(m_packet));

        const uint32_t source = Be32(p + 12), destination = Be32(p + 16);
        const uint16_t sourcePort = uint16_t(Be16(tcp)), destinationPort = uint16_t(Be16(tcp + 2));
        // One end only may carry one of the bridge's ports: with both, which end is the bridge
        // is a guess, and the writer could not say it back the same way.
        const int sourceLink = LinkOfPort(sourcePort),
                  destinationLink = LinkOfPort(destinationPort);
        if ((sourceLink < 0) == (destinationLink < 0))
            return FailAt(at, "packet " + std::to_string(m_packet) +
                                  " is not between one of the bridge's ports (5020, 32001, 32002) "
                                  "and another port");
        Chunk chunk;
        chunk.timeNs = m_timeNs;
        chunk.link = Link(sourceLink < 0 ? destinationLink : sourceLink);
        // The bridge is the robot's server and the vision application's client.
        const bool fromLocal = (chunk.link == Link::Robot) == (sourceLink >= 0);
        chunk.ends = fromLocal ? Endpoints{source, sourcePort, destination, destinationPort}
                               : Endpoints{destination, destinationPort, source, sourcePort};

        const uint8_t flags = tcp[13];
        const uint32_t seq = Be32(tcp + 4);
        const auto key =
            std::make_tuple(int(chunk.link), chunk.ends.localAddress, chunk.ends.localPort,
                            chunk.ends.peerAddress, chunk.ends.peerPort);
        Stream& s = m_streams[key];
        bool& known = fromLocal ? s.localKnown : s.peerKnown;
        uint32_t& next = fromLocal ? s.localNext : s.peerNext;
        if (flags & kSyn) {
            if (!(flags & kAck)) {
                s = Stream();
                chunk.event = Event::Opened;
                m_chunks->push_back(chunk);
            }
            known = true;
            next = seq + 1;
            return true;
        }
        if (known && seq != next)
            return FailAt(at,
                          "TCP bytes missing or repeated in packet " + std::to_string(m_packet));
        known = true;
        chunk.data.assign(reinterpret_cast<const char*>(tcp + tcpLength),
                          total - ipLength - tcpLength);
        next = seq + uint32_t(chunk.data.size());
        if (!chunk.data.empty()) {
            chunk.event = fromLocal ? Event::Sent : Event::Received;
            m_chunks->push_back(chunk);
        }
        if (flags & kFin) {
            ++next;
            chunk.data.clear();
            chunk.event = fromLocal ? Event::Closed : Event::PeerClosed;
            m_chunks->push_back(chunk);
            // The bridge's close ends the conversation: what follows on the same ports is a
            // new one, as the writer numbers it.
            if (fromLocal)
                m_streams.erase(key);
        }
        return true;
    }

    std::vector<Chunk>* m_chunks;
    size_t m_packet = 0;
    int64_t m_timeNs = 0, m_firstNs = 0, m_lastNs = 0;
    std::map<std::tuple<int, uint32_t, uint16_t, uint32_t, uint16_t>, Stream> m_streams;
};

// Takes file (closed in any case) and reads it through libpcap.
bool Read(std::FILE* file, std::vector<Chunk>* chunks, std::string* error)
{
    chunks->clear();
    if (file == nullptr) {
        *error = "cannot read the capture";
        return false;
    }
    // libpcap reads classic pcap files too; the bridge never writes them.
    uint32_t magic = 0;
    const bool classic =
        std::fread(&magic, 4, 1, file) == 1 &&
        (magic == 0xA1B2C3D4 || magic == 0xD4C3B2A1 || magic == 0xA1B23C4D || magic == 0x4D3CB2A1);
    std::rewind(file);
    if (classic) {
        std::fclose(file);
        *error = "a classic pcap file, not a pcapng capture saved by the bridge";
        return false;
    }
    char why[PCAP_ERRBUF_SIZE] = "";
    const Pcap pcap(
        pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_NANO, why));
    if (!pcap) {
        std::fclose(file);
        *error = std::string("not a pcapng capture (") + why + ")";
        return false;
    }
    Reader reader(chunks);
    if (reader.Run(pcap.get()))
        return true;
    *error = reader.error;
    chunks->clear();
    return false;
}

} // namespace

bool ReadPcapng(const std::string& bytes, std::vector<Chunk>* chunks, std::string* error)
{
    if (bytes.empty()) {
        chunks->clear();
        *error = "not a pcapng capture (empty)";
        return false;
    }
    std::FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
    return Read(file, chunks, error);
}

bool ReadPcapngFile(const std::string& path, std::vector<Chunk>* chunks, std::string* error)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot open " + path;
        return false;
    }
    const long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    if (size < 0 || size > kMaxFileBytes) {
        std::fclose(file);
        *error = size < 0 ? "cannot read " + path
                          : path + ": not a capture saved by the bridge (larger than 1 GiB)";
        return false;
    }
    std::rewind(file);
    if (!Read(file, chunks, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

} // namespace capture
