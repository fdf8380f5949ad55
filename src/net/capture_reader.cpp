#include "capture_reader.h"
#include "pcapng_format.h"

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace capture
{

namespace
{

using namespace pcapng;

// A capture larger than the recorder can ever hold many times over is not one of ours.
constexpr std::streamoff kMaxFileBytes = std::streamoff(1) << 30;

uint32_t Le16(const std::string& s, size_t at)
{
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8;
}

uint32_t Le32(const std::string& s, size_t at)
{
    return Le16(s, at) | Le16(s, at + 2) << 16;
}

uint32_t Be16(const std::string& s, size_t at)
{
    return uint32_t(uint8_t(s[at])) << 8 | uint32_t(uint8_t(s[at + 1]));
}

uint32_t Be32(const std::string& s, size_t at)
{
    return Be16(s, at) << 16 | Be16(s, at + 2);
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

// Time stamp units per second, from the interface's if_tsresol option (microseconds when
// absent), as a factor to nanoseconds: multiply when positive, divide when negative.
struct Resolution {
    bool powerOfTwo = false;
    int exponent = 6;
};

// Stamps beyond the range of a signed 64-bit count of nanoseconds (about 292 years) saturate.
int64_t ToNanoseconds(uint64_t stamp, const Resolution& r)
{
    constexpr long double kBeyond = 9223372036854775808.0L; // 2^63
    long double ns = r.powerOfTwo ? (long double)stamp / (long double)(uint64_t(1) << r.exponent)
                                  : (long double)stamp;
    ns *= r.powerOfTwo ? 1e9L : 1.0L;
    for (int e = r.powerOfTwo ? 9 : r.exponent; e < 9; ++e)
        ns *= 10;
    for (int e = r.powerOfTwo ? 9 : r.exponent; e > 9; --e)
        ns /= 10;
    return ns >= kBeyond ? INT64_MAX : int64_t(ns);
}

struct Interface {
    uint16_t linkType = 0;
    Resolution resolution;
};

// The next sequence number of each end of one conversation, once known.
struct Stream {
    bool localKnown = false, peerKnown = false;
    uint32_t localNext = 0, peerNext = 0;
};

class Reader
{
public:
    Reader(const std::string& bytes, std::vector<Chunk>* chunks) : m_in(bytes), m_chunks(chunks) {}

    bool Run()
    {
        if (m_in.size() >= 4) {
            const uint32_t magic = Le32(m_in, 0);
            if (magic == 0xA1B2C3D4 || magic == 0xD4C3B2A1 || magic == 0xA1B23C4D ||
                magic == 0x4D3CB2A1)
                return Fail("a classic pcap file, not a pcapng capture saved by the bridge");
        }
        if (m_in.size() < 12 || Le32(m_in, 0) != kSectionHeader)
            return Fail("not a pcapng capture");
        while (m_at < m_in.size())
            if (!Block())
                return false;
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

    bool FailAt(size_t at, const std::string& what)
    {
        return Fail(what + " at byte " + std::to_string(at));
    }

    bool Block()
    {
        if (m_in.size() - m_at < 12)
            return FailAt(m_at, "truncated block");
        const uint32_t type = Le32(m_in, m_at);
        if (type == kSectionHeader && Le32(m_in, m_at + 8) != kByteOrderMagic)
            return FailAt(m_at, "section of another byte order (not saved by the bridge)");
        const uint32_t length = Le32(m_in, m_at + 4);
        if (length < 12 || length % 4 != 0 || length > m_in.size() - m_at)
            return FailAt(m_at, length > m_in.size() - m_at ? "truncated block" : "damaged block");
        if (Le32(m_in, m_at + length - 4) != length)
            return FailAt(m_at, "damaged block");
        const std::string body = m_in.substr(m_at + 8, length - 12);
        const size_t at = m_at;
        m_at += length;
        switch (type) {
        case kSectionHeader:
            m_interfaces.clear();
            return body.size() >= 16 || FailAt(at, "damaged section header");
        case kInterfaceDescription:
            return InterfaceBlock(body, at);
        case kEnhancedPacket:
            return PacketBlock(body, at);
        default:
            return true; // statistics, comments and the like say nothing about the traffic
        }
    }

    bool InterfaceBlock(const std::string& body, size_t at)
    {
        if (body.size() < 8)
            return FailAt(at, "damaged interface description");
        Interface interface;
        interface.linkType = uint16_t(Le16(body, 0));
        if (interface.linkType != kLinkTypeIpv4 && interface.linkType != kLinkTypeRaw)
            return FailAt(at, "link type " + std::to_string(interface.linkType) +
                                  " (the bridge saves raw IPv4)");
        for (size_t o = 8; o + 4 <= body.size();) {
            const uint32_t code = Le16(body, o), size = Le16(body, o + 2);
            if (code == 0)
                break;
            if (size > body.size() - o - 4)
                return FailAt(at, "damaged interface option");
            if (code == kOptTimeResolution && size >= 1) {
                const uint8_t value = uint8_t(body[o + 4]);
                interface.resolution.powerOfTwo = (value & 0x80) != 0;
                interface.resolution.exponent = value & 0x7F;
                if (interface.resolution.exponent > (interface.resolution.powerOfTwo ? 63 : 18))
                    return FailAt(at, "time resolution out of range");
            }
            o += 4 + (size + 3) / 4 * 4;
        }
        m_interfaces.push_back(interface);
        return true;
    }

    bool PacketBlock(const std::string& body, size_t at)
    {
        if (body.size() < 20)
            return FailAt(at, "damaged packet block");
        const uint32_t id = Le32(body, 0);
        if (id >= m_interfaces.size())
            return FailAt(at, "packet of an undeclared interface");
        const uint64_t stamp = uint64_t(Le32(body, 4)) << 32 | Le32(body, 8);
        const uint32_t captured = Le32(body, 12), original = Le32(body, 16);
        if (captured > body.size() - 20)
            return FailAt(at, "damaged packet block");
        if (captured < original)
            return FailAt(at, "packet cut short when captured");
        ++m_packet;
        return Packet(body.substr(20, captured), ToNanoseconds(stamp, m_interfaces[id].resolution),
                      at);
    }

    bool Packet(const std::string& p, int64_t timeNs, size_t at)
    {
        if (p.size() < 20 || (uint8_t(p[0]) >> 4) != 4)
            return FailAt(at, "packet " + std::to_string(m_packet) + " is not IPv4");
        const size_t ipLength = size_t(uint8_t(p[0]) & 0x0F) * 4;
        const size_t total = Be16(p, 2);
        if (ipLength < 20 || total < ipLength + 20 || total > p.size())
            return FailAt(at, "damaged IPv4 header in packet " + std::to_string(m_packet));
        if (uint8_t(p[9]) != 6 || (Be16(p, 6) & 0x3FFF) != 0)
            return FailAt(at, "packet " + std::to_string(m_packet) + " is not a whole TCP segment");
        const size_t tcpLength = size_t(uint8_t(p[ipLength + 12]) >> 4) * 4;
        if (tcpLength < 20 || ipLength + tcpLength > total)
            return FailAt(at, "damaged TCP header in packet " + std::to_string(m_packet));

        const uint32_t source = Be32(p, 12), destination = Be32(p, 16);
        const uint16_t sourcePort = uint16_t(Be16(p, ipLength)),
                       destinationPort = uint16_t(Be16(p, ipLength + 2));
        // One end only may carry one of the bridge's ports: with both, which end is the bridge
        // is a guess, and the writer could not say it back the same way.
        const int sourceLink = LinkOfPort(sourcePort), destinationLink = LinkOfPort(destinationPort);
        if ((sourceLink < 0) == (destinationLink < 0))
            return FailAt(at, "packet " + std::to_string(m_packet) +
                                  " is not between one of the bridge's ports (5020, 32001, 32002) "
                                  "and another port");
        Chunk chunk;
        chunk.timeNs = timeNs;
        chunk.link = Link(sourceLink < 0 ? destinationLink : sourceLink);
        // The bridge is the robot's server and the vision application's client.
        const bool fromLocal = (chunk.link == Link::Robot) == (sourceLink >= 0);
        chunk.ends = fromLocal ? Endpoints{source, sourcePort, destination, destinationPort}
                               : Endpoints{destination, destinationPort, source, sourcePort};

        const uint8_t flags = uint8_t(p[ipLength + 13]);
        const uint32_t seq = Be32(p, ipLength + 4);
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
        chunk.data = p.substr(ipLength + tcpLength, total - ipLength - tcpLength);
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

    const std::string& m_in;
    std::vector<Chunk>* m_chunks;
    size_t m_at = 0;
    size_t m_packet = 0;
    std::vector<Interface> m_interfaces;
    std::map<std::tuple<int, uint32_t, uint16_t, uint32_t, uint16_t>, Stream> m_streams;
};

} // namespace

bool ReadPcapng(const std::string& bytes, std::vector<Chunk>* chunks, std::string* error)
{
    chunks->clear();
    Reader reader(bytes, chunks);
    if (reader.Run())
        return true;
    *error = reader.error;
    chunks->clear();
    return false;
}

bool ReadPcapngFile(const std::string& path, std::vector<Chunk>* chunks, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxFileBytes) {
        *error = path + ": not a capture saved by the bridge (larger than 1 GiB)";
        return false;
    }
    in.seekg(0);
    std::string bytes(size_t(size), '\0');
    if (!in.read(bytes.data(), size)) {
        *error = "cannot read " + path;
        return false;
    }
    if (!ReadPcapng(bytes, chunks, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

} // namespace capture
