#include "wake.h"

#include <cstdint>

#include <sys/eventfd.h>
#include <unistd.h>

Wake::Wake() : m_event(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

// The counter can neither overflow nor fail otherwise, so the results tell nothing.
void Wake::Set()
{
    const uint64_t one = 1;
    (void)!write(m_event.Get(), &one, sizeof one);
}

void Wake::Take()
{
    uint64_t count = 0;
    (void)!read(m_event.Get(), &count, sizeof count);
}
