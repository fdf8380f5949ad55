// What the window shows in boxes, as journal lines for a bridge that runs without one.
#ifndef SERVICE_REPORTS_H
#define SERVICE_REPORTS_H

#include "capture_files.h"

#include <QObject>
#include <QTimer>

class Bridge;

// Watches a bridge twice a second, as the window does: each report the window would show in a
// box becomes one line on stderr with its syslog priority, and a fault is saved as a capture.
// Nothing waits for anyone.
class ServiceReports
{
public:
    explicit ServiceReports(Bridge& bridge);
    // What came too late for a look is printed still.
    ~ServiceReports();
    ServiceReports(const ServiceReports&) = delete;
    ServiceReports& operator=(const ServiceReports&) = delete;

    void SaveDiagnostics();

private:
    void Look();
    void PrintSettingsReports();

    Bridge& m_bridge;
    QTimer m_look;
    // The bridge's counts that a line has been printed for.
    unsigned m_visionFailuresShown = 0;
    unsigned m_portBusySpellsShown = 0;
};

#endif // SERVICE_REPORTS_H
