#include "settings.h"

#include "capture.h"
#include "debug_log.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
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
const char* const kDefaultHistoryDays = "30";
const char* const kDefaultHistoryMaxMB = "1024";
constexpr qint64 kBytesPerMB = 1024 * 1024;
// 1 TiB: more than a cell PC's disk, and far from overflowing when turned into bytes.
constexpr qint64 kLargestDebugLogMaxMB = 1024 * 1024;

QString Tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
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
const Range kMqttRatePerSecond{1, 1000, "10"};
const Range kMqttBufferMB{0, 1024, "8"};
const Range kHistoryDays{1, 3650, kDefaultHistoryDays};
const Range kHistoryMaxMB{1, kLargestDebugLogMaxMB, kDefaultHistoryMaxMB};

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

// A port from 0 to 65535; anything else gives the default.
uint16_t PortOrDefault(const QVariant& stored, uint16_t fallback)
{
    bool ok = false;
    const int port = stored.toString().toInt(&ok);
    return ok && port >= 0 && port <= 65535 ? uint16_t(port) : fallback;
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
        return Tr("it is not in INI format");
    if (::access(QFile::encodeName(path).constData(), W_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return Tr("it could not be written");
}

} // namespace

Settings::Settings(const QString& folder) : m_path(folder + "/config.txt") {}

// The one place that opens the settings. Every change is flushed and then the file systems
// are synced, so a setting survives a power cut of the cell. The installed bin/ is root's and
// only config.txt is the operators' to write, so QSettings rewrites the file in place when it
// cannot put a new one beside it. A file the user may not write, such as one an administrator
// made read-only, QSettings leaves untouched.
template <typename Change> void Settings::ChangeFile(Change change)
{
    QSettings settings(m_path, QSettings::IniFormat);
    change(&settings);
    RobotAllowText(&settings); // an administrator may have edited the file meanwhile
    settings.setAtomicSyncRequired(false);
    settings.sync();
    ::sync();
    ShareWithFolderGroup(m_path);
    NoteFileStatus(settings.status());
}

void Settings::NoteFileStatus(int status)
{
    const bool failed = status != QSettings::NoError;
    if (failed && !m_unsaved)
        m_reports << Tr("The settings could not be saved to %1: %2. The bridge works on with the "
                        "values in the window; they are lost when it closes.")
                         .arg(m_path, SettingsProblem(m_path, QSettings::Status(status)));
    m_unsaved = failed;
}

void Settings::Save(std::initializer_list<std::pair<const char*, QVariant>> values)
{
    ChangeFile([values](QSettings* settings) {
        for (const auto& [key, value] : values)
            settings->setValue(key, value);
    });
}

void Settings::Load()
{
    ChangeFile([this](QSettings* settings) {
        m_values.scannerIp = ReadOrDefault(settings, "ScannerIP", kDefaultScannerIP);
        m_values.projectId = ReadOrDefault(settings, "ProjectID", kDefaultProjectID);
        ReadDebugLog(settings);
        m_values.staleAfterMs = CountOrDefault(
            ReadOrDefault(settings, "StaleAfterMs", kDefaultStaleAfterMs), kDefaultStaleAfterMs);
        m_values.trendView = QVariant(ReadOrDefault(settings, "TrendView", "0")).toBool();
        ReadRobotAllow(settings);
        ReadCapture(settings);
        ReadHistory(settings);
        ReadPorts(settings);
        ReadTelemetry(settings);
    });
}

void Settings::ReadDebugLog(QSettings* settings)
{
    m_values.debugLog = QVariant(ReadOrDefault(settings, "DebugLog", "0")).toBool();
    const QString maxText = ReadOrDefault(settings, "DebugLogMaxMB", kDefaultDebugLogMaxMB);
    bool fits = false;
    const qint64 maxMB = InRange(maxText, kDebugLogMaxMB, &fits);
    m_values.debugLogMaxBytes = maxMB * kBytesPerMB;
    m_values.debugLogTimes = QVariant(ReadOrDefault(settings, "DebugLogTimes", "0")).toBool();
    if (!fits)
        m_logNotes << DebugLog::Compose("DebugLogMaxMB=", maxText.toStdString(),
                                        " is no bound from 1 to 1048576; the log is bound at ",
                                        maxMB, " MiB\n");
}

// Empty, the default, admits every peer; the key is written only when missing, so that an
// empty value is never rewritten at every start. Any other value is read as text, whatever form
// the file holds it in, and admits only the addresses it lists.
void Settings::ReadRobotAllow(QSettings* settings)
{
    if (!settings->contains("RobotAllow") && DocumentDefaults(settings))
        settings->setValue("RobotAllow", "");
    const QString text = RobotAllowText(settings);
    m_values.robotAllow = robot_allow::Parse(text.toStdString());
    QStringList malformed;
    for (const std::string& entry : m_values.robotAllow.malformed)
        malformed << QString::fromStdString(entry);
    if (m_values.robotAllow.restricted && m_values.robotAllow.ranges.empty()) {
        m_logNotes << DebugLog::Compose("RobotAllow=", text.toStdString(),
                                        " lists no IPv4 address or range: no robot is admitted\n");
        m_reports << Tr("RobotAllow in %1 is \"%2\", which lists no IPv4 address or range. No "
                        "robot may connect.")
                         .arg(m_path, text);
    } else if (!malformed.isEmpty()) {
        m_logNotes << DebugLog::Compose(
            "RobotAllow=", text.toStdString(),
            " has entries that admit no one: ", malformed.join(", ").toStdString(), "\n");
        m_reports << Tr("RobotAllow in %1 holds entries that are neither IPv4 addresses nor "
                        "ranges: %2. They are ignored and admit no one.")
                         .arg(m_path, malformed.join(", "));
    }
}

void Settings::ReadCapture(QSettings* settings)
{
    bool fits = false;
    const QString minutesText = ReadOrDefault(settings, "CaptureMinutes", kDefaultCaptureMinutes);
    m_values.captureMinutes = int(InRange(minutesText, kCaptureMinutes, &fits));
    if (!fits)
        m_logNotes << DebugLog::Compose("CaptureMinutes=", minutesText.toStdString(),
                                        " is no number from 0 to 1440; the capture keeps ",
                                        m_values.captureMinutes, " minutes\n");
    const QString maxText = ReadOrDefault(settings, "CaptureMaxMB", kDefaultCaptureMaxMB);
    const qint64 maxMB = InRange(maxText, kCaptureMaxMB, &fits);
    m_values.captureMaxBytes = size_t(maxMB) * kBytesPerMB;
    if (!fits)
        m_logNotes << DebugLog::Compose("CaptureMaxMB=", maxText.toStdString(),
                                        " is no bound from 1 to 512; the capture is bound at ",
                                        maxMB, " MiB\n");
}

void Settings::ReadHistory(QSettings* settings)
{
    m_values.history = QVariant(ReadOrDefault(settings, "History", "1")).toBool();
    bool fits = false;
    const QString daysText = ReadOrDefault(settings, "HistoryDays", kDefaultHistoryDays);
    m_values.historyDays = int(InRange(daysText, kHistoryDays, &fits));
    if (!fits)
        m_logNotes << DebugLog::Compose("HistoryDays=", daysText.toStdString(),
                                        " is no number from 1 to 3650; the history keeps ",
                                        m_values.historyDays, " days\n");
    const QString maxText = ReadOrDefault(settings, "HistoryMaxMB", kDefaultHistoryMaxMB);
    const qint64 maxMB = InRange(maxText, kHistoryMaxMB, &fits);
    m_values.historyMaxBytes = maxMB * kBytesPerMB;
    if (!fits)
        m_logNotes << DebugLog::Compose("HistoryMaxMB=", maxText.toStdString(),
                                        " is no bound from 1 to 1048576; the history is bound at ",
                                        maxMB, " MiB\n");
}

// Ports are for tests and unusual cells; a file that does not name them keeps the defaults and
// is not given them.
void Settings::ReadPorts(QSettings* settings)
{
    m_values.robotPort = PortOrDefault(settings->value("RobotPort"), m_values.robotPort);
    m_values.commandPort = PortOrDefault(settings->value("CommandPort"), m_values.commandPort);
    m_values.streamPort = PortOrDefault(settings->value("StreamPort"), m_values.streamPort);
}

// The broker as host, host:port or [IPv6]:port. Anything that cannot be one, an id that MQTT
// topics cannot carry or a file that cannot be read leaves telemetry off, reported as any
// unusable setting.
void Settings::ReadTelemetry(QSettings* settings)
{
    const QString broker = settings->value("MqttBroker").toString().trimmed();
    if (broker.isEmpty())
        return;
    const QRegularExpression form(R"(^(\[[0-9A-Fa-f:.]+\]|[^\s:\[\]]+)(?::(\d{1,5}))?$)");
    const QRegularExpressionMatch parts = form.match(broker);
    const int port = parts.captured(2).isEmpty() ? 0 : parts.captured(2).toInt();
    if (!parts.hasMatch() || port > 65535 || (!parts.captured(2).isEmpty() && port == 0)) {
        ReportTelemetryOff(
            DebugLog::Compose("MqttBroker=", broker.toStdString(),
                              " is no host or host:port; plant telemetry is off\n"),
            Tr("MqttBroker in %1 is \"%2\", which is no host name or address with an optional "
               "port. Plant telemetry is off.")
                .arg(m_path, broker));
        return;
    }
    ReadTelemetryBounds(settings);
    if (!ReadTelemetryIds(settings) || !ReadTelemetryFiles(settings))
        return;
    m_values.mqttHost = parts.captured(1).remove('[').remove(']');
    m_values.mqttPort = uint16_t(port);
}

void Settings::ReadTelemetryBounds(QSettings* settings)
{
    bool fits = false;
    const QString rateText = settings->value("MqttRatePerSecond", "10").toString().trimmed();
    m_values.mqttRatePerSecond = int(InRange(rateText, kMqttRatePerSecond, &fits));
    if (!fits)
        m_logNotes << DebugLog::Compose("MqttRatePerSecond=", rateText.toStdString(),
                                        " is no number from 1 to 1000; a metric is sent at most ",
                                        m_values.mqttRatePerSecond, " times a second\n");
    const QString bufferText = settings->value("MqttBufferMB", "8").toString().trimmed();
    const qint64 bufferMB = InRange(bufferText, kMqttBufferMB, &fits);
    m_values.mqttBufferBytes = size_t(bufferMB) * kBytesPerMB;
    if (!fits)
        m_logNotes << DebugLog::Compose("MqttBufferMB=", bufferText.toStdString(),
                                        " is no bound from 0 to 1024; telemetry keeps at most ",
                                        bufferMB, " MiB while the broker is away\n");
}

bool Settings::ReadTelemetryIds(QSettings* settings)
{
    m_values.mqttGroup = settings->value("MqttGroup", "tervian").toString().trimmed();
    m_values.mqttNode = settings->value("MqttNode").toString().trimmed();
    if (m_values.mqttNode.isEmpty())
        m_values.mqttNode = QSysInfo::machineHostName();
    m_values.mqttPrimaryHost = settings->value("MqttPrimaryHost").toString().trimmed();
    const std::pair<const char*, QString> ids[] = {{"MqttGroup", m_values.mqttGroup},
                                                   {"MqttNode", m_values.mqttNode},
                                                   {"MqttPrimaryHost", m_values.mqttPrimaryHost}};
    for (const auto& [key, id] : ids) {
        if (id.isEmpty() ? QString(key) != "MqttPrimaryHost"
                         : id.contains(QRegularExpression("[+#/]"))) {
            ReportTelemetryOff(
                DebugLog::Compose(key, "=", id.toStdString(),
                                  " is empty or holds +, # or /; plant telemetry is off\n"),
                Tr("%1 in %2 is \"%3\": an MQTT name must not be empty or hold +, # or /. "
                   "Plant telemetry is off.")
                    .arg(key, m_path, id));
            return false;
        }
    }
    return true;
}

// The password lives in a file of its own, which the service's user alone may read; its first
// line is the password.
bool Settings::ReadTelemetryFiles(QSettings* settings)
{
    m_values.mqttUser = settings->value("MqttUser").toString().trimmed();
    m_values.mqttCaFile = settings->value("MqttCaFile").toString().trimmed();
    m_values.mqttCertFile = settings->value("MqttCertFile").toString().trimmed();
    m_values.mqttKeyFile = settings->value("MqttKeyFile").toString().trimmed();
    const QString passwordFile = settings->value("MqttPasswordFile").toString().trimmed();
    const std::pair<const char*, QString> files[] = {{"MqttPasswordFile", passwordFile},
                                                     {"MqttCaFile", m_values.mqttCaFile},
                                                     {"MqttCertFile", m_values.mqttCertFile},
                                                     {"MqttKeyFile", m_values.mqttKeyFile}};
    for (const auto& [key, path] : files) {
        QFile file(path);
        if (path.isEmpty() || file.open(QIODevice::ReadOnly))
            continue;
        ReportTelemetryOff(DebugLog::Compose(key, "=", path.toStdString(),
                                             " cannot be read; plant telemetry is off\n"),
                           Tr("%1 in %2 names \"%3\", which cannot be read: %4. Plant "
                              "telemetry is off.")
                               .arg(key, m_path, path, file.errorString()));
        return false;
    }
    if (m_values.mqttCertFile.isEmpty() != m_values.mqttKeyFile.isEmpty()) {
        ReportTelemetryOff(
            "MqttCertFile and MqttKeyFile go together; plant telemetry is off\n",
            Tr("MqttCertFile and MqttKeyFile in %1 go together: set both or neither. Plant "
               "telemetry is off.")
                .arg(m_path));
        return false;
    }
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        file.open(QIODevice::ReadOnly);
        m_values.mqttPassword = QString::fromUtf8(file.readLine()).remove('\n').remove('\r');
    }
    return true;
}

void Settings::ReportTelemetryOff(const QString& logLine, const QString& report)
{
    m_logNotes << logLine;
    m_reports << report;
}
