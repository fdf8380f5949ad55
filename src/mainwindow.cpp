// Lifecycle of the main window: start-up and shutdown order, settings file and debug log.
#include "mainwindow.h"
#include "shutdown_signals.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QIcon>
#include <QSettings>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <unistd.h>

namespace
{

const char* const kDefaultScannerIP = "192.168.100.251";
const char* const kDefaultProjectID = "1";
const char* const kDefaultStaleAfterMs = "1000";
const char* const kDefaultDebugLogMaxMB = "100";
const char* const kDefaultCaptureMinutes = "10";
const char* const kDefaultCaptureMaxMB = "32";
constexpr qint64 kBytesPerMB = 1024 * 1024;
// 1 TiB: more than a cell PC's disk, and far from overflowing when turned into bytes.
constexpr qint64 kLargestDebugLogMaxMB = 1024 * 1024;

QString SettingsPath()
{
    return QCoreApplication::applicationDirPath() + "/config.txt";
}

// A missing or empty key gets its default, written back so the file documents it: always into
// a missing file (whose loss is then reported when it cannot be made), never into one its user
// may not write (an administrator's fixed settings).
bool DocumentDefaults(QSettings* settings)
{
    return settings->isWritable() || !QFile::exists(settings->fileName());
}

QString ReadOrDefault(QSettings* settings, const char* key, const char* fallback)
{
    QVariant stored = settings->value(key, "");
    if (stored == QVariant("") && DocumentDefaults(settings))
        settings->setValue(key, fallback);
    return stored == QVariant("") ? QString(fallback) : stored.toString();
}

// The range a number setting may take, and what stands in for a value that is no number in it.
struct Range {
    qint64 smallest, largest;
    const char* fallback;
};

const Range kDebugLogMaxMB{1, kLargestDebugLogMaxMB, kDefaultDebugLogMaxMB};
const Range kCaptureMinutes{0, capture::kLargestMinutes, kDefaultCaptureMinutes};
const Range kCaptureMaxMB{1, capture::kLargestMaxMB, kDefaultCaptureMaxMB};

// text as a number in range: no number or one below the range gives the fallback, a number
// above it (whatever its size) gives the largest. *fits tells whether text was used.
qint64 InRange(const QString& text, const Range& range, bool* fits)
{
    bool isNumber = false;
    const qint64 value = text.toLongLong(&isNumber);
    *fits = isNumber && value >= range.smallest && value <= range.largest;
    const bool tooLarge =
        isNumber ? value > range.largest
                 : !text.isEmpty() &&
                       std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
    return *fits ? value : tooLarge ? range.largest : QString(range.fallback).toLongLong();
}

// The value of key in the general section as the file spells it, between the "=" and the end of
// the line: QSettings reads some spellings as something other than text, and a ";" starts a
// comment for it, which it would then write back as an empty value. Empty when the key is absent.
QString ValueAsSpelled(const QString& path, const QString& key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QString value;
    bool general = true;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.startsWith('['))
            general = text == "[General]";
        else if (general && text.section('=', 0, 0).trimmed() == key && text.contains('='))
            value = text.section('=', 1).trimmed();
    }
    return value;
}

// RobotAllow as text, whatever form the file holds it in: an INI value with unquoted commas
// reads as a list of texts, "@ByteArray(...)" as bytes. A spelling that QSettings reads as
// nothing (after a ";", or a type it cannot turn into text) is taken as the file spells it and
// set again as text, so that no save of the settings can empty a list that is not empty.
QString RobotAllowText(QSettings* settings)
{
    const QVariant stored = settings->value("RobotAllow");
    const QString text =
        stored.type() == QVariant::StringList ? stored.toStringList().join(',') : stored.toString();
    const QString spelled = ValueAsSpelled(settings->fileName(), "RobotAllow");
    if (!text.trimmed().isEmpty() || QString(spelled).remove('"').trimmed().isEmpty())
        return text;
    if (DocumentDefaults(settings))
        settings->setValue("RobotAllow", spelled);
    return spelled;
}

// A value that is no count must not switch the age bound or the capture off, as 0 would.
int CountOrDefault(const QString& text, const char* fallback)
{
    bool ok = false;
    const int count = text.toInt(&ok);
    return ok && count >= 0 ? count : QString(fallback).toInt();
}

