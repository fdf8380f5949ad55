// What happened in the bridge, in order, for those who keep or publish it on threads of their
// own: every reply the robot was told, every change of a link, every wish, every fault, every
// record of the stream. Publishing never waits for a reader.
#ifndef EVENTS_H
#define EVENTS_H

#include "capture.h"
#include "measurement_record.h"
#include "robot_protocol.h"
#include "wake.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace events
{

// Milliseconds since the epoch: the time a plant's tools read.
int64_t NowMs();

struct RobotReply {
    int64_t atMs = 0;
    robot::Request request = robot::Request::Unrecognised; // what the robot asked
    robot::Reply reply;       // the bytes it was told; a repeated previous reply for an
                              // unrecognised request
    int projectAsked = -1;    // the wish standing when it was answered
    int projectLoaded = 0;    // what the application had confirmed
    int64_t answerMicros = 0; // from the request's receipt to the reply's send
};

enum class Link { Robot, Command, Stream };
struct LinkChange {
    int64_t atMs = 0;
    Link link = Link::Robot;
    bool up = false;
};

enum class Origin { Robot, Operator };
struct Wish {
    int64_t atMs = 0;
    Origin origin = Origin::Operator;
    enum class What { Laser, Project } what = What::Laser;
    int value = 0; // laser: 1 on, 0 off; project: its number
};

// The kinds that the capture keeps a fault file for.
using FaultKind = capture::Fault;
struct Fault {
    int64_t atMs = 0;
    FaultKind kind = FaultKind::VisionLink;
    std::string text; // the debug log's line, without its line end
};

struct Record {
    int64_t atMs = 0;
    measurement::Values values{};
    bool recognised = false;
};

using Event = std::variant<RobotReply, LinkChange, Wish, Fault, Record>;

// One reader's events, oldest first. Full, it drops its oldest and counts them, so a reader
// that stalls costs memory up to its bound and nothing else.
class Queue
{
public:
    explicit Queue(size_t bound) : m_bound(bound) {}
    void Push(const Event& event);
    std::vector<Event> TakeAll();
    // Events dropped since the last call.
    uint64_t TakeDropped();
    // Readable once an event comes into the empty queue, until the next TakeAll(): a reader that
    // takes in batches sleeps on it while nothing happens. The push that makes it readable pays
    // one write to an eventfd; the pushes after it, until the reader takes, nothing.
    int Descriptor() const { return m_wake.Descriptor(); }
    // The reader has given up for good: what is held is freed and nothing more is kept.
    void Close();

private:
    std::mutex m_mutex;
    bool m_closed = false;
    std::deque<Event> m_events;
    uint64_t m_dropped = 0;
    const size_t m_bound;
    Wake m_wake;
};

// Hands each event to every queue subscribed; subscribe before the bridge starts.
class Feed
{
public:
    std::shared_ptr<Queue> Subscribe(size_t bound);
    void Publish(const Event& event);

private:
    std::vector<std::shared_ptr<Queue>> m_queues;
};

// The five values of a joint data reply as the robot decodes them, in millimetres.
measurement::Values SentValues(const robot::Reply& reply);
// The result code of a joint data reply.
inline uint8_t SentResultCode(const robot::Reply& reply)
{
    return static_cast<uint8_t>(reply.bytes[1]);
}

} // namespace events

#endif // EVENTS_H
