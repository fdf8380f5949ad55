#ifndef CAPTURE_H
#define CAPTURE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// The bridge's own record of its traffic: every byte sent and received on the three links, with
// the openings and closings of their connections, kept in memory for the last few minutes so
// that a fault can be looked at after the fact. Saved as a pcapng file in which each connection
// is a TCP conversation between its real addresses and ports.
namespace capture
{

// The largest CaptureMinutes and CaptureMaxMB the recorder takes: a day of traffic, and half a
// GiB, whose capture file still stays below the 1 GiB that the tools read.
constexpr int kLargestMinutes = 24 * 60;
constexpr int kLargestMaxMB = 512;

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

// A chunk read back from a capture file: its time is the file's (wall-clock nanoseconds).
struct Chunk {
    int64_t timeNs = 0;
    Link link = Link::Robot;
    Event event = Event::Opened;
    Endpoints ends;
    std::string data;
};

// A chunk as the writer takes it: one the ring holds (its time from the recorder's steady
// clock), or one read back.
struct ChunkView {
    int64_t timeNs = 0;
    Link link = Link::Robot;
    Event event = Event::Opened;
    Endpoints ends;
    std::string_view data;
};

std::vector<ChunkView> ViewsOf(const std::vector<Chunk>& chunks);

struct Page;

// What the ring held at one moment, oldest first: views into pages shared with the ring, so
// that taking it copies pointers only.
struct Held {
    std::vector<ChunkView> chunks;
    std::vector<std::shared_ptr<const Page>> pages;
};

// What went wrong, each kind with a fault capture of its own, so that a routine fault of one
// kind never hides a rare one of another.
enum class Fault : uint8_t {
    RobotLink,  // the robot's connection failed (a robot closing in order is no fault)
    VisionLink, // a connection to the vision application failed or was closed by it
    Rejection,  // the vision application rejected a request
    NoReply,    // the vision application did not answer, or never ended its reply
};
constexpr int kFaultKinds = 4;

// The traffic up to a fault, taken when it happened.
struct FaultCapture {
    Fault kind;
    Held held;
};

// The name part of each kind: capture-last-fault-NAME.pcapng.
const char* FaultName(Fault kind);

// A bounded ring of chunks, written by the worker threads and read when a capture is saved.
// Chunks are stamped with a steady clock, so that a step of the wall clock cannot reorder them;
// a save turns the stamps into wall-clock time with one offset read at that moment. The lock
// is held only to copy a chunk's bytes in and to copy page pointers out: freeing what falls out
// of the ring happens outside it, so the robot thread never waits for more than that, not even
// while a capture is saved.
class Recorder
{
public:
    // minutes 0 switches recording off (and is as far as a negative value goes; beyond
    // kLargestMinutes counts as that); maxBytes bounds the memory held, bookkeeping included.
    // Called before any worker records.
    void Configure(int minutes, size_t maxBytes);
    bool Enabled() const { return m_minutes > 0; }

    // The connection on socket was made: its addresses are taken from the socket.
    void Opened(Link link, int socket);
    void Record(Link link, Event event, const char* data, size_t size);

    // What the ring holds now, without what has aged out.
    Held Snapshot();
    // Bytes counted against maxBytes now.
    size_t HeldBytes();
    // What to add to the ring's stamps for wall-clock time now.
    static int64_t WallClockOffsetNs();

    // A fault happened: the ring as it stands now is kept for saving, before it moves on, unless
    // a fault of this kind was kept less than a minute ago (a flapping link must not keep the
    // disk busy). Cheap enough for any thread: it copies pointers.
    void NoteFault(Fault kind);
    // The fault captures kept since the last call, for a thread that may take its time to
    // write them.
    std::vector<FaultCapture> TakeFaults();
    // Fault captures kept since the start.
    uint64_t FaultsKept();

private:
    void Append(Link link, Event event, const Endpoints* ends, const char* data, size_t size);

    int m_minutes = 0;
    int64_t m_keepNs = 0;
    size_t m_maxBytes = 0;
    size_t m_pageBytes = 0;
    std::mutex m_mutex;
    std::deque<std::shared_ptr<Page>> m_pages;
    size_t m_heldBytes = 0;
    Endpoints m_current[3]; // the latest connection of each link

    std::mutex m_faultMutex;
    std::vector<FaultCapture> m_faults;
    uint64_t m_faultsKept = 0;
    std::chrono::steady_clock::time_point m_faultKept[kFaultKinds];
    bool m_faultEverKept[kFaultKinds] = {};
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
            recorder->NoteFault(link == Link::Robot ? Fault::RobotLink : Fault::VisionLink);
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
// follow on, and a FIN for each end that closed. clockOffsetNs turns the chunks' stamps into
// the file's wall-clock time. False when the stream fails.
bool WritePcapng(const std::vector<ChunkView>& chunks, int64_t clockOffsetNs, std::ostream& out);

} // namespace capture

#endif // CAPTURE_H
