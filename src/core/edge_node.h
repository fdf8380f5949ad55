// Plant telemetry: the bridge as an edge node on the plant's MQTT broker, on a thread of its
// own that reads the event feed and the link state. The robot never waits for it.
#ifndef EDGE_NODE_H
#define EDGE_NODE_H

#include "backoff.h"
#include "mqtt_client.h"
#include "plant_metrics.h"
#include "shared.h"
#include "worker.h"

#include <memory>
#include <string>

class EdgeNode
{
public:
    struct Config {
        mqtt::Options broker; // address, login and TLS; the will is the node's own
        std::string group = "tervian";
        std::string node;
        std::string primaryHost; // empty: births go out once connected
        int ratePerSecond = 10;
        size_t bufferBytes = 8 * 1024 * 1024;
        std::string version;
    };

    // Subscribes to the feed of shared; starts nothing.
    EdgeNode(Shared& shared, Config config);
    ~EdgeNode() { Stop(); }
    EdgeNode(const EdgeNode&) = delete;
    EdgeNode& operator=(const EdgeNode&) = delete;

    void Start();
    // Sends the death and disconnects, within a bound, and returns when the thread has ended.
    void Stop() { m_worker.Stop(); }
    const Progress& Liveness() { return m_worker.Liveness(); }

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Down, Connecting, AwaitingHost, Live };

    void Run();
    void Gather(Clock::time_point now);
    void Connect(Clock::time_point now);
    void Follow(Clock::time_point now);
    void Begin();
    void Lose(Clock::time_point now);
    void Read(const mqtt::Message& message, Clock::time_point now);
    void ReadCommand(const std::string& payload, Clock::time_point now);
    void ReadHostState(const std::string& payload, Clock::time_point now);
    void Birth(Clock::time_point now);
    void SendData(Clock::time_point now);
    bool Publish(sparkplug::Kind kind, const std::string& payload, int qos);
    void End();
    void SetPhase(Phase phase);

    Shared& m_shared;
    const Config m_config;
    const std::shared_ptr<events::Queue> m_events;
    const std::string m_brokerName; // host:port, for the log
    const int m_tickMs;
    Worker m_worker{"plant telemetry", std::chrono::seconds(5)};

    // The thread's own.
    PlantMetrics m_metrics;
    HeldData m_held;
    std::unique_ptr<mqtt::Connection> m_connection;
    Phase m_phase = Phase::Down;
    sparkplug::Sequence m_bdSeq = 0;
    sparkplug::Sequence m_seq = 0;
    Backoff m_backoff;
    Clock::time_point m_retryAt;
    Clock::time_point m_upSince;
    std::string m_lastFailure; // logged once until the broker takes the node again
};

#endif // EDGE_NODE_H
