#ifndef CAPTURE_H
#define CAPTURE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

// The bridge's own record of its traffic: every byte sent and received on the three links, with
// the openings and closings of their connections, kept in memory for the last few minutes so
// that a fault can be looked at after the fact. Saved as a pcapng file in which each connection
// is a TCP conversation between its real addresses and ports.
namespace capture
{

enum class Link : uint8_t { Robot, Command, Stream };

enum class Event : uint8_t {
    Opened,     // the connection was made (or accepted)
    Sent,       // bytes the bridge sent
    Received,   // bytes the bridge received
    PeerClosed, // the peer ended the connection (a receive gave 0)
    Closed,     // the bridge closed the connection
};

// IPv4 addresses and ports in host order; "local" is the bridge's end.
struct Endpoints {
    uint32_t localAddress = 0;
    uint16_t localPort = 0;
    uint32_t peerAddress = 0;
    uint16_t peerPort = 0;
};

struct Chunk {
    int64_t timeNs = 0; // wall-clock time since the epoch, as a capture shows it
    Link link = Link::Robot;
    Event event = Event::Opened;
    Endpoints ends;
    std::string data;
};

// Chunks are shared between the ring and a capture being written, so that taking a snapshot
// copies pointers only.
using ChunkPtr = std::shared_ptr<const Chunk>;

// A bounded ring of chunks, written by the worker threads and read when a capture is saved.
// The lock is held only to append and to copy pointers: building a chunk, and freeing what falls
// out of the ring, happen outside it, so the robot thread never waits for more than pointer moves,
// not even while a capture is saved.
class Recorder
{
public:
    // minutes 0 switches recording off; maxBytes bounds the data and bookkeeping held. Called
    // before any worker records.
    void Configure(int minutes, size_t maxBytes);
    bool Enabled() const { return m_minutes > 0; }

    // The connection on socket was made: its addresses are taken from the socket.
    void Opened(Link link, int socket);
    void Record(Link link, Event event, const char* data, size_t size);

    // What the ring holds now, oldest first, without what has aged out.
    std::vector<ChunkPtr> Snapshot();
    // Bytes counted against maxBytes now.
    size_t HeldBytes();

    // A link was lost or a request rejected: the next look at TakeFault() sees it once.
    void NoteFault() { m_fault = true; }
    bool TakeFault() { return m_fault.exchange(false); }

private:
    void Append(std::shared_ptr<Chunk> chunk);

    int m_minutes = 0;
    size_t m_maxBytes = 0;
    std::mutex m_mutex;
    std::deque<ChunkPtr> m_chunks;
    size_t m_heldBytes = 0;
    Endpoints m_current[3]; // the latest connection of each link
    std::atomic<bool> m_fault{false};
};

// Where a socket function records what passes through it: a link of a recorder, or nothing.
struct Tap {
    Recorder* recorder = nullptr;
    Link link = Link::Robot;

    void Record(Event event, const char* data = nullptr, size_t size = 0) const
    {
        if (recorder != nullptr && recorder->Enabled())
            recorder->Record(link, event, data, size);
    }
    void NoteFault() const
    {
        if (recorder != nullptr)
            recorder->NoteFault();
    }
};

// Records the opening of a connection when made and its closing when it goes: declared right
// after the Descriptor it watches, it goes just before that closes.
class Session
{
public:
    Session(const Tap& tap, int socket);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

private:
    Tap m_tap;
    bool m_open;
};

// Writes chunks as one pcapng section of raw IPv4 packets with nanosecond time stamps. Each
// connection becomes a TCP conversation: a handshake at its opening (or none, when the opening
// aged out of the ring), one segment per chunk with sequence and acknowledgement numbers that
// follow on, and a FIN for each end that closed. False when the stream fails.
bool WritePcapng(const std::vector<ChunkPtr>& chunks, std::ostream& out);

} // namespace capture

#endif // CAPTURE_H
