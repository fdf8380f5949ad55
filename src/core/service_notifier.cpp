#include "service_notifier.h"

#include "journal.h"
#include "socket_util.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <systemd/sd-daemon.h>

namespace
{

constexpr auto kStatusEvery = std::chrono::seconds(1);
// Until the robot port listens, so that READY=1 follows it closely.
constexpr auto kReadyLookEvery = std::chrono::milliseconds(20);
constexpr int kBeatMs = 500;

std::string RobotPart(const LinkSnapshot& link, uint16_t configuredPort)
{
    const std::string port = std::to_string(link.robotPort != 0 ? link.robotPort : configuredPort);
    if (link.robotConnected)
        return "robot connected";
    if (link.robotPortBusy)
        return "robot port " + port + " held by another program";
    if (link.robotServerOnline)
        return "robot listening on port " + port;
    return "robot server starting";
}

// The vision lamps: connected (ready, not ready, connecting, off), error, laser, project. The
// client counts as connected from its first connection until it stops, as the lamp shows it.
std::string VisionPart(const LinkSnapshot& link)
{
    const std::string error = link.visionError ? ", vision error" : "";
    if (link.visionReady)
        return "vision ready" + error + ", project " + std::to_string(link.loadedProject) +
               (link.laserOn ? ", acquisition on" : ", acquisition off");
    if (link.clientConnected)
        return "vision not ready" + error;
    return link.clientRunning ? "vision connecting" : "vision disconnected";
}

std::string StatusLine(const BridgeSnapshot& state, uint16_t configuredPort, long recordsPerSecond)
{
    std::string line = RobotPart(state.link, configuredPort) + ", " + VisionPart(state.link);
    if (state.link.streamReading) {
        if (state.link.laserOn)
            line += state.joint.resultCode == robot::kJointRecognised ? ", joint recognised"
                                                                      : ", no joint recognised";
        line += ", " + std::to_string(recordsPerSecond) + " records/s";
    }
    if (state.telemetry)
        line +=
            state.link.telemetryConnected ? ", telemetry connected" : ", telemetry disconnected";
    if (state.history == HistoryState::Paused)
        line += ", history paused: the disk takes no more";
    else if (state.history == HistoryState::Stopped)
        line += ", history off: its file cannot be used";
    return line;
}

void Notify(const std::string& state)
{
    sd_notify(0, state.c_str());
}

} // namespace

ServiceNotifier::ServiceNotifier(Bridge& bridge)
    : m_bridge(bridge), m_robotPort(bridge.Config().Get().robotPort),
      m_active(std::getenv("NOTIFY_SOCKET") != nullptr)
{
    uint64_t watchdogUs = 0;
    if (m_active && sd_watchdog_enabled(0, &watchdogUs) > 0)
        m_pingInterval = std::chrono::microseconds(watchdogUs / 2);
    m_watched = m_bridge.Workers();
    m_watched.push_back(&m_mainLoop);
    m_reportedStuck.assign(m_watched.size(), false);
    QObject::connect(&m_beat, &QTimer::timeout, [this] { m_mainLoop.Busy(); });
}

void ServiceNotifier::Start()
{
    if (!m_active || m_worker.Started())
        return;
    m_mainLoop.Busy();
    m_beat.start(kBeatMs);
    m_worker.Start([this] { Run(); });
}

void ServiceNotifier::NotifyStopping()
{
    if (!m_active)
        return;
    Notify("STOPPING=1");
    m_worker.Stop();
    m_beat.stop();
}

// Wakes for whatever is due first: the look for READY, the status, the ping.
void ServiceNotifier::Run()
{
    bool ready = false;
    Clock::time_point statusDue = Clock::now();
    Clock::time_point pingDue = statusDue;
    m_recordsCounted = statusDue;
    m_records = m_bridge.Parts().record.StoredCount();
    while (!m_worker.Stopping()) {
        const Clock::time_point now = Clock::now();
        const BridgeSnapshot state = m_bridge.Snapshot();
        // The status goes with READY=1, so that it names the port the robot may connect to.
        if (!ready && state.link.robotServerOnline) {
            ready = true;
            Notify("READY=1\n" + StatusChange(state, now));
            statusDue = now + kStatusEvery;
        }
        if (now >= statusDue) {
            const std::string change = StatusChange(state, now);
            if (!change.empty())
                Notify(change);
            statusDue = now + kStatusEvery;
        }
        const bool allMove = AllMove(now);
        Clock::time_point next = statusDue;
        if (ready && m_pingInterval.count() > 0) {
            if (now >= pingDue) {
                if (allMove)
                    Notify("WATCHDOG=1");
                pingDue = now + m_pingInterval;
            }
            next = std::min(next, pingDue);
        }
        if (!ready)
            next = std::min(next, now + kReadyLookEvery);
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        sockets::WaitForAny({m_worker.Stopping().Descriptor()},
                            int(std::max<std::chrono::milliseconds::rep>(waitMs.count(), 0)));
    }
}

// "STATUS=" and the line, or empty when the line is the same as last time.
std::string ServiceNotifier::StatusChange(const BridgeSnapshot& state, Clock::time_point now)
{
    const uint64_t records = m_bridge.Parts().record.StoredCount();
    const double seconds = std::chrono::duration<double>(now - m_recordsCounted).count();
    const long perSecond = seconds > 0 ? std::lround(double(records - m_records) / seconds) : 0;
    m_records = records;
    m_recordsCounted = now;
    const std::string status = StatusLine(state, m_robotPort, perSecond);
    if (status == m_status)
        return std::string();
    m_status = status;
    return "STATUS=" + status;
}

// Names each worker once when it gets stuck and once when it moves again. The debug log is not
// told: its writer may be the one that is stuck.
bool ServiceNotifier::AllMove(Clock::time_point now)
{
    bool allMove = true;
    for (size_t i = 0; i < m_watched.size(); ++i) {
        const Progress& worker = *m_watched[i];
        const std::optional<Clock::time_point> since = worker.StuckSince(now);
        allMove = allMove && !since;
        if (since.has_value() == m_reportedStuck[i])
            continue;
        m_reportedStuck[i] = since.has_value();
        if (!since) {
            journal::Print(journal::Priority::Info,
                           QString("the %1 moves again; watchdog pings resume").arg(worker.Name()));
            continue;
        }
        const auto busyMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - *since);
        const QString wallSince = QDateTime::currentDateTime()
                                      .addMSecs(-qint64(busyMs.count()))
                                      .toString("yyyy-MM-dd HH:mm:ss.zzz");
        journal::Print(journal::Priority::Error,
                       QString("the %1 is stuck since %2, longer than its bound of %3 s; no "
                               "watchdog ping until it moves again")
                           .arg(worker.Name(), wallSince)
                           .arg(worker.Bound().count() / 1000));
    }
    return allMove;
}
