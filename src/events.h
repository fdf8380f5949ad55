#ifndef EVENTS_H
#define EVENTS_H

#include "descriptor.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

// Event objects in the manner of the Windows API: signalled or not, a set wakes a waiter,
// and waits may time out. Results are 0 for success or an errno-style code.
namespace events
{

struct event_object {
    pthread_cond_t CVariable;
    pthread_mutex_t Mutex;
    bool AutoReset;
    bool State;
    // An eventfd that is readable exactly while State is true, so that a thread can sleep on
    // events and sockets together in one poll.
    Descriptor Readable;
};

typedef event_object* event_t;

// Time-out value that waits without limit; 0 polls without blocking.
constexpr uint64_t WaitInfinite = UINT64_MAX;

event_t CreateEvent(bool manualReset = false, bool initialState = false);
int DestroyEvent(event_t event);
int WaitForEvent(event_t event, uint64_t milliseconds);
int UnlockedWaitForEvent(event_t event, uint64_t milliseconds);
int SetEvent(event_t event);
int ResetEvent(event_t event);

// Readable (for poll) while the event is signalled.
inline int DescriptorOf(event_t event)
{
    return event->Readable.Get();
}

// A worker's stop request: a flag to test between steps, and a manual-reset event whose
// descriptor wakes the worker at once from any sleep on it. Assigned like a flag.
class StopRequest
{
public:
    StopRequest() : m_event(CreateEvent(true, false)) {}
    ~StopRequest() { DestroyEvent(m_event); }
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    StopRequest& operator=(bool stop)
    {
        m_stop = stop;
        if (stop)
            SetEvent(m_event);
        else
            ResetEvent(m_event);
        return *this;
    }
    operator bool() const { return m_stop; }
    int Descriptor() const { return DescriptorOf(m_event); }

private:
    std::atomic<bool> m_stop{false};
    event_t m_event;
};

} // namespace events

#endif // EVENTS_H
