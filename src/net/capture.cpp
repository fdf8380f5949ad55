#include "capture.h"
#include "pcapng_format.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <tuple>
#include <utility>

namespace capture
{

namespace
{

// What the ring's bookkeeping costs per chunk beyond its data, so that a flood of tiny chunks
// is bounded as honestly as a few large ones.
constexpr size_t kChunkOverhead = sizeof(Chunk) + 64;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

size_t Cost(const Chunk& chunk)
{
    return chunk.data.size() + kChunkOverhead;
}

Endpoints EndpointsOf(int socket)
{
    Endpoints ends;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        ends.localAddress = ntohl(address.sin_addr.s_addr);
        ends.localPort = ntohs(address.sin_port);
    }
    length = sizeof address;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        ends.peerAddress = ntohl(address.sin_addr.s_addr);
        ends.peerPort = ntohs(address.sin_port);
    }
    return ends;
}

} // namespace

void Recorder::Configure(int minutes, size_t maxBytes)
{
    m_minutes = minutes > 0 ? minutes : 0;
    m_maxBytes = maxBytes;
}

void Recorder::Opened(Link link, int socket)
{
    if (!Enabled())
        return;
    auto chunk = std::make_shared<Chunk>();
    chunk->link = link;
    chunk->event = Event::Opened;
    chunk->ends = EndpointsOf(socket);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current[int(link)] = chunk->ends;
    }
    Append(std::move(chunk));
}

void Recorder::Record(Link link, Event event, const char* data, size_t size)
{
    auto chunk = std::make_shared<Chunk>();
    chunk->link = link;
    chunk->event = event;
    if (size > 0)
        chunk->data.assign(data, size);
    Append(std::move(chunk));
}

void Recorder::Append(std::shared_ptr<Chunk> chunk)
{
    const size_t cost = Cost(*chunk);
    // What falls out is freed after the lock is released; one chunk in usually pushes one out,
    // and the rare larger batch (after a quiet spell) is freed in place beyond the first few.
    ChunkPtr dropped[8];
    size_t droppedCount = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Stamped under the lock, so that the ring, and the capture, are in time order across
        // the three threads.
        chunk->timeNs = NowNs();
        const int64_t oldest = chunk->timeNs - int64_t(m_minutes) * 60 * 1000000000;
        if (chunk->event != Event::Opened)
            chunk->ends = m_current[int(chunk->link)];
        m_heldBytes += cost;
        m_chunks.push_back(std::move(chunk));
        while (!m_chunks.empty() &&
               (m_heldBytes > m_maxBytes || m_chunks.front()->timeNs < oldest)) {
            m_heldBytes -= Cost(*m_chunks.front());
            if (droppedCount < std::size(dropped))
                dropped[droppedCount++] = std::move(m_chunks.front());
            m_chunks.pop_front();
        }
    }
}

std::vector<ChunkPtr> Recorder::Snapshot()
{
    const int64_t oldest = NowNs() - int64_t(m_minutes) * 60 * 1000000000;
    std::vector<ChunkPtr> chunks;
    std::lock_guard<std::mutex> lock(m_mutex);
    chunks.reserve(m_chunks.size());
    for (const ChunkPtr& chunk : m_chunks)
        if (chunk->timeNs >= oldest)
            chunks.push_back(chunk);
    return chunks;
}

const char* FaultName(Fault kind)
{
    switch (kind) {
    case Fault::RobotLink:
        return "robot-link";
    case Fault::VisionLink:
        return "vision-link";
    case Fault::Rejection:
        return "rejection";
    case Fault::NoReply:
        return "no-reply";
    }
    return "unknown";
}

void Recorder::NoteFault(Fault kind)
{
    if (!Enabled())
        return;
    constexpr auto kInterval = std::chrono::minutes(1);
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(m_faultMutex);
        const int k = int(kind);
        if (m_faultEverKept[k] && now - m_faultKept[k] < kInterval)
            return;
        m_faultEverKept[k] = true;
        m_faultKept[k] = now;
    }
    FaultCapture fault{kind, Snapshot()};
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_faults.push_back(std::move(fault));
}

std::vector<FaultCapture> Recorder::TakeFaults()
{
    std::lock_guard<std::mutex> lock(m_faultMutex);
    return std::exchange(m_faults, {});
}

size_t Recorder::HeldBytes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heldBytes;
}

Session::Session(const Tap& tap, int socket) : m_tap(tap), m_open(socket != -1)
{
    if (m_open && m_tap.recorder != nullptr)
        m_tap.recorder->Opened(m_tap.link, socket);
}

