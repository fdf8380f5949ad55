// The link state: what the robot and the operator asked for, what the vision application
// confirmed, and how the three connections stand, under one lock.
#ifndef LINK_STATE_H
#define LINK_STATE_H

#include "events.h"
#include "measurement_record.h"
#include "wake.h"

#include <cstdint>
#include <functional>
#include <mutex>

struct LinkSnapshot {
    // The wishes of the robot and the operator: the laser state and the project asked for
    // last, each with a count of the times it was asked. The vision client brings the
    // application to them whenever it can; a wish it saw rejected stands again only once it
    // is asked again.
    bool laserWanted = false;
    unsigned laserAsks = 0;
    int projectWanted = -1;
    unsigned projectAsks = 0;

    // What the vision application confirmed. The laser lamp (and the status reply) follows a
    // robot's laser request at once and the application's verdict after it.
    bool visionReady = false; // the default project is set up and the command link is up
    bool visionError = true;
    bool laserOn = false;
    bool acquisitionOn = false;
    measurement::Clock::time_point acquisitionSince = measurement::Clock::time_point::min();
    int loadedProject = 0;
    // When the application last confirmed a project load: what was decoded before was measured
    // for another joint.
    measurement::Clock::time_point projectLoadedAt = measurement::Clock::time_point::min();
    unsigned visionFailures = 0;      // rejections and set-up failures, one box each
    unsigned unsolicitedElements = 0; // elements the application sent unasked

    // The connections; the operator's Connect wants the vision client running.
    bool clientWanted = false;
    bool robotServerOnline = false; // has listened for a robot since it started
    bool robotConnected = false;
    uint32_t robotPeer = 0;     // the connected robot's IPv4 address, host order
    uint16_t robotPort = 0;     // the port the robot server listens on, once bound
    bool robotPortBusy = false; // binding fails because another program holds the port
    unsigned robotPortBusySpells = 0;
    bool clientRunning = false;
    bool clientConnected = false;
    bool streamReading = false;
    bool streamConnected = false;

    // Plant telemetry: connected to the MQTT broker (when it is configured at all).
    bool telemetryConnected = false;
};

class LinkState
{
public:
    // Wishes and the ups and downs of the three links are published to feed.
    explicit LinkState(events::Feed& feed) : m_feed(feed) {}

    LinkSnapshot Snapshot() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_state;
    }
    // Changes the state under the lock; the listener hears of it after.
    template <typename Change> void Update(Change change)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const LinkSnapshot before = m_state;
            change(m_state);
            PublishLinkChanges(before);
        }
        Notify();
    }
    // A wish is stored and counted in one step and then the vision client is woken. The
    // robot's laser requests light the laser lamp at once.
    void WishLaser(bool on, events::Origin origin);
    void WishProject(int project, events::Origin origin);
    // Readable after a wish until the client takes it; the client takes it before it reads
    // the wishes, so that a wish made meanwhile wakes it again.
    int WishDescriptor() const { return m_wish.Descriptor(); }
    void TakeWish() { m_wish.Take(); }

    // Called after every change, on the thread that made it; set before any thread starts.
    void SetListener(std::function<void()> listener) { m_listener = std::move(listener); }

private:
    void PublishLinkChanges(const LinkSnapshot& before);
    void Notify()
    {
        if (m_listener)
            m_listener();
    }

    events::Feed& m_feed;
    mutable std::mutex m_mutex;
    LinkSnapshot m_state;
    Wake m_wish;
    std::function<void()> m_listener;
};

#endif // LINK_STATE_H