// Why the settings file cannot be written, in the system's words where it has them.
QString SettingsProblem(const QString& path, QSettings::Status status)
{
    if (status == QSettings::FormatError)
        return QCoreApplication::translate("MainWindow", "it is not in INI format");
    if (::access(QFile::encodeName(path).constData(), W_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QCoreApplication::translate("MainWindow", "it could not be written");
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(tr("Tervian Yaskawa Interface V%1").arg(BRIDGE_VERSION));
    setWindowIcon(QIcon(":/tervian.ico"));
    setFixedSize(420, 378);

    connect(&qTimer, &QTimer::timeout, this, &MainWindow::updateGui);
    connect(ui->pushButtonConnect, &QPushButton::clicked, this, &MainWindow::ConnectToTervian);

    OpenDebugLog();

    qTimer.setInterval(500);
    qTimer.start();

    for (QLabel* label : {ui->labelMeasureError, ui->labelY, ui->labelZ, ui->labelGap,
                          ui->labelMismatch, ui->labelArea})
        label->setText("");

    // Measurement records always use a point as decimal separator.
    setlocale(LC_NUMERIC, "en_US");

    m_EventActivateLaser = events::CreateEvent(false, false);
    m_EventDeactivateLaser = events::CreateEvent(false, false);
    m_EventSwitchProgram = events::CreateEvent(false, false);

    ReadSettings();
    SetUpTrendView();

    m_bExitRobotThread = false;
    pRobotThread = StartWithoutSignals(RobotThread, this);

    ConnectToTervian();
}

MainWindow::~MainWindow()
{
    WriteLineEditSettings();
    // No refresh follows that could show it, and a box must not hold up a shutdown.
    if (!m_pendingReports.isEmpty())
        qWarning().noquote() << m_pendingReports.join('\n');

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
    m_bLaserOn = on;
}

// The wish is stored before it is counted and the client nudged, so that the client, which
// reads the count first, never takes an older wish for a newer one.
void MainWindow::RequestLaser(bool on)
{
    m_bLaserWanted = on;
    ++m_iLaserAsks;
    events::SetEvent(on ? m_EventActivateLaser : m_EventDeactivateLaser);
}

void MainWindow::RequestProgram(int program)
{
    m_iRobotProgram = program;
    ++m_iProgramAsks;
    events::SetEvent(m_EventSwitchProgram);
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

// The one place that opens the settings. Every change is flushed and then the file systems
// are synced, so a setting survives a power cut of the cell. The installed bin/ is root's and
// only config.txt is the operators' to write, so QSettings rewrites the file in place when it
// cannot put a new one beside it. A file the user may not write, such as one an administrator
// made read-only, QSettings leaves untouched.
template <typename Change> void MainWindow::ChangeSettings(Change change)
{
    QSettings settings(SettingsPath(), QSettings::IniFormat);
    change(&settings);
    RobotAllowText(&settings); // an administrator may have edited the file meanwhile
    settings.setAtomicSyncRequired(false);
    settings.sync();
    ::sync();
    ShareWithFolderGroup(SettingsPath());
    NoteSettingsStatus(settings.status());
}

void MainWindow::NoteSettingsStatus(int status)
{
    const bool failed = status != QSettings::NoError;
    if (failed && !m_bSettingsUnsaved)
        Report(
            tr("The settings could not be saved to %1: %2. The bridge works on with the "
               "values in the window; they are lost when it closes.")
                .arg(SettingsPath(), SettingsProblem(SettingsPath(), QSettings::Status(status))));
    m_bSettingsUnsaved = failed;
}

void MainWindow::ReadSettings()
{
    ChangeSettings([this](QSettings* settings) {
        ui->lineEditIP->setText(ReadOrDefault(settings, "ScannerIP", kDefaultScannerIP));
        ui->lineEditProjectID->setText(ReadOrDefault(settings, "ProjectID", kDefaultProjectID));
        m_bdebugLog = QVariant(ReadOrDefault(settings, "DebugLog", "0")).toBool();
        const QString maxText = ReadOrDefault(settings, "DebugLogMaxMB", kDefaultDebugLogMaxMB);
        bool fits = false;
        const qint64 maxMB = InRange(maxText, kDebugLogMaxMB, &fits);
        const bool times = QVariant(ReadOrDefault(settings, "DebugLogTimes", "0")).toBool();
        m_logFile.Configure(maxMB * kBytesPerMB, times);
        if (!fits)
            WriteLog("DebugLogMaxMB=", maxText.toStdString(),
                     " is no bound from 1 to 1048576; the log is bound at ", maxMB, " MiB\n");
        m_iStaleAfterMs = CountOrDefault(
            ReadOrDefault(settings, "StaleAfterMs", kDefaultStaleAfterMs), kDefaultStaleAfterMs);
        m_bTrendViewShown = QVariant(ReadOrDefault(settings, "TrendView", "0")).toBool();
        ReadRobotAllow(settings);
        const QString minutesText =
            ReadOrDefault(settings, "CaptureMinutes", kDefaultCaptureMinutes);
        const qint64 captureMinutes = InRange(minutesText, kCaptureMinutes, &fits);
        if (!fits)
            WriteLog("CaptureMinutes=", minutesText.toStdString(),
                     " is no number from 0 to 1440; the capture keeps ", captureMinutes,
                     " minutes\n");
        const QString captureMBText = ReadOrDefault(settings, "CaptureMaxMB", kDefaultCaptureMaxMB);
        const qint64 captureMB = InRange(captureMBText, kCaptureMaxMB, &fits);
        if (!fits)
            WriteLog("CaptureMaxMB=", captureMBText.toStdString(),
                     " is no bound from 1 to 512; the capture is bound at ", captureMB, " MiB\n");
        m_capture.Configure(int(captureMinutes), size_t(captureMB) * kBytesPerMB);
    });
}

// Empty, the default, admits every peer; the key is written only when missing, so that an
// empty value is never rewritten at every start. Any other value is read as text, whatever form
// the file holds it in, and admits only the addresses it lists.
void MainWindow::ReadRobotAllow(QSettings* settings)
{
    if (!settings->contains("RobotAllow") && DocumentDefaults(settings))
        settings->setValue("RobotAllow", "");
    const QString text = RobotAllowText(settings);
    m_robotAllow = robot_allow::Parse(text.toStdString());
    QStringList malformed;
    for (const std::string& entry : m_robotAllow.malformed)
        malformed << QString::fromStdString(entry);
    if (m_robotAllow.restricted && m_robotAllow.ranges.empty()) {
        WriteLog("RobotAllow=", text.toStdString(),
                 " lists no IPv4 address or range: no robot is admitted\n");
        Report(tr("RobotAllow in %1 is \"%2\", which lists no IPv4 address or range. No robot may "
                  "connect.")
                   .arg(SettingsPath(), text));
    } else if (!malformed.isEmpty()) {
        WriteLog("RobotAllow=", text.toStdString(),
                 " has entries that admit no one: ", malformed.join(", ").toStdString(), "\n");
        Report(tr("RobotAllow in %1 holds entries that are neither IPv4 addresses nor ranges: "
                  "%2. They are ignored and admit no one.")
                   .arg(SettingsPath(), malformed.join(", ")));
    }
}

void MainWindow::WriteLineEditSettings()
{
    ChangeSettings([this](QSettings* settings) {
        settings->setValue("ScannerIP", ui->lineEditIP->text());
        settings->setValue("ProjectID", ui->lineEditProjectID->text());
    });
}

void MainWindow::WriteTrendViewSetting(bool shown)
{
    ChangeSettings([shown](QSettings* settings) { settings->setValue("TrendView", int(shown)); });
}

void MainWindow::on_lineEditIP_textEdited(const QString&)
{
    ChangeSettings(
        [this](QSettings* settings) { settings->setValue("ScannerIP", ui->lineEditIP->text()); });
}

void MainWindow::on_lineEditProjectID_textEdited(const QString&)
{
    ChangeSettings([this](QSettings* settings) {
        settings->setValue("ProjectID", ui->lineEditProjectID->text());
    });
}

// The previous run's log is kept as DebugLog.old.txt, whether or not the log is on now.
void MainWindow::OpenDebugLog()
{
    const QString folder = QCoreApplication::applicationDirPath();
    if (!m_logFile.Open(folder + "/DebugLog.txt", folder + "/DebugLog.old.txt"))
        qDebug() << "Error: Cannnot open the log file";
}

void MainWindow::WriteLogEntry(const QString& entry)
{
    std::lock_guard<std::mutex> lock(m_mutexDebug);
    m_logFile.Write(entry, QDateTime::currentDateTime());
}

// Every worker flushes before it sleeps, so that the file is up to date while nothing happens.
void MainWindow::FlushLog()
{
    if (!m_bdebugLog)
        return;
    std::lock_guard<std::mutex> lock(m_mutexDebug);
    m_logFile.Flush(QDateTime::currentDateTime());
}

void MainWindow::CloseDebugLog()
{
    m_logFile.Close(QDateTime::currentDateTime());
}
