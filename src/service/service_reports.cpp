#include "service_reports.h"

#include "bridge.h"
#include "journal.h"

ServiceReports::ServiceReports(Bridge& bridge) : m_bridge(bridge)
{
    QObject::connect(&m_look, &QTimer::timeout, [this] { Look(); });
    m_look.start(500);
}

ServiceReports::~ServiceReports()
{
    PrintSettingsReports();
}

void ServiceReports::SaveDiagnostics()
{
    ::SaveDiagnostics(m_bridge.Parts().capture, m_bridge.Parts().log);
}

void ServiceReports::Look()
{
    const BridgeSnapshot state = m_bridge.Snapshot();
    PrintSettingsReports();
    if (state.link.robotPortBusySpells != m_portBusySpellsShown) {
        m_portBusySpellsShown = state.link.robotPortBusySpells;
        journal::Print(journal::Priority::Error,
                       QString("port %1 is held by another program: the robot cannot connect "
                               "until it is free; the bridge takes the port as soon as it is")
                           .arg(m_bridge.Config().Get().robotPort));
    }
    if (state.link.visionFailures != m_visionFailuresShown) {
        m_visionFailuresShown = state.link.visionFailures;
        journal::Print(journal::Priority::Error,
                       state.link.visionReady
                           ? "the vision application rejected a request (Error in Tervian "
                             "communication)"
                           : "the vision application rejected the default project or its set-up "
                             "(Error in loading or setting up the project)");
    }
    SaveFaultCaptures(m_bridge.Parts().capture, m_bridge.Parts().log);
}

// The bridge works on with the values it has, and the robot never waits for the history, so
// these are warnings.
void ServiceReports::PrintSettingsReports()
{
    for (const QString& report : m_bridge.TakeReports())
        journal::Print(journal::Priority::Warning, QString(report).replace('\n', ' '));
}
