// The settings: config.txt beside the program, every key with its default and range, and the
// texts that report a value that cannot be used or a file that cannot be written.
#ifndef SETTINGS_H
#define SETTINGS_H

#include "robot_allow.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

class QSettings;

class Settings
{
public:
    struct Values {
        QString scannerIp = "192.168.100.251";
        QString projectId = "1";
        bool debugLog = false;
        qint64 debugLogMaxBytes = 100 * 1024 * 1024;
        bool debugLogTimes = false;
        int staleAfterMs = 1000;
        bool trendView = false;
        robot_allow::AllowList robotAllow;
        int captureMinutes = 10;
        size_t captureMaxBytes = 32 * 1024 * 1024;
        bool history = true;
        int historyDays = 30;
        qint64 historyMaxBytes = 1024LL * 1024 * 1024;
        // Read when present, never written: 0 for the robot port means any free port.
        uint16_t robotPort = 5020;
        uint16_t commandPort = 32001;
        uint16_t streamPort = 32002;
        // Plant telemetry, off while no broker is set; read when present, never written.
        QString mqttHost;
        uint16_t mqttPort = 0; // 0: 1883, or 8883 with TLS
        QString mqttGroup = "tervian";
        QString mqttNode; // empty: the host name
        QString mqttUser;
        QString mqttPassword; // from the file that MqttPasswordFile names
        QString mqttCaFile;
        QString mqttCertFile;
        QString mqttKeyFile;
        QString mqttPrimaryHost;
        int mqttRatePerSecond = 10;
        size_t mqttBufferBytes = 8 * 1024 * 1024;
    };

    // The settings of the bridge whose program lies in folder.
    explicit Settings(const QString& folder);

    // Reads every key; a missing or empty one gets its default, written into the file.
    void Load();
    const Values& Get() const { return m_values; }
    QString Path() const { return m_path; }

    // Sets the keys in the file at once.
    void Save(std::initializer_list<std::pair<const char*, QVariant>> values);

    // Entries for the debug log and texts for the operator about values that cannot be used
    // or a file that cannot be written, each handed out once.
    QStringList TakeLogNotes() { return std::exchange(m_logNotes, {}); }
    QStringList TakeReports() { return std::exchange(m_reports, {}); }

private:
    template <typename Change> void ChangeFile(Change change);
    void NoteFileStatus(int status);
    void ReadDebugLog(QSettings* settings);
    void ReadRobotAllow(QSettings* settings);
    void ReadCapture(QSettings* settings);
    void ReadHistory(QSettings* settings);
    void ReadPorts(QSettings* settings);
    void ReadTelemetry(QSettings* settings);
    void ReadTelemetryBounds(QSettings* settings);
    bool ReadTelemetryIds(QSettings* settings);
    bool ReadTelemetryFiles(QSettings* settings);
    void ReportTelemetryOff(const QString& logLine, const QString& report);

    QString m_path;
    Values m_values;
    QStringList m_logNotes;
    QStringList m_reports;
    bool m_unsaved = false; // the last write failed: reported once, until one succeeds again
};

#endif // SETTINGS_H
