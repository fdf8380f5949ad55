#include "edge_node.h"

#include "socket_util.h"

#include <algorithm>

namespace
{

// A command longer than any this node understands is not read.
constexpr size_t kLongestCommand = 64 * 1024;
// What a clean stop gives the death and the disconnect to get out.
constexpr int kCloseMs = 500;
// Enough for the feed of a few seconds at the highest record rate.
constexpr size_t kFeedBound = 16384;

// Commands to devices behind the node: the standard has every node take them.
std::string DeviceCommands(const std::string& group, const std::string& node)
{
    return "spBv1.0/" + group + "/DCMD/" + node + "/+";
}

// How often the thread looks at the feed when nothing wakes it: as often as one metric may be
// sent, within bounds that keep an idle cell cheap and a fast rate possible.
int TickMs(int ratePerSecond)
{
    return std::clamp(1000 / std::max(ratePerSecond, 1), 10, 100);
}

std::string BrokerName(const mqtt::Options& broker)
{
    return broker.host + ":" + std::to_string(broker.port);
}

} // namespace

EdgeNode::EdgeNode(Shared& shared, Config config)
    : m_shared(shared), m_config(std::move(config)), m_events(shared.events.Subscribe(kFeedBound)),
      m_brokerName(BrokerName(m_config.broker)), m_tickMs(TickMs(m_config.ratePerSecond)),
      m_metrics(m_config.version, m_config.ratePerSecond), m_held(m_config.bufferBytes)
{
}

void EdgeNode::Start()
{
    m_worker.Start([this] { Run(); });
}

void EdgeNode::Run()
{
    m_retryAt = Clock::now();
    while (!m_worker.Stopping()) {
        const Clock::time_point now = Clock::now();
        Gather(now);
        if (m_connection == nullptr && now >= m_retryAt)
            Connect(now);
        if (m_connection != nullptr)
            Follow(now);
        SendData(now);
        m_shared.log.Flush();
        const int stop = m_worker.Stopping().Descriptor();
        m_worker.Liveness().Wait([&] {
            if (m_connection != nullptr)
                m_connection->Serve(stop, m_tickMs);
            else
                sockets::WaitForAny({stop}, m_tickMs);
        });
    }
    End();
}

void EdgeNode::Gather(Clock::time_point now)
{
    for (const events::Event& event : m_events->TakeAll())
        m_metrics.Take(event);
    m_metrics.Look(m_shared.link.Snapshot(), m_shared.capture.FaultsKept(), now);
}

// A new connection registers the death of its own bdSeq as its will. Looking up a broker given
// by name may take as long as the name service does: a wait for a peer, not a hang.
void EdgeNode::Connect(Clock::time_point now)
{
    mqtt::Options options = m_config.broker;
    options.clientId = "spB-" + m_config.group + "-" + m_config.node;
    options.willTopic = sparkplug::NodeTopic(m_config.group, sparkplug::Kind::Death, m_config.node);
    options.willPayload = sparkplug::EncodeDeath(events::NowMs(), m_bdSeq);
    m_worker.Liveness().Wait([&] { m_connection = std::make_unique<mqtt::Connection>(options); });
    m_phase = Phase::Connecting;
    Follow(now);
}

void EdgeNode::Follow(Clock::time_point now)
{
    if (m_phase == Phase::Connecting && m_connection->Current() == mqtt::Connection::State::Up)
        Begin();
    for (const mqtt::Message& message : m_connection->TakeMessages())
        if (m_connection != nullptr) // a primary host gone offline ends the connection
            Read(message, now);
    if (m_connection != nullptr && m_connection->Current() == mqtt::Connection::State::Failed)
        Lose(now);
}

void EdgeNode::Begin()
{
    m_upSince = Clock::now();
    m_lastFailure.clear();
    m_shared.log.Write("Plant telemetry: connected to the MQTT broker at ", m_brokerName, "\n");
    m_connection->Subscribe(
        sparkplug::NodeTopic(m_config.group, sparkplug::Kind::Command, m_config.node), 1);
    m_connection->Subscribe(DeviceCommands(m_config.group, m_config.node), 1);
    SetPhase(Phase::AwaitingHost);
    if (m_config.primaryHost.empty())
        Birth(m_upSince);
    else
        m_connection->Subscribe(sparkplug::HostStateTopic(m_config.primaryHost), 1);
}

// The next connection is a new session, with the next bdSeq; a broker that keeps dropping the
// node is tried again less and less often.
void EdgeNode::Lose(Clock::time_point now)
{
    const std::string why = m_connection->Failure();
    const bool wasUp = m_phase == Phase::AwaitingHost || m_phase == Phase::Live;
    if (wasUp) {
        m_shared.log.Write("Plant telemetry: lost the MQTT broker at ", m_brokerName, " (", why,
                           "). Reconnecting\n");
        ++m_bdSeq;
    } else if (why != m_lastFailure) {
        m_shared.log.Write("Plant telemetry: cannot connect to the MQTT broker at ", m_brokerName,
                           " (", why, "). Retrying\n");
        m_lastFailure = why;
    }
    m_connection.reset();
    SetPhase(Phase::Down);
    if (wasUp && now - m_upSince >= Backoff::kProvenAfter)
        m_backoff.Reset();
    m_retryAt = now + std::chrono::milliseconds(m_backoff.NextPauseMs());
}

