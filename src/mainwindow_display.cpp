// Status display and operator commands.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include <array>

namespace
{

// Lamp colours: a bright colour marks the active state of a link that is up, the dark shade
// of the same hue its inactive state; no colour at all means the link is down.
const char* const kBrightGreen = "QLabel {background: rgb(0, 255, 0);}";
const char* const kDarkGreen = "QLabel {background: rgb(30, 70, 30);}";
const char* const kBrightRed = "QLabel {background: rgb(255, 0, 0);}";
const char* const kDarkRed = "QLabel {background: rgb(70, 30, 30);}";
const char* const kOrange = "QLabel {background: orange;}";
const char* const kNoColour = "";

QString FormatValue(double value)
{
    return QString::number(value, 'f', 2);
}

} // namespace

// Runs every 500 ms on the GUI thread. A critical box opened here runs a nested event loop,
// so further refreshes run inside it; every member is therefore read at the step that uses it.
void MainWindow::updateGui()
{
    ShowRobotLink();
    ShowVisionLink();
    ShowMeasuredValues();
}

void MainWindow::ShowRobotLink()
{
    if (!m_bRobotServerOnline)
        return;
    const bool connected = m_bRobotServerConnected;
    ui->labelRobotState->setText(connected ? "Connected" : "Listening");
    ui->labelRobotConnected->setStyleSheet(connected ? kBrightGreen : kDarkGreen);
}

void MainWindow::ShowVisionLink()
{
    if (m_bTervianOk) {
        ui->labelSensorConnected->setStyleSheet(kBrightGreen);
        ShowVisionError("Error in Tervian communication");
        ui->labelSensorLaserOn->setStyleSheet(m_bLaserOn ? kBrightGreen : kDarkGreen);
        ui->labelSensorProgramNr->setText(QString::number(m_iTervianProgram, 10));
        return;
    }
    if (m_bTervianClientConnected) {
        ui->labelSensorConnected->setStyleSheet(kDarkGreen);
        ShowVisionError("Error in loading or setting up the project");
    } else {
        ui->labelSensorConnected->setStyleSheet(m_bTervianClientRunning ? kOrange : kNoColour);
        ui->labelSensorError->setStyleSheet(kNoColour);
    }
    ui->labelSensorLaserOn->setStyleSheet(kNoColour);
    ui->labelSensorProgramNr->setText("");
}

// The lamp stays bright red while the client keeps m_bError set; the box appears once for
// each failure the client reports through m_bShowErrorOnce. Taking the flag in one exchange
// means a report that arrives while the box is open opens one more box instead of being lost.
void MainWindow::ShowVisionError(const char* message)
{
    if (!m_bError) {
        ui->labelSensorError->setStyleSheet(kDarkRed);
        return;
    }
    ui->labelSensorError->setStyleSheet(kBrightRed);
    if (m_bShowErrorOnce.exchange(false))
        QMessageBox::critical(this, "Error", message, QMessageBox::Ok, QMessageBox::NoButton);
}

// The Stream thread writes a whole record under m_mutex1; copying it under the same lock keeps
// the flag and the five values of one record together, and the lock is released before any
// widget changes.
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
    bool recognised = false;
    std::array<double, 5> values;
    {
        std::lock_guard<std::mutex> lock(m_mutex1);
        recognised = m_bRecognitionOK;
        values = {m_dX, m_dZ, m_dWidth, m_dZDiff, m_dArea};
    }
    ui->labelMeasureError->setText(recognised && m_bLaserOn ? "Ok" : "Error");
    for (size_t i = 0; i < values.size(); ++i)
        valueLabels[i]->setText(FormatValue(values[i]));
}

void MainWindow::on_pushButtonLaserOn_clicked()
{
    events::SetEvent(m_EventActivateLaser);
}

void MainWindow::on_pushButtonLaserOff_clicked()
{
    events::SetEvent(m_EventDeactivateLaser);
}

// The path stays as built, "bin/../help", and goes to the desktop's opener without a file
// scheme; a missing manual or viewer is not reported.
void MainWindow::on_actionUser_manual_triggered()
{
    QString path = QCoreApplication::applicationDirPath() + "/../help/KPLM604.pdf";
    QDesktopServices::openUrl(QUrl(path));
}
