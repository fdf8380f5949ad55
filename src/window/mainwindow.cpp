// The status window: what it shows of the bridge, and the operator's actions.
#include "mainwindow.h"
#include "bridge.h"
#include "capture_files.h"
#include "status_lamps.h"
#include "trend_view.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMenuBar>
#include <QMessageBox>
#include <QUrl>

namespace
{

QString FormatValue(double value)
{
    return QString::number(value, 'f', 2);
}

void ShowErrorBox(QWidget* parent, const QString& text)
{
    QMessageBox::critical(parent, MainWindow::tr("Error"), text, QMessageBox::Ok,
                          QMessageBox::NoButton);
}

// Setting a style sheet restyles and repaints the label even when it stays the same, which
// would be most of what an idle bridge costs; so a lamp is set only when its look changes.
void SetLamp(QLabel* label, const char* look)
{
    if (label->styleSheet() != QLatin1String(look))
        label->setStyleSheet(look);
}

} // namespace

MainWindow::MainWindow(Bridge& bridge, QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_bridge(bridge)
{
    ui->setupUi(this);
    setWindowTitle(tr("Tervian Yaskawa Interface V%1").arg(BRIDGE_VERSION));
    setWindowIcon(QIcon(":/tervian.ico"));
    setFixedSize(420, 378);
    for (QLabel* label : {ui->labelMeasureError, ui->labelY, ui->labelZ, ui->labelGap,
                          ui->labelMismatch, ui->labelArea})
        label->setText("");

    const Settings::Values& settings = m_bridge.Config().Get();
    ui->lineEditIP->setText(settings.scannerIp);
    ui->lineEditProjectID->setText(settings.projectId);
    m_pendingReports << m_bridge.TakeReports();
    SetUpTrendView(settings.trendView);
    SetUpTelemetryLamp();
    m_historyNote = new QLabel(this);
    m_historyNote->setStyleSheet("color: rgb(200, 0, 0); padding-right: 6px;");
    menuBar()->setCornerWidget(m_historyNote);

    connect(&m_refresh, &QTimer::timeout, this, &MainWindow::Refresh);
    m_refresh.start(500);
}

MainWindow::~MainWindow()
{
    m_bridge.Config().Save(
        {{"ScannerIP", ui->lineEditIP->text()}, {"ProjectID", ui->lineEditProjectID->text()}});
    // No refresh follows that could show it, and a box must not hold up a shutdown.
    m_pendingReports << m_bridge.TakeReports();
    if (!m_pendingReports.isEmpty())
        qWarning().noquote() << m_pendingReports.join('\n');
    delete ui;
}

// Runs every 500 ms. A critical box opened here runs a nested event loop, so further refreshes
// run inside it; what the box is for is marked as shown before it opens.
void MainWindow::Refresh()
{
    const BridgeSnapshot state = m_bridge.Snapshot();
    ui->pushButtonConnect->setText(state.link.clientWanted ? tr("Disconnect") : tr("Connect"));
    ShowRobotLink(state);
    ShowVisionLink(state);
    if (m_telemetryLamp != nullptr)
        SetLamp(m_telemetryLamp,
                state.link.telemetryConnected ? lamp::kBrightGreen : lamp::kNoColour);
    ShowMeasuredValues(state);
    ShowHistoryState(state);
    ShowPendingReports(state);
    SaveFaultCapture();
}

// A note in the menu bar while the history keeps nothing though it is wanted; the box that
// says why comes with the reports.
void MainWindow::ShowHistoryState(const BridgeSnapshot& state)
{
    const QString note = state.history == HistoryState::Paused    ? tr("History paused")
                         : state.history == HistoryState::Stopped ? tr("History off")
                                                                  : QString();
    if (m_historyNote->text() == note)
        return;
    m_historyNote->setText(note);
    m_historyNote->setToolTip(state.history == HistoryState::Paused
                                  ? tr("The disk takes no more. The history is tried again "
                                       "every 5 s and resumes by itself.")
                                  : tr("The history file cannot be used; see the debug log."));
}

// Each text is taken off the queue before its box opens, so a refresh nested in an open box
// shows the next one instead of the same again.
void MainWindow::ShowPendingReports(const BridgeSnapshot& state)
{
    m_pendingReports << m_bridge.TakeReports();
    if (state.link.robotPortBusySpells != m_portBusySpellsShown) {
        m_portBusySpellsShown = state.link.robotPortBusySpells;
        m_pendingReports << tr("Port 5020 is held by another program: the robot cannot connect "
                               "until it is free. The bridge takes the port as soon as it is.");
    }
    if (!m_pendingReports.isEmpty())
        ShowErrorBox(this, m_pendingReports.takeFirst());
}

void MainWindow::ShowRobotLink(const BridgeSnapshot& state)
{
    if (!state.link.robotServerOnline)
        return;
    const bool connected = state.link.robotConnected;
    ui->labelRobotState->setText(connected ? tr("Connected") : tr("Listening"));
    SetLamp(ui->labelRobotConnected, connected ? lamp::kBrightGreen : lamp::kDarkGreen);
}

void MainWindow::ShowVisionLink(const BridgeSnapshot& state)
{
    const LinkSnapshot& link = state.link;
    if (link.visionReady) {
        SetLamp(ui->labelSensorConnected, lamp::kBrightGreen);
        ShowVisionError(state, tr("Error in Tervian communication"));
        SetLamp(ui->labelSensorLaserOn, link.laserOn ? lamp::kBrightGreen : lamp::kDarkGreen);
        ui->labelSensorProgramNr->setText(QString::number(link.loadedProject, 10));
        return;
    }
    if (link.clientConnected) {
        SetLamp(ui->labelSensorConnected, lamp::kDarkGreen);
        ShowVisionError(state, tr("Error in loading or setting up the project"));
    } else {
        SetLamp(ui->labelSensorConnected, link.clientRunning ? lamp::kOrange : lamp::kNoColour);
        SetLamp(ui->labelSensorError, lamp::kNoColour);
    }
    SetLamp(ui->labelSensorLaserOn, lamp::kNoColour);
    ui->labelSensorProgramNr->setText("");
}

// The lamp stays bright red while the client reports an error; a box appears once for each
// failure the bridge has counted since the last box.
void MainWindow::ShowVisionError(const BridgeSnapshot& state, const QString& message)
{
    if (!state.link.visionError) {
        SetLamp(ui->labelSensorError, lamp::kDarkRed);
        return;
    }
    SetLamp(ui->labelSensorError, lamp::kBrightRed);
    if (state.link.visionFailures != m_visionFailuresShown) {
        m_visionFailuresShown = state.link.visionFailures;
        ShowErrorBox(this, message);
    }
}

// The values of one record and the verdict that a joint data reply would carry now, so that the
// window and the robot never disagree on "recognised".
void MainWindow::ShowMeasuredValues(const BridgeSnapshot& state)
{
    QLabel* const valueLabels[] = {ui->labelY, ui->labelZ, ui->labelGap, ui->labelMismatch,
                                   ui->labelArea};
    if (!state.link.streamReading) {
        ui->labelMeasureError->setText("");
        for (QLabel* label : valueLabels)
            label->setText("");
        return;
    }
    ui->labelMeasureError->setText(state.joint.resultCode == robot::kJointRecognised ? tr("Ok")
                                                                                     : tr("Error"));
    for (size_t i = 0; i < state.joint.record.values.size(); ++i)
        valueLabels[i]->setText(FormatValue(state.joint.record.values[i]));
}

// A running client (one just started included) is stopped, so a second press can never start a
// second client. A new address or project is used from the next Connect.
void MainWindow::on_pushButtonConnect_clicked()
{
    if (m_bridge.Snapshot().link.clientRunning) {
        m_bridge.Disconnect();
        ui->pushButtonConnect->setText(tr("Connect"));
    } else {
        m_bridge.Connect(ui->lineEditIP->text().toUtf8().toStdString(),
                         ui->lineEditProjectID->text().toUtf8().toStdString());
        ui->pushButtonConnect->setText(tr("Disconnect"));
    }
}

void MainWindow::on_pushButtonLaserOn_clicked()
{
    m_bridge.WishLaser(true);
}

void MainWindow::on_pushButtonLaserOff_clicked()
{
    m_bridge.WishLaser(false);
}

// Every keystroke writes the settings; programmatic changes only the window's close does.
void MainWindow::on_lineEditIP_textEdited(const QString& text)
{
    m_bridge.Config().Save({{"ScannerIP", text}});
}

void MainWindow::on_lineEditProjectID_textEdited(const QString& text)
{
    m_bridge.Config().Save({{"ProjectID", text}});
}

// The desktop's opener gets a local file URL. It reports only that it found no viewer at all;
// a viewer that then fails says so itself.
void MainWindow::on_actionUser_manual_triggered()
{
    const QString path =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../help/KPLM604.pdf");
    if (!QFileInfo(path).isFile())
        ShowErrorBox(this, tr("The user manual could not be opened: %1 is missing.").arg(path));
    else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        ShowErrorBox(
            this, tr("The user manual could not be opened: no viewer for %1 was found.").arg(path));
}

MainWindow::SavedCapture MainWindow::SaveDiagnostics()
{
    return ::SaveDiagnostics(m_bridge.Parts().capture, m_bridge.Parts().log);
}

void MainWindow::on_actionSave_diagnostics_triggered()
{
    const SavedCapture saved = SaveDiagnostics();
    switch (saved.outcome) {
    case SavedCapture::Off:
        QMessageBox::information(
            this, tr("Capture off"),
            tr("The traffic capture is off (CaptureMinutes=0 in %1), so there is nothing to "
               "save. Set CaptureMinutes to the minutes to keep, for example 10, and start the "
               "bridge again.")
                .arg(QCoreApplication::applicationDirPath() + "/config.txt"));
        break;
    case SavedCapture::Empty:
        QMessageBox::information(this, tr("Nothing to save"),
                                 tr("No traffic has been recorded yet, so nothing was saved."));
        break;
    case SavedCapture::Failed:
        QMessageBox::critical(this, tr("Error"),
                              tr("The diagnostics could not be saved, neither beside the program "
                                 "in %1 nor in the home folder %2.")
                                  .arg(QCoreApplication::applicationDirPath(), QDir::homePath()));
        break;
    case SavedCapture::Saved:
        QMessageBox::information(
            this, tr("Diagnostics saved"),
            tr("The traffic of the last minutes was saved to %1. It holds every robot "
               "request and reply and all vision traffic; open it with Wireshark and the "
               "tervian.lua dissector.")
                .arg(saved.path));
        break;
    }
}

// Called at every refresh.
void MainWindow::SaveFaultCapture()
{
    SaveFaultCaptures(m_bridge.Parts().capture, m_bridge.Parts().log);
}

// The View menu goes before Help; the window opens as it was when the bridge last ended. History...
// opens it on a past range.
void MainWindow::SetUpTrendView(bool shown)
{
    QMenu* view = new QMenu(tr("View"), this);
    menuBar()->insertMenu(ui->menuTools->menuAction(), view);
    m_trendAction = view->addAction(tr("Trend"));
    m_trendAction->setCheckable(true);
    connect(m_trendAction, &QAction::toggled, this, [this](bool checked) {
        ShowTrendView(checked);
        m_bridge.Config().Save({{"TrendView", int(checked)}});
    });
    m_trendAction->setChecked(shown);
    view->addAction(tr("History..."), this, [this] {
        m_trendAction->setChecked(true);
        m_trendView->AskPastRange();
    });
}

// The history takes its memory and records only while the window is shown.
void MainWindow::ShowTrendView(bool shown)
{
    if (m_trendView == nullptr) {
        m_trendView = new TrendView(&m_bridge.Parts().trend, m_bridge.History().Path(), this);
        connect(m_trendView, &TrendView::closed, m_trendAction,
                [this] { m_trendAction->setChecked(false); });
    }
    m_bridge.Parts().trend.SetOpen(shown);
    m_trendView->setVisible(shown);
}

// Beside the default project, where the form leaves room: added here rather than in the form,
// since most cells have no broker and show nothing.
void MainWindow::SetUpTelemetryLamp()
{
    if (!m_bridge.Snapshot().telemetry)
        return;
    auto* caption = new QLabel(tr("Telemetry"), ui->groupBox_4);
    caption->setGeometry(270, 50, 81, 21);
    m_telemetryLamp = new QLabel(ui->groupBox_4);
    m_telemetryLamp->setObjectName("labelTelemetry");
    m_telemetryLamp->setGeometry(360, 50, 21, 21);
    m_telemetryLamp->setFrameStyle(QFrame::WinPanel | QFrame::Raised);
    m_telemetryLamp->setToolTip(tr("Plant telemetry: green while connected to the MQTT broker"));
}
