#include "events.h"

#include <chrono>

namespace events
{

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void Queue::Push(const Event& event)
{
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
            return;
        wasEmpty = m_events.empty();
        if (m_events.size() >= m_bound) {
            m_events.pop_front();
            ++m_dropped;
        }
        m_events.push_back(event);
    }
    if (wasEmpty)
        m_wake.Set();
}

// The wake is taken before the events: a push after it finds the queue empty again and sets it.
std::vector<Event> Queue::TakeAll()
{
    m_wake.Take();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Event> taken(std::make_move_iterator(m_events.begin()),
                             std::make_move_iterator(m_events.end()));
    m_events.clear();
    return taken;
}

void Queue::Close()
{
    std::deque<Event> held;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    held.swap(m_events);
}

uint64_t Queue::TakeDropped()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t dropped = m_dropped;
    m_dropped = 0;
    return dropped;
}

std::shared_ptr<Queue> Feed::Subscribe(size_t bound)
{
    m_queues.push_back(std::make_shared<Queue>(bound));
    return m_queues.back();
}

void Feed::Publish(const Event& event)
{
    for (const std::shared_ptr<Queue>& queue : m_queues)
        queue->Push(event);
}

measurement::Values SentValues(const robot::Reply& reply)
{
    measurement::Values values{};
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = robot::DecodeValue(reply.bytes.data() + 4 + 2 * i) / 100.0;
    return values;
}

} // namespace events
