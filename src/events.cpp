#include "events.h"

#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace events
{

namespace
{

// Called with the mutex held, whenever State changes, so that the eventfd follows it.
void MakeReadable(event_t event, bool readable)
{
    uint64_t count = 1;
    const ssize_t done = readable ? write(event->Readable.Get(), &count, sizeof count)
                                  : read(event->Readable.Get(), &count, sizeof count);
    (void)done; // a counter that is 0 or 1 can neither overflow nor fail otherwise
}

} // namespace

event_t CreateEvent(bool manualReset, bool initialState)
{
    event_t event = new event_object;
    pthread_cond_init(&event->CVariable, nullptr);
    pthread_mutex_init(&event->Mutex, nullptr);
    event->Readable = Descriptor(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    event->State = false;
    event->AutoReset = !manualReset;
    if (initialState)
        SetEvent(event);
    return event;
}

int DestroyEvent(event_t event)
{
    pthread_cond_destroy(&event->CVariable);
    pthread_mutex_destroy(&event->Mutex);
    delete event;
    return 0;
}

static int Consume(event_t event)
{
    if (event->AutoReset) {
        event->State = false;
        MakeReadable(event, false);
    }
    return 0;
}

int UnlockedWaitForEvent(event_t event, uint64_t milliseconds)
{
    if (event->State)
        return Consume(event);
    if (milliseconds == 0)
        return ETIMEDOUT;

    if (milliseconds == WaitInfinite) {
        while (!event->State) {
            int result = pthread_cond_wait(&event->CVariable, &event->Mutex);
            if (result != 0)
                return result;
        }
        return Consume(event);
    }

    // The deadline is fixed once so that spurious wake-ups do not stretch the wait; the
    // condition variable has default attributes and therefore measures on the wall clock.
    timeval now;
    gettimeofday(&now, nullptr);
    uint64_t deadlineNs = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_usec) * 1000u +
                          milliseconds * 1000000u;
    timespec deadline;
    deadline.tv_sec = time_t(deadlineNs / 1000000000u);
    deadline.tv_nsec = long(deadlineNs % 1000000000u);
    while (!event->State) {
        int result = pthread_cond_timedwait(&event->CVariable, &event->Mutex, &deadline);
        if (result != 0)
            return result;
    }
    return Consume(event);
}

int WaitForEvent(event_t event, uint64_t milliseconds)
{
    if (milliseconds == 0) {
        if (pthread_mutex_trylock(&event->Mutex) == EBUSY)
            return ETIMEDOUT;
    } else {
        pthread_mutex_lock(&event->Mutex);
    }
    int result = UnlockedWaitForEvent(event, milliseconds);
    pthread_mutex_unlock(&event->Mutex);
    return result;
}

int SetEvent(event_t event)
{
    pthread_mutex_lock(&event->Mutex);
    if (!event->State)
        MakeReadable(event, true);
    event->State = true;
    pthread_mutex_unlock(&event->Mutex);
    if (event->AutoReset)
        pthread_cond_signal(&event->CVariable);
    else
        pthread_cond_broadcast(&event->CVariable);
    return 0;
}

int ResetEvent(event_t event)
{
    pthread_mutex_lock(&event->Mutex);
    if (event->State)
        MakeReadable(event, false);
    event->State = false;
    pthread_mutex_unlock(&event->Mutex);
    return 0;
}

} // namespace events
