#include "bridge.h"

#include "dide_protocol.h"

#include <QFileInfo>

namespace
{

RobotServer::Config RobotConfig(const Settings::Values& values)
{
    return {values.robotPort, values.robotAllow, values.staleAfterMs};
}

HistoryWriter::Config HistoryConfig(const Settings::Values& values)
{
    return {values.history, values.historyDays, values.historyMaxBytes};
}

EdgeNode::Config TelemetryConfig(const Settings::Values& values)
{
    EdgeNode::Config config;
    config.broker.host = values.mqttHost.toStdString();
    config.broker.port = values.mqttPort != 0          ? values.mqttPort
                         : values.mqttCaFile.isEmpty() ? 1883
                                                       : 8883;
    config.broker.user = values.mqttUser.toStdString();
    config.broker.password = values.mqttPassword.toStdString();
    config.broker.caFile = values.mqttCaFile.toStdString();
    config.broker.certFile = values.mqttCertFile.toStdString();
    config.broker.keyFile = values.mqttKeyFile.toStdString();
    config.group = values.mqttGroup.toStdString();
    config.node = values.mqttNode.toStdString();
    config.primaryHost = values.mqttPrimaryHost.toStdString();
    config.ratePerSecond = values.mqttRatePerSecond;
    config.bufferBytes = values.mqttBufferBytes;
    config.version = BRIDGE_VERSION;
    return config;
}

} // namespace

Bridge::Bridge(Settings settings)
    : m_settings(std::move(settings)), m_robot(m_shared, RobotConfig(m_settings.Get())),
      m_vision(m_shared, {m_settings.Get().commandPort, m_settings.Get().streamPort}),
      m_history(m_shared.events, m_shared.log, QFileInfo(m_settings.Path()).path(),
                HistoryConfig(m_settings.Get()))
{
    const Settings::Values& values = m_settings.Get();
    m_shared.log.Open(QFileInfo(m_settings.Path()).path());
    m_shared.log.Configure(values.debugLog, values.debugLogMaxBytes, values.debugLogTimes);
    for (const QString& note : m_settings.TakeLogNotes())
        m_shared.log.Write(note);
    m_shared.capture.Configure(values.captureMinutes, values.captureMaxBytes);
    if (!values.mqttHost.isEmpty())
        m_edgeNode = std::make_unique<EdgeNode>(m_shared, TelemetryConfig(values));
}

Bridge::~Bridge()
{
    Stop();
    m_shared.log.Close();
}

void Bridge::Start()
{
    m_history.Start();
    m_robot.Start();
    if (m_edgeNode != nullptr)
        m_edgeNode->Start();
    Connect(m_settings.Get().scannerIp.toUtf8().toStdString(),
            m_settings.Get().projectId.toUtf8().toStdString());
}

// The edge node goes last, so that its death follows everything it saw.
void Bridge::Stop()
{
    m_robot.Stop();
    m_vision.Stop();
    m_history.Stop();
    if (m_edgeNode != nullptr)
        m_edgeNode->Stop();
}

void Bridge::Disconnect()
{
    m_shared.link.Update([](LinkSnapshot& state) { state.clientWanted = false; });
    m_vision.RequestStop();
}

void Bridge::Connect(const std::string& address, const std::string& projectId)
{
    if (m_shared.link.Snapshot().clientRunning)
        return;
    m_shared.link.Update([](LinkSnapshot& state) { state.clientWanted = true; });
    m_shared.link.WishProject(dide::ProjectNumber(projectId), events::Origin::Operator);
    m_vision.Start(address, projectId);
}

BridgeSnapshot Bridge::Snapshot()
{
    const LinkSnapshot link = m_shared.link.Snapshot();
    return {link, ReadJoint(m_shared, link, m_settings.Get().staleAfterMs, false),
            m_edgeNode != nullptr, m_history.State()};
}

std::vector<const Progress*> Bridge::Workers()
{
    std::vector<const Progress*> workers{&m_robot.Liveness(), &m_vision.Liveness(),
                                         &m_vision.ReaderLiveness(), &m_shared.log.Liveness(),
                                         &m_history.Liveness()};
    if (m_edgeNode != nullptr)
        workers.push_back(&m_edgeNode->Liveness());
    return workers;
}

void Bridge::SetChangeListener(std::function<void()> listener)
{
    m_shared.link.SetListener(std::move(listener));
}
