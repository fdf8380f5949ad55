// Lifecycle of the main window: start-up and shutdown order, settings file and debug log.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QIcon>
#include <QSettings>

#include <clocale>
#include <unistd.h>

namespace
{

const char* const kDefaultScannerIP = "192.168.100.251";
const char* const kDefaultProjectID = "1";
const char* const kDefaultStaleAfterMs = "1000";

QString SettingsPath()
{
    return QCoreApplication::applicationDirPath() + "/config.txt";
}

// Flushes QSettings and then the file systems, so a setting survives a power cut of the cell.
// The installed bin/ is root's and only config.txt is the operators' to write, so QSettings
// rewrites the file in place when it cannot put a new one beside it. A file the user may not
// write, such as one an administrator made read-only, QSettings leaves untouched.
void SyncSettings(QSettings* settings)
{
    settings->setAtomicSyncRequired(false);
    settings->sync();
    ::sync();
}

// A missing or empty key gets its default, written back so the file documents it.
QString ReadOrDefault(QSettings* settings, const char* key, const char* fallback)
{
    QVariant stored = settings->value(key, "");
    if (stored == QVariant(""))
        settings->setValue(key, fallback);
    return stored == QVariant("") ? QString(fallback) : stored.toString();
}

// A value that is no count of milliseconds must not switch the age bound off, as 0 would.
int StaleAfterMs(const QString& text)
{
    bool ok = false;
    const int ms = text.toInt(&ok);
    return ok && ms >= 0 ? ms : QString(kDefaultStaleAfterMs).toInt();
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowTitle("Tervian Yaskawa Interface V2.0.1");
    setWindowIcon(QIcon(":/tervian.ico"));
    setFixedSize(420, 378);

    connect(&qTimer, &QTimer::timeout, this, &MainWindow::updateGui);
    connect(ui->pushButtonConnect, &QPushButton::clicked, this, &MainWindow::ConnectToTervian);

    OpenDebugLog();

    qTimer.setInterval(500);
    qTimer.start();

    m_bRecognitionOK = false;
    m_dX = m_dZ = m_dZDiff = m_dWidth = m_dArea = 0.0;
    m_bScannnerOk = false;
    m_bTervianOk = false;
    m_bLaserOn = false;
    m_bError = true;
    m_bBadprojectName = false;
    m_bdebugLog = false;
    m_bShowErrorOnce = false;
    m_bRobotServerOnline = false;
    m_bRobotServerConnected = false;
    m_bTervianClientRunning = false;
    m_bTervianClientConnected = false;
    m_bReadingData = false;
    m_iTervianProgram = 0;
    m_iRobotProgram = -1;
    m_iExposureTime = 0;
    m_bExitValuesThread = false;
    // Zeroed so that a resend before any reply was built can never leak stale memory.
    std::fill(std::begin(m_cRecRobotBuffer), std::end(m_cRecRobotBuffer), 0);
    std::fill(std::begin(m_cSendRobotBuffer), std::end(m_cSendRobotBuffer), 0);

    for (QLabel* label : {ui->labelMeasureError, ui->labelY, ui->labelZ, ui->labelGap,
                          ui->labelMismatch, ui->labelArea})
        label->setText("");

    // Measurement records always use a point as decimal separator.
    setlocale(LC_NUMERIC, "en_US");

    m_EventActivateLaser = events::CreateEvent(false, false);
    m_EventDeactivateLaser = events::CreateEvent(false, false);
    m_EventSwitchProgram = events::CreateEvent(false, false);

    ReadSettings();

    m_bExitRobotThread = false;
    pRobotThread = std::make_unique<std::thread>(RobotThread, this);

    ConnectToTervian();
}

MainWindow::~MainWindow()
{
    WriteLineEditSettings();

    m_bExitRobotThread = true;
    m_bExitScannerThread = true;
    m_bExitValuesThread = true;

    for (std::unique_ptr<std::thread>* thread : {&pRobotThread, &pScannerThread, &pValuesThread})
        if (*thread != nullptr) {
            (*thread)->join();
            thread->reset();
        }

    CloseDebugLog();
    delete ui;
}

// Both the robot's laser requests and the client's confirmations write the flag; the lock keeps
// each store whole against the other writer.
void MainWindow::SetLaserOn(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex2);
    if (on && !m_bLaserOn)
        m_tLaserSwitchedOn = SteadyClock::now();
    m_bLaserOn = on;
}

void MainWindow::RequestLaser(bool on)
{
    m_bLaserWanted = on;
    events::SetEvent(on ? m_EventActivateLaser : m_EventDeactivateLaser);
}

void MainWindow::RobotThread(MainWindow* obj)
{
    obj->RobotServer();
}

void MainWindow::TervianThread(MainWindow* obj)
{
    obj->TervianClient();
}

void MainWindow::ReadDataThread(MainWindow* obj)
{
    obj->ReadMeasuredData();
}

void MainWindow::ReadSettings()
{
    QSettings settings(SettingsPath(), QSettings::IniFormat);
    ui->lineEditIP->setText(ReadOrDefault(&settings, "ScannerIP", kDefaultScannerIP));
    ui->lineEditProjectID->setText(ReadOrDefault(&settings, "ProjectID", kDefaultProjectID));
    m_bdebugLog = QVariant(ReadOrDefault(&settings, "DebugLog", "0")).toBool();
    m_iStaleAfterMs = StaleAfterMs(ReadOrDefault(&settings, "StaleAfterMs", kDefaultStaleAfterMs));
    SyncSettings(&settings);
}

void MainWindow::WriteLineEditSettings()
{
    QSettings settings(SettingsPath(), QSettings::IniFormat);
    settings.setValue("ScannerIP", ui->lineEditIP->text());
    settings.setValue("ProjectID", ui->lineEditProjectID->text());
    SyncSettings(&settings);
}

void MainWindow::on_lineEditIP_textEdited(const QString&)
{
    QSettings settings(SettingsPath(), QSettings::IniFormat);
    settings.setValue("ScannerIP", ui->lineEditIP->text());
    SyncSettings(&settings);
}

void MainWindow::on_lineEditProjectID_textEdited(const QString&)
{
    QSettings settings(SettingsPath(), QSettings::IniFormat);
    settings.setValue("ProjectID", ui->lineEditProjectID->text());
    SyncSettings(&settings);
}

void MainWindow::OpenDebugLog()
{
    QString path = QCoreApplication::applicationDirPath() + "/DebugLog.txt";
    m_pFileDebug = new QFile(path);
    m_pStreamDebug = new QTextStream(m_pFileDebug);
    // Emptied rather than removed and created anew: the file keeps the owner, group and mode
    // the installation gave it, so the operators can still write it after anyone's run, root's
    // included, in a folder where they may not create files.
    if (!m_pFileDebug->open(QIODevice::Append | QIODevice::Truncate))
        qDebug() << "Error: Cannnot open the log file";
}

// Every worker flushes before it sleeps, so that the file is up to date while nothing happens.
void MainWindow::FlushLog()
{
    if (!m_bdebugLog)
        return;
    std::lock_guard<std::mutex> lock(m_mutexDebug);
    m_pStreamDebug->flush();
}

void MainWindow::CloseDebugLog()
{
    m_pStreamDebug->flush();
    m_pFileDebug->close();
    delete m_pStreamDebug;
    delete m_pFileDebug;
}