void EdgeNode::Read(const mqtt::Message& message, Clock::time_point now)
{
    if (message.topic ==
        sparkplug::NodeTopic(m_config.group, sparkplug::Kind::Command, m_config.node))
        ReadCommand(message.payload, now);
    else if (!m_config.primaryHost.empty() &&
             message.topic == sparkplug::HostStateTopic(m_config.primaryHost))
        ReadHostState(message.payload, now);
    else
        m_shared.log.Write("Plant telemetry: DCMD ignored: this node has no devices\n");
}

void EdgeNode::ReadCommand(const std::string& payload, Clock::time_point now)
{
    bool rebirth = false;
    for (const sparkplug::Order& order : sparkplug::ReadCommand(payload, kLongestCommand)) {
        switch (order.kind) {
        case sparkplug::Order::Kind::Rebirth:
            rebirth = true;
            break;
        case sparkplug::Order::Kind::None:
            break;
        case sparkplug::Order::Kind::Malformed:
            m_shared.log.Write("Plant telemetry: NCMD ignored: not a Sparkplug B payload\n");
            break;
        case sparkplug::Order::Kind::TooLarge:
            m_shared.log.Write("Plant telemetry: NCMD ignored: longer than 64 KiB\n");
            break;
        case sparkplug::Order::Kind::UnknownMetric:
            m_shared.log.Write("Plant telemetry: NCMD ignored for the unknown metric ",
                               order.metric, "\n");
            break;
        case sparkplug::Order::Kind::WrongType:
            m_shared.log.Write("Plant telemetry: NCMD ignored: ", order.metric,
                               " is not a Boolean\n");
            break;
        }
    }
    if (rebirth && m_phase == Phase::Live) {
        m_shared.log.Write("Plant telemetry: rebirth asked\n");
        Birth(now);
    }
}

// A primary host that goes offline is waited for again on a new connection, so that it finds
// the node's death and then its birth.
void EdgeNode::ReadHostState(const std::string& payload, Clock::time_point now)
{
    const std::optional<bool> online = sparkplug::HostOnline(payload);
    if (!online) {
        m_shared.log.Write("Plant telemetry: STATE of the primary host ", m_config.primaryHost,
                           " not understood\n");
    } else if (*online && m_phase == Phase::AwaitingHost) {
        m_shared.log.Write("Plant telemetry: the primary host ", m_config.primaryHost,
                           " is online\n");
        Birth(now);
    } else if (!*online && m_phase == Phase::Live) {
        m_shared.log.Write("Plant telemetry: the primary host ", m_config.primaryHost,
                           " is offline; waiting for it\n");
        End();
        ++m_bdSeq;
        m_retryAt = now;
    }
}

// The session's sequence starts again at the birth, which carries every value as it is now.
void EdgeNode::Birth(Clock::time_point now)
{
    m_seq = 0;
    Publish(sparkplug::Kind::Birth,
            sparkplug::EncodeBirth(events::NowMs(), m_bdSeq, m_metrics.Definitions(),
                                   m_metrics.Values()),
            0);
    m_metrics.AllSent(now);
    SetPhase(Phase::Live);
    if (const uint64_t dropped = m_held.TakeDropped())
        m_shared.log.Write("Plant telemetry: ", dropped,
                           " data messages kept while the broker was away were dropped "
                           "(MqttBufferMB)\n");
}

// Data kept while the broker was away goes first, as history; meanwhile, and while the broker
// takes messages slower than they come, changes wait in the metrics, where a newer value
// replaces an older one, so that nothing grows.
void EdgeNode::SendData(Clock::time_point now)
{
    if (m_phase != Phase::Live) {
        std::vector<sparkplug::Sample> due = m_metrics.TakeDue(now);
        if (!due.empty())
            m_held.Keep(std::move(due));
        return;
    }
    while (!m_held.Empty() && !m_connection->Backlogged())
        Publish(sparkplug::Kind::Data,
                sparkplug::EncodeData(events::NowMs(), ++m_seq, m_held.TakeOldest(), true), 0);
    if (!m_held.Empty() || m_connection->Backlogged())
        return;
    const std::vector<sparkplug::Sample> due = m_metrics.TakeDue(now);
    if (!due.empty())
        Publish(sparkplug::Kind::Data, sparkplug::EncodeData(events::NowMs(), ++m_seq, due, false),
                0);
}

bool EdgeNode::Publish(sparkplug::Kind kind, const std::string& payload, int qos)
{
    return m_connection->Publish(sparkplug::NodeTopic(m_config.group, kind, m_config.node), payload,
                                 qos);
}

// A clean end announces the node's death itself: a disconnect in order cancels the will.
void EdgeNode::End()
{
    if (m_phase == Phase::AwaitingHost || m_phase == Phase::Live) {
        Publish(sparkplug::Kind::Death, sparkplug::EncodeDeath(events::NowMs(), m_bdSeq), 1);
        m_connection->Close(kCloseMs);
    }
    m_connection.reset();
    SetPhase(Phase::Down);
}

void EdgeNode::SetPhase(Phase phase)
{
    const bool up = phase == Phase::AwaitingHost || phase == Phase::Live;
    const bool wasUp = m_phase == Phase::AwaitingHost || m_phase == Phase::Live;
    m_phase = phase;
    if (up != wasUp)
        m_shared.link.Update([up](LinkSnapshot& state) { state.telemetryConnected = up; });
}
