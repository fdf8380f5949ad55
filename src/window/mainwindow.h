#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "capture_files.h"

#include <QMainWindow>
#include <QStringList>
#include <QTimer>

class Bridge;
struct BridgeSnapshot;
class QAction;
class QLabel;
class TrendView;

namespace Ui
{
class MainWindow;
}

// The status window: it watches a bridge, reading one snapshot of it per refresh, and hands the
// operator's actions to it as wishes. Everything here lives on the GUI thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(Bridge& bridge, QWidget* parent = nullptr);
    ~MainWindow() override;

    using SavedCapture = ::SavedCapture;

public slots:
    // Writes the recorded traffic beside the debug log, for SIGUSR1 and the Help menu, and says
    // so on stderr.
    SavedCapture SaveDiagnostics();

private slots:
    void Refresh();
    void on_pushButtonConnect_clicked();
    void on_pushButtonLaserOn_clicked();
    void on_pushButtonLaserOff_clicked();
    void on_lineEditIP_textEdited(const QString& text);
    void on_lineEditProjectID_textEdited(const QString& text);
    void on_actionUser_manual_triggered();
    void on_actionSave_diagnostics_triggered();

private:
    void ShowRobotLink(const BridgeSnapshot& state);
    void ShowVisionLink(const BridgeSnapshot& state);
    void ShowVisionError(const BridgeSnapshot& state, const QString& message);
    void ShowMeasuredValues(const BridgeSnapshot& state);
    void ShowPendingReports(const BridgeSnapshot& state);
    void ShowHistoryState(const BridgeSnapshot& state);
    void SaveFaultCapture();
    // The trend window, opened from the View menu; the history records only while it is shown.
    void SetUpTrendView(bool shown);
    void ShowTrendView(bool shown);
    // The plant telemetry lamp, there only when telemetry is configured.
    void SetUpTelemetryLamp();

    Ui::MainWindow* ui;
    Bridge& m_bridge;
    QTimer m_refresh;
    QAction* m_trendAction = nullptr;
    TrendView* m_trendView = nullptr;
    QLabel* m_telemetryLamp = nullptr;
    QLabel* m_historyNote = nullptr;
    // Texts for the operator that the next refresh shows, one box each.
    QStringList m_pendingReports;
    // The bridge's counts of failures and busy-port spells that a box has been shown for.
    unsigned m_visionFailuresShown = 0;
    unsigned m_portBusySpellsShown = 0;
};

#endif // MAINWINDOW_H
