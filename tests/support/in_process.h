#ifndef IN_PROCESS_H
#define IN_PROCESS_H

// Helpers for tests that run the bridge or its parts in their own process, where they keep
// config.txt and DebugLog.txt beside the test program.
#include "bridge.h"
#include "bridge_process.h"

#include <QtTest>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

inline QString TestDir()
{
    return QCoreApplication::applicationDirPath();
}

inline QByteArray TestDebugLog()
{
    return readFile(TestDir() + "/DebugLog.txt");
}

// A value of the config.txt beside the test program.
inline QString Stored(const char* key)
{
    return storedSetting(TestDir(), key);
}

// The traffic of the latest fault of each kind that the recorder has taken since the last look.
inline std::map<capture::Fault, capture::Held> TakenFaults(capture::Recorder& recorder)
{
    std::map<capture::Fault, capture::Held> faults;
    for (capture::FaultCapture& fault : recorder.TakeFaults())
        faults[fault.kind] = std::move(fault.held);
    return faults;
}

// A bridge that is not started, with the loopback settings and values over them.
inline std::unique_ptr<Bridge> MakeBridge(const QMap<QString, QString>& config = {})
{
    writeConfig(TestDir(), config);
    Settings settings(TestDir());
    settings.Load();
    return std::make_unique<Bridge>(std::move(settings));
}

// Checks every change of a link state against the orders that its readers rely on: a reader
// that sees acquisition on sees since when, one that sees a new project sees when it was loaded,
// and one that sees the client stopped sees its stream reader stopped too. Keeps the laser wish
// that each counted ask came with. Its listener is set before any thread of the link starts, and
// keeps it.
class OrderWatch
{
public:
    // On the link alone, or through the bridge that owns it and keeps its listener.
    static std::shared_ptr<OrderWatch> On(LinkState& link, Bridge* bridge = nullptr)
    {
        auto watch = std::make_shared<OrderWatch>();
        const std::function<void()> listener = [watch, &link] { watch->Check(link.Snapshot()); };
        bridge ? bridge->SetChangeListener(listener) : link.SetListener(listener);
        return watch;
    }
    // The first order that a change broke; empty while none did.
    QString Broken()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_broken;
    }
    // The laser wished at each ask, as the first reader of the ask saw it: 1 on, 0 off.
    QString LaserWishes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_laserWishes;
    }

private:
    void Check(const LinkSnapshot& state)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        QString broken;
        if (state.acquisitionOn && state.acquisitionSince == measurement::Clock::time_point::min())
            broken = "acquisition on without its time";
        m_clientRan = m_clientRan || state.clientRunning;
        if (m_clientRan && !state.clientRunning && state.streamReading)
            broken = "client stopped before its reader";
        if (state.loadedProject != m_last.loadedProject &&
            state.projectLoadedAt == m_last.projectLoadedAt)
            broken = "a project loaded without its time";
        m_last = state;
        if (state.laserAsks != m_laserAsks)
            m_laserWishes += state.laserWanted ? '1' : '0';
        m_laserAsks = state.laserAsks;
        if (m_broken.isEmpty())
            m_broken = broken;
    }

    std::mutex m_mutex;
    QString m_broken;
    bool m_clientRan = false;
    LinkSnapshot m_last;
    unsigned m_laserAsks = 0;
    QString m_laserWishes;
};

// The shared state of a part tested alone, its debug log on beside the test program and its
// traffic recorded.
struct TestShared : Shared {
    TestShared()
    {
        log.Open(TestDir());
        log.Configure(true, 0, false);
        capture.Configure(10, 32 * 1024 * 1024); // the default settings
    }
    ~TestShared() { log.Close(); }
    QByteArray Log()
    {
        log.Flush();
        return TestDebugLog();
    }
    const std::shared_ptr<OrderWatch> watch = OrderWatch::On(link);
};

#endif // IN_PROCESS_H
