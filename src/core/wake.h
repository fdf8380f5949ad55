// A wake-up that a thread can sleep on in one poll together with its sockets.
#ifndef WAKE_H
#define WAKE_H

#include "descriptor.h"

#include <atomic>

// An eventfd that stays readable from a Set() until the next Take(): however many sets come
// between, the sleeper wakes once and then looks at the state that the sets were about.
class Wake
{
public:
    Wake();
    void Set();
    void Take();
    int Descriptor() const { return m_event.Get(); }

private:
    ::Descriptor m_event;
};

// A worker's stop: a flag to test between steps, and a wake that ends any sleep of the worker
// at once. Set before the worker starts again, cleared there.
class StopRequest
{
public:
    void Request()
    {
        m_stop = true;
        m_wake.Set();
    }
    void Clear()
    {
        m_stop = false;
        m_wake.Take();
    }
    explicit operator bool() const { return m_stop; }
    int Descriptor() const { return m_wake.Descriptor(); }

private:
    std::atomic<bool> m_stop{false};
    Wake m_wake;
};

#endif // WAKE_H
