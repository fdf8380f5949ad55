// Status display and operator commands.
#include "mainwindow.h"
#include "status_lamps.h"
#include "trend_view.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
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

// Runs every 500 ms on the GUI thread. A critical box opened here runs a nested event loop,
// so further refreshes run inside it; every member is therefore read at the step that uses it.
void MainWindow::updateGui()
{
    ShowRobotLink();
    ShowVisionLink();
    ShowMeasuredValues();
    ShowPendingReports();
    SaveFaultCapture();
}

// Each text is taken off the queue before its box opens, so a refresh nested in an open box
// shows the next one instead of the same again.
void MainWindow::ShowPendingReports()
{
    if (m_bShowPortBusyOnce.exchange(false))
        Report(tr("Port 5020 is held by another program: the robot cannot connect until it "
                  "is free. The bridge takes the port as soon as it is."));
    if (!m_pendingReports.isEmpty())
        ShowErrorBox(this, m_pendingReports.takeFirst());
}

void MainWindow::Report(const QString& text)
{
    m_pendingReports << text;
}

void MainWindow::ShowRobotLink()
{
    if (!m_bRobotServerOnline)
        return;
    const bool connected = m_bRobotServerConnected;
    ui->labelRobotState->setText(connected ? tr("Connected") : tr("Listening"));
    SetLamp(ui->labelRobotConnected, connected ? lamp::kBrightGreen : lamp::kDarkGreen);
}

void MainWindow::ShowVisionLink()
{
    if (m_bTervianOk) {
        SetLamp(ui->labelSensorConnected, lamp::kBrightGreen);
        ShowVisionError(tr("Error in Tervian communication"));
        SetLamp(ui->labelSensorLaserOn, m_bLaserOn ? lamp::kBrightGreen : lamp::kDarkGreen);
        ui->labelSensorProgramNr->setText(QString::number(m_iTervianProgram, 10));
        return;
    }
    if (m_bTervianClientConnected) {
        SetLamp(ui->labelSensorConnected, lamp::kDarkGreen);
        ShowVisionError(tr("Error in loading or setting up the project"));
    } else {
        SetLamp(ui->labelSensorConnected,
                m_bTervianClientRunning ? lamp::kOrange : lamp::kNoColour);
        SetLamp(ui->labelSensorError, lamp::kNoColour);
    }
    SetLamp(ui->labelSensorLaserOn, lamp::kNoColour);
    ui->labelSensorProgramNr->setText("");
}

// The lamp stays bright red while the client keeps m_bError set; the box appears once for
// each failure the client reports through m_bShowErrorOnce. Taking the flag in one exchange
// means a report that arrives while the box is open opens one more box instead of being lost.
void MainWindow::ShowVisionError(const QString& message)
{
    if (!m_bError) {
        SetLamp(ui->labelSensorError, lamp::kDarkRed);
        return;
    }
    SetLamp(ui->labelSensorError, lamp::kBrightRed);
    if (m_bShowErrorOnce.exchange(false))
        ShowErrorBox(this, message);
}

// The values of one record and the verdict that a joint data reply would carry now, so that the
// window and the robot never disagree on "recognised".
void MainWindow::ShowMeasuredValues()
{
    QLabel* const valueLabels[] = {ui->labelY, ui->labelZ, ui->labelGap, ui->labelMismatch,
                                   ui->labelArea};
    if (!m_bReadingData) {
        ui->labelMeasureError->setText("");
        for (QLabel* label : valueLabels)
            label->setText("");
        return;
    }
    const JointData data = CurrentJointData(false);
    ui->labelMeasureError->setText(data.resultCode == robot::kJointRecognised ? tr("Ok")
                                                                              : tr("Error"));
    for (size_t i = 0; i < data.record.values.size(); ++i)
        valueLabels[i]->setText(FormatValue(data.record.values[i]));
}

void MainWindow::on_pushButtonLaserOn_clicked()
{
    RequestLaser(true);
}

void MainWindow::on_pushButtonLaserOff_clicked()
{
    RequestLaser(false);
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

// The View menu goes before Help; the window opens as it was when the bridge last ended.
void MainWindow::SetUpTrendView()
{
    QMenu* view = new QMenu(tr("View"), this);
    menuBar()->insertMenu(ui->menuTools->menuAction(), view);
    m_trendAction = view->addAction(tr("Trend"));
    m_trendAction->setCheckable(true);
    connect(m_trendAction, &QAction::toggled, this, [this](bool shown) {
        ShowTrendView(shown);
        WriteTrendViewSetting(shown);
    });
    m_trendAction->setChecked(m_bTrendViewShown);
}

// The model takes its memory and records only while the window is shown.
void MainWindow::ShowTrendView(bool shown)
{
    if (m_trendView == nullptr) {
        m_trendView = new TrendView(&m_trend, this);
        connect(m_trendView, &TrendView::closed, m_trendAction,
                [this] { m_trendAction->setChecked(false); });
    }
    m_trend.SetOpen(shown);
    m_trendView->setVisible(shown);
}
