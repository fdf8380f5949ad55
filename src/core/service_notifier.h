// Telling a service manager how the bridge stands, through its notify socket.
#ifndef SERVICE_NOTIFIER_H
#define SERVICE_NOTIFIER_H

#include "bridge.h"
#include "progress.h"
#include "worker.h"

#include <QTimer>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Active only when the service manager passed NOTIFY_SOCKET, in the window as in the service:
// READY=1 once the robot port listens, STATUS= with what the lamps show whenever it changes (once
// a second at most), WATCHDOG=1 at half of WATCHDOG_USEC while every worker and the main loop
// move, and STOPPING=1 when the bridge begins to stop. A worker stuck past its bound is named on
// stderr, for the journal, with the time since when; the pings resume once it moves again.
class ServiceNotifier
{
public:
    explicit ServiceNotifier(Bridge& bridge);
    ~ServiceNotifier() { m_worker.Stop(); }
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // Starts watching; called on the thread that runs the event loop, whose progress it watches.
    void Start();
    void NotifyStopping();

private:
    using Clock = std::chrono::steady_clock;

    void Run();
    std::string StatusChange(const BridgeSnapshot& state, Clock::time_point now);
    bool AllMove(Clock::time_point now);

    Bridge& m_bridge;
    const uint16_t m_robotPort; // as configured; the status shows it until the server has bound
    const bool m_active;
    std::chrono::microseconds m_pingInterval{0}; // 0: no watchdog
    // The main loop beats twice a second; a modal box runs it too.
    Progress m_mainLoop{"main loop", std::chrono::seconds(3)};
    QTimer m_beat;
    std::vector<const Progress*> m_watched;
    Worker m_worker{"service notifier", std::chrono::seconds(3)};

    // The notifier thread's own.
    std::vector<bool> m_reportedStuck;
    std::string m_status;
    uint64_t m_records = 0;
    Clock::time_point m_recordsCounted;
};

#endif // SERVICE_NOTIFIER_H