Session::~Session()
{
    if (m_open)
        m_tap.Record(Event::Closed);
}

namespace
{

using namespace pcapng;

// IPv4 total length is 16 bits: larger chunks go out as several segments.
constexpr size_t kMaxSegmentData = 65000;

// Little-endian fields of the blocks, written the same on any host.
class Block
{
public:
    void U8(uint8_t v) { m_bytes.push_back(char(v)); }
    void U16(uint16_t v)
    {
        U8(uint8_t(v));
        U8(uint8_t(v >> 8));
    }
    void U32(uint32_t v)
    {
        U16(uint16_t(v));
        U16(uint16_t(v >> 16));
    }
    void Bytes(const std::string& bytes) { m_bytes += bytes; }
    void Pad()
    {
        while (m_bytes.size() % 4 != 0)
            U8(0);
    }
    void Option(uint16_t code, const std::string& value)
    {
        U16(code);
        U16(uint16_t(value.size()));
        Bytes(value);
        Pad();
    }
    // Type and both length fields around the body.
    bool WriteTo(uint32_t type, std::ostream& out) const
    {
        Block whole;
        const uint32_t length = uint32_t(m_bytes.size() + 12);
        whole.U32(type);
        whole.U32(length);
        whole.Bytes(m_bytes);
        whole.U32(length);
        out.write(whole.m_bytes.data(), std::streamsize(whole.m_bytes.size()));
        return bool(out);
    }

private:
    std::string m_bytes;
};

// Big-endian fields of the packets.
void Put16(std::string* s, size_t at, uint16_t v)
{
    (*s)[at] = char(v >> 8);
    (*s)[at + 1] = char(v);
}

void Put32(std::string* s, size_t at, uint32_t v)
{
    Put16(s, at, uint16_t(v >> 16));
    Put16(s, at + 2, uint16_t(v));
}

uint32_t SumWords(const std::string& s, size_t from, size_t to, uint32_t sum)
{
    for (size_t i = from; i < to; i += 2) {
        const uint32_t high = uint8_t(s[i]);
        const uint32_t low = i + 1 < to ? uint8_t(s[i + 1]) : 0;
        sum += (high << 8) | low;
    }
    return sum;
}

uint16_t FoldChecksum(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

struct Segment {
    uint32_t source, destination;
    uint16_t sourcePort, destinationPort;
    uint32_t seq, ack;
    uint8_t flags;
};

std::string Packet(const Segment& seg, const char* data, size_t size, uint16_t id)
{
    constexpr size_t kIp = 20, kTcp = 20;
    std::string p(kIp + kTcp, '\0');
    p.append(data, size);
    p[0] = 0x45;
    Put16(&p, 2, uint16_t(p.size()));
    Put16(&p, 4, id);
    Put16(&p, 6, 0x4000); // don't fragment
    p[8] = 64;
    p[9] = 6; // TCP
    Put32(&p, 12, seg.source);
    Put32(&p, 16, seg.destination);
    Put16(&p, 10, FoldChecksum(SumWords(p, 0, kIp, 0)));

    Put16(&p, kIp, seg.sourcePort);
    Put16(&p, kIp + 2, seg.destinationPort);
    Put32(&p, kIp + 4, seg.seq);
    Put32(&p, kIp + 8, seg.ack);
    p[kIp + 12] = 5 << 4;
    p[kIp + 13] = char(seg.flags);
    Put16(&p, kIp + 14, 65535);
    // Pseudo-header: addresses, protocol, TCP length.
    uint32_t sum = SumWords(p, 12, 20, 0) + 6 + uint32_t(kTcp + size);
    Put16(&p, kIp + 16, FoldChecksum(SumWords(p, kIp, p.size(), sum)));
    return p;
}

// One connection as the capture shows it: the next sequence number of each end.
struct Conversation {
    uint32_t localNext;
    uint32_t peerNext;
};

class PacketWriter
{
public:
    explicit PacketWriter(std::ostream& out) : m_out(out) {}

    bool Write(const Chunk& chunk)
    {
        const auto key =
            std::make_tuple(int(chunk.link), chunk.ends.localAddress, chunk.ends.localPort,
                            chunk.ends.peerAddress, chunk.ends.peerPort);
        auto found = m_conversations.find(key);
        if (chunk.event == Event::Opened || found == m_conversations.end()) {
            // Arbitrary but fixed initial numbers, different for each end.
            const uint32_t localStart = 0x10000000u ^ (uint32_t(chunk.ends.localPort) << 8);
            const uint32_t peerStart = 0x20000000u ^ (uint32_t(chunk.ends.peerPort) << 8);
            found =
                m_conversations.insert_or_assign(key, Conversation{localStart + 1, peerStart + 1})
                    .first;
            if (chunk.event == Event::Opened)
                return Handshake(chunk, localStart, peerStart);
        }
        Conversation& c = found->second;
        switch (chunk.event) {
        case Event::Opened:
            break;
        case Event::Sent:
        case Event::Received:
            return Data(chunk, &c);
        case Event::PeerClosed:
            return Emit(chunk, false, c.peerNext++, c.localNext, kFin | kAck);
        case Event::Closed: {
            const bool ok = Emit(chunk, true, c.localNext, c.peerNext, kFin | kAck);
            m_conversations.erase(found);
            return ok;
        }
        }
        return true;
    }

private:
    // The robot connects to the bridge; the bridge connects to the vision application.
    bool Handshake(const Chunk& chunk, uint32_t localStart, uint32_t peerStart)
    {
        const bool localIsClient = chunk.link != Link::Robot;
        const uint32_t client = localIsClient ? localStart : peerStart;
        const uint32_t server = localIsClient ? peerStart : localStart;
        return Emit(chunk, localIsClient, client, 0, kSyn) &&
               Emit(chunk, !localIsClient, server, client + 1, kSyn | kAck) &&
               Emit(chunk, localIsClient, client + 1, server + 1, kAck);
    }

    bool Data(const Chunk& chunk, Conversation* c)
    {
        const bool fromLocal = chunk.event == Event::Sent;
        for (size_t at = 0; at < chunk.data.size(); at += kMaxSegmentData) {
            const size_t size = std::min(kMaxSegmentData, chunk.data.size() - at);
            uint32_t& next = fromLocal ? c->localNext : c->peerNext;
            const uint32_t ack = fromLocal ? c->peerNext : c->localNext;
            if (!Emit(chunk, fromLocal, next, ack, kPush | kAck, chunk.data.data() + at, size))
                return false;
            next += uint32_t(size);
        }
        return true;
    }

    bool Emit(const Chunk& chunk, bool fromLocal, uint32_t seq, uint32_t ack, uint8_t flags,
              const char* data = nullptr, size_t size = 0)
    {
        const Endpoints& e = chunk.ends;
        const Segment seg =
            fromLocal
                ? Segment{e.localAddress, e.peerAddress, e.localPort, e.peerPort, seq, ack, flags}
                : Segment{e.peerAddress, e.localAddress, e.peerPort, e.localPort, seq, ack, flags};
        const std::string packet = Packet(seg, data, size, m_id++);
        Block block;
        block.U32(0); // interface
        block.U32(uint32_t(uint64_t(chunk.timeNs) >> 32));
        block.U32(uint32_t(uint64_t(chunk.timeNs)));
        block.U32(uint32_t(packet.size()));
        block.U32(uint32_t(packet.size()));
        block.Bytes(packet);
        block.Pad();
        return block.WriteTo(kEnhancedPacket, m_out);
    }

    std::ostream& m_out;
    std::map<std::tuple<int, uint32_t, uint16_t, uint32_t, uint16_t>, Conversation> m_conversations;
    uint16_t m_id = 1;
};

} // namespace

bool WritePcapng(const std::vector<ChunkPtr>& chunks, std::ostream& out)
{
    Block section;
    section.U32(kByteOrderMagic);
    section.U16(1); // version 1.0
    section.U16(0);
    section.U32(0xFFFFFFFF); // section length not given
    section.U32(0xFFFFFFFF);
    section.Option(kOptUserApplication, "tervian-bridge");
    section.U32(kOptEnd);
    if (!section.WriteTo(kSectionHeader, out))
        return false;

    Block interface;
    interface.U16(kLinkTypeIpv4);
    interface.U16(0);
    interface.U32(0); // no snapshot limit
    interface.Option(kOptInterfaceName, "bridge links");
    interface.Option(kOptTimeResolution, std::string(1, char(9))); // nanoseconds
    interface.U32(kOptEnd);
    if (!interface.WriteTo(kInterfaceDescription, out))
        return false;

    PacketWriter writer(out);
    for (const ChunkPtr& chunk : chunks)
        if (!writer.Write(*chunk))
            return false;
    out.flush();
    return bool(out);
}

} // namespace capture
