#include "capture.h"
#include "pcapng_format.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <map>
#include <tuple>
#include <utility>

namespace capture
{

// Chunks are kept in pages of one size, filled in turn and dropped whole, oldest first, and the
// page that falls out is the next one filled: the ring's memory is a fixed number of equal
// blocks, so no pattern of chunk sizes can fragment the heap and make it grow. A page once
// handed to a snapshot is not filled again (the snapshot may still read it); it is freed by
// whichever lets go of it last.
struct Page {
    explicit Page(size_t size) : capacity(size), bytes(new char[size]) {}
    const size_t capacity;
    size_t used = 0;
    int64_t newestNs = 0;
    bool shared = false;
    const std::unique_ptr<char[]> bytes;
};

namespace
{

// Before each chunk's bytes in a page.
struct Header {
    int64_t timeNs;
    Endpoints ends;
    uint32_t size;
    Link link;
    Event event;
};

// A sixteenth of the bound, so that the ring is never short of more than that, and at most
// 64 KiB, so that a page is quickly filled and aged out.
constexpr size_t kLargestPageBytes = 64 * 1024;
constexpr size_t kSmallestPageBytes = 1024;
constexpr int64_t kNsPerMinute = int64_t(60) * 1000000000;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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

std::vector<ChunkView> ViewsOf(const std::vector<Chunk>& chunks)
{
    std::vector<ChunkView> views;
    views.reserve(chunks.size());
    for (const Chunk& c : chunks)
        views.push_back(ChunkView{c.timeNs, c.link, c.event, c.ends, c.data});
    return views;
}

void Recorder::Configure(int minutes, size_t maxBytes)
{
    m_minutes = std::clamp(minutes, 0, kLargestMinutes);
    m_keepNs = m_minutes * kNsPerMinute;
    m_maxBytes = maxBytes;
    m_pageBytes = std::clamp(maxBytes / 16, kSmallestPageBytes, kLargestPageBytes);
}

int64_t Recorder::WallClockOffsetNs()
{
    const int64_t wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    return wall - NowNs();
}

void Recorder::Opened(Link link, int socket)
{
    if (!Enabled())
        return;
    const Endpoints ends = EndpointsOf(socket);
    Append(link, Event::Opened, &ends, nullptr, 0);
}

void Recorder::Record(Link link, Event event, const char* data, size_t size)
{
    Append(link, event, nullptr, data, size);
}

void Recorder::Append(Link link, Event event, const Endpoints* ends, const char* data, size_t size)
{
    const size_t need = sizeof(Header) + size;
    // What falls out is freed after the lock is released; a page filled usually pushes one out,
    // and the rare larger batch (after a quiet spell) is freed in place beyond the first few.
    std::shared_ptr<Page> dropped[8];
    size_t droppedCount = 0;
    std::shared_ptr<Page> reused; // the page to fill next
    std::lock_guard<std::mutex> lock(m_mutex);
    // Stamped under the lock, so that the ring, and the capture, are in time order across the
    // three threads.
    const Header header{NowNs(), ends != nullptr ? *ends : m_current[int(link)], uint32_t(size),
                        link, event};
    if (ends != nullptr)
        m_current[int(link)] = *ends;
    const auto dropOldest = [&] {
        std::shared_ptr<Page>& oldest = m_pages.front();
        m_heldBytes -= oldest->capacity;
        if (!reused && oldest->capacity == m_pageBytes && !oldest->shared)
            reused = std::move(oldest);
        else if (droppedCount < std::size(dropped))
            dropped[droppedCount++] = std::move(oldest);
        m_pages.pop_front();
    };
    while (!m_pages.empty() && m_pages.front()->newestNs < header.timeNs - m_keepNs)
        dropOldest();
    if (m_pages.empty() || m_pages.back()->capacity - m_pages.back()->used < need) {
        const size_t capacity = std::max(need, m_pageBytes);
        while (!m_pages.empty() && m_heldBytes + capacity > m_maxBytes)
            dropOldest();
        if (capacity > m_maxBytes)
            return; // more than the whole ring may hold
        if (!reused || reused->capacity != capacity)
            reused = std::make_shared<Page>(capacity);
        reused->used = 0;
        m_heldBytes += capacity;
        m_pages.push_back(std::move(reused));
    }
    Page& page = *m_pages.back();
    std::memcpy(page.bytes.get() + page.used, &header, sizeof header);
    if (size > 0)
        std::memcpy(page.bytes.get() + page.used + sizeof header, data, size);
    page.used += need;
    page.newestNs = header.timeNs;
}

Held Recorder::Snapshot()
{
    Held held;
    size_t lastUsed = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        held.pages.assign(m_pages.begin(), m_pages.end());
        for (const std::shared_ptr<Page>& page : m_pages)
            page->shared = true;
        if (!m_pages.empty())
            lastUsed = m_pages.back()->used;
    }
    // Pages before the last are no longer written; the last only beyond lastUsed.
    const int64_t oldest = NowNs() - m_keepNs;
    for (size_t i = 0; i < held.pages.size(); ++i) {
        const Page& page = *held.pages[i];
        const size_t used = i + 1 == held.pages.size() ? lastUsed : page.used;
        for (size_t at = 0; at < used;) {
            Header header;
            std::memcpy(&header, page.bytes.get() + at, sizeof header);
            if (header.timeNs >= oldest)
                held.chunks.push_back(ChunkView{
                    header.timeNs, header.link, header.event, header.ends,
                    std::string_view(page.bytes.get() + at + sizeof header, header.size)});
            at += sizeof header + header.size;
        }
    }
    return held;
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
    ++m_faultsKept;
}

uint64_t Recorder::FaultsKept()
{
    std::lock_guard<std::mutex> lock(m_faultMutex);
    return m_faultsKept;
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
    PacketWriter(int64_t clockOffsetNs, std::ostream& out)
        : m_clockOffsetNs(clockOffsetNs), m_out(out)
    {
    }

    bool Write(const ChunkView& chunk)
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
    bool Handshake(const ChunkView& chunk, uint32_t localStart, uint32_t peerStart)
    {
        const bool localIsClient = chunk.link != Link::Robot;
        const uint32_t client = localIsClient ? localStart : peerStart;
        const uint32_t server = localIsClient ? peerStart : localStart;
        return Emit(chunk, localIsClient, client, 0, kSyn) &&
               Emit(chunk, !localIsClient, server, client + 1, kSyn | kAck) &&
               Emit(chunk, localIsClient, client + 1, server + 1, kAck);
    }

    bool Data(const ChunkView& chunk, Conversation* c)
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

    bool Emit(const ChunkView& chunk, bool fromLocal, uint32_t seq, uint32_t ack, uint8_t flags,
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
        const uint64_t stamp = uint64_t(chunk.timeNs + m_clockOffsetNs);
        block.U32(uint32_t(stamp >> 32));
        block.U32(uint32_t(stamp));
        block.U32(uint32_t(packet.size()));
        block.U32(uint32_t(packet.size()));
        block.Bytes(packet);
        block.Pad();
        return block.WriteTo(kEnhancedPacket, m_out);
    }

    const int64_t m_clockOffsetNs;
    std::ostream& m_out;
    std::map<std::tuple<int, uint32_t, uint16_t, uint32_t, uint16_t>, Conversation> m_conversations;
    uint16_t m_id = 1;
};

} // namespace

bool WritePcapng(const std::vector<ChunkView>& chunks, int64_t clockOffsetNs, std::ostream& out)
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

    PacketWriter writer(clockOffsetNs, out);
    for (const ChunkView& chunk : chunks)
        if (!writer.Write(chunk))
            return false;
    out.flush();
    return bool(out);
}

} // namespace capture
