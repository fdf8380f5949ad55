// A role's thread together with its stop.
#ifndef WORKER_H
#define WORKER_H

#include "progress.h"
#include "wake.h"

#include <csignal>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include <pthread.h>

// Owns one thread at a time. Its owner stops it in its own destructor, before the members the
// thread uses go. The thread takes no asynchronous signals, whichever thread starts it: they
// belong to the one that handles them, so that no worker's wait is cut short by one.
// The thread counts as busy while it runs, except where its body marks a wait. It carries the
// role's name (its first 15 characters), so that ps -L, top -H, gdb and a replay's simulator tell
// the bridge's threads apart.
class Worker
{
public:
    Worker(const char* name, std::chrono::milliseconds bound) : m_progress(name, bound) {}
    ~Worker() { Stop(); }

    template <typename Body> void Start(Body body)
    {
        m_stop.Clear();
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        m_thread = std::make_unique<std::thread>([this, body = std::move(body)]() mutable {
            NameThisThread(m_progress.Name());
            m_progress.Busy();
            body();
            m_progress.Idle();
        });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    bool Started() const { return m_thread != nullptr; }
    // Asks the thread to end, and returns at once.
    void RequestStop() { m_stop.Request(); }
    // Asks the thread to end, and returns when it has.
    void Stop()
    {
        m_stop.Request();
        Join();
    }
    // Waits for a thread that ends by itself.
    void Join()
    {
        if (m_thread == nullptr)
            return;
        m_thread->join();
        m_thread.reset();
    }
    // For the thread: whether to end, and a descriptor that wakes it when it should.
    const StopRequest& Stopping() const { return m_stop; }
    Progress& Liveness() { return m_progress; }

private:
    static void NameThisThread(const char* name)
    {
        char shortName[16] = {};
        std::strncpy(shortName, name, sizeof shortName - 1);
        pthread_setname_np(pthread_self(), shortName);
    }

    StopRequest m_stop;
    Progress m_progress;
    std::unique_ptr<std::thread> m_thread;
};

#endif // WORKER_H
