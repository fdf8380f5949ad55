// The bridge: the robot server, the vision client with its stream reader, and the state they
// share, with no window. Whoever shows or publishes the state reads one snapshot of it.
#ifndef BRIDGE_H
#define BRIDGE_H

#include "edge_node.h"
#include "history_writer.h"
#include "robot_server.h"
#include "settings.h"
#include "shared.h"
#include "vision_client.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the window shows: the link state and what a joint data reply would carry now.
struct BridgeSnapshot {
    LinkSnapshot link;
    JointReading joint;
    bool telemetry = false; // plant telemetry is configured
    HistoryState history = HistoryState::Off;
};

class Bridge
{
public:
    // Opens the debug log and configures the parts from the settings; starts nothing.
    explicit Bridge(Settings settings);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Serves the robot and connects to the vision application with the settings' address and
    // project.
    void Start();
    // Ends every thread, the history's and the edge node's last so that they keep and publish
    // the ends of the links; returns when they have ended.
    void Stop();

    // The operator's Connect: the project stands as a wish until the robot asks for another.
    void Connect(const std::string& address, const std::string& projectId);
    // Returns at once; the snapshot shows the client stopped once it and its reader have ended.
    void Disconnect();
    void WishLaser(bool on) { m_shared.link.WishLaser(on, events::Origin::Operator); }
    void WishProject(int project) { m_shared.link.WishProject(project, events::Origin::Operator); }

    BridgeSnapshot Snapshot();
    // Called after every change of the link state, on the thread that made it.
    void SetChangeListener(std::function<void()> listener);

    // What a watchdog looks at: the robot server, the vision client, its stream reader, the
    // log writer and the history writer.
    std::vector<const Progress*> Workers();

    // What the settings and the history have to tell the operator, each once.
    QStringList TakeReports() { return m_settings.TakeReports() + m_history.TakeReports(); }

    Settings& Config() { return m_settings; }
    HistoryWriter& History() { return m_history; }
    Shared& Parts() { return m_shared; }

private:
    Settings m_settings;
    Shared m_shared;
    RobotServer m_robot;
    VisionClient m_vision;
    HistoryWriter m_history;
    std::unique_ptr<EdgeNode> m_edgeNode;
};

#endif // BRIDGE_H
