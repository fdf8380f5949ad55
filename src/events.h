#ifndef EVENTS_H
#define EVENTS_H

#include <pthread.h>

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

} // namespace events

#endif // EVENTS_H
