#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "capture.h"
#include "debug_log.h"
#include "descriptor.h"
#include "dide_protocol.h"
#include "events.h"
#include "measurement_record.h"
#include "robot_allow.h"
#include "robot_protocol.h"
#include "trend_model.h"

#include <QMainWindow>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QSettings;
class TrendView;

namespace Ui
{
class MainWindow;
}

// Socket descriptor as the worker loops lend it to their steps; a Descriptor owns it.
typedef int SOCKET;

// The bridge's one central object: it owns the state that the GUI, Robot, Client and
// Stream threads share, and the worker loops run as its member functions.
//
// Cross-thread flags that have a single writer are atomics so that every read sees a value
// some writer stored; the five measurement values stay plain doubles guarded by the lock of
// m_measurement.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    struct SavedCapture {
        enum Outcome { Saved, Off, Empty, Failed } outcome;
        QString path; // when Saved
    };

public slots:
    // Writes the recorded traffic beside the debug log, for SIGUSR1 and the Help menu, and says
    // so on stderr.
    SavedCapture SaveDiagnostics();

private slots:
    void updateGui();
    void ConnectToTervian();
    void on_pushButtonLaserOn_clicked();
    void on_pushButtonLaserOff_clicked();
    void on_lineEditIP_textEdited(const QString& arg1);
    void on_lineEditProjectID_textEdited(const QString& arg1);
    void on_actionUser_manual_triggered();
    void on_actionSave_diagnostics_triggered();

private:
    // Thread bodies and their entries.
    void RobotServer();
    void TervianClient();
    void ReadMeasuredData();
    static void RobotThread(MainWindow* obj);
    static void TervianThread(MainWindow* obj);
    static void ReadDataThread(MainWindow* obj);

    // Robot link.
    void ProcessRobotRequest(int* len);
    int ReplyToRobotRequest();
    int AnswerStatusQuery();
    int AnswerJointIdQuery();
    int AnswerJointDataQuery();
    int AnswerLaserRequest(const char* logText, bool laserOn);
    int AnswerLaserOnAndMeasure();
    int AnswerSetJointId();
    Descriptor OpenRobotListener();
    Descriptor AcceptRobot(SOCKET ListenSocket);
    bool WaitForRobot(SOCKET ListenSocket);
    bool AdmitRobot(SOCKET ClientSocket);
    void NoteBindFailure(int bindError);
    void ServeRobot(SOCKET ClientSocket, int* len);
    bool AnswerRobot(SOCKET ClientSocket, int* len);
    std::string AnswerRequests(const std::vector<robot::RequestFrame>& requests, int* len);
    void LogRobotRequest(int recLen);

    // Vision command link.
    enum class Exchange { Accepted, Rejected, Lost };
    enum class ExchangeKind { DefaultProject, Acquisition, ProgramSwitch };
    Descriptor ConnectOrPause(int port, const char* peer, const char* owner,
                              const events::StopRequest& stop);
    void PauseBeforeRetry(int pauseMs, const events::StopRequest& stop);
    void BeginClient();
    bool SetUpProject(SOCKET socket);
    bool SwitchOffAfterLoad(SOCKET socket);
    void ServeCommands(SOCKET socket);
    bool BringToWishes(SOCKET socket);
    void WaitForCommands(SOCKET socket);
    bool SwitchAcquisition(SOCKET socket, bool on, unsigned asks);
    bool SwitchProgram(SOCKET socket, int program, unsigned asks);
    void NoteProjectLoaded(int program);
    void NoteAcquisition(bool on);
    Exchange Transact(SOCKET socket, const std::string& request, const char* command,
                      ExchangeKind kind);
    bool ReceiveReply(SOCKET socket, const char* command, std::string* reply, bool setUp);
    bool TakeReply(const char* command, std::string* reply, bool* unasked);
    bool ReadUnsolicited(SOCKET socket);
    void ReportRejection(Exchange result, const char* logText);
    void StartReaderOnce();
    void StopReader();
    void EndClient();

    // Measurement stream.
    void DecodeValuesBuffer(char* buff, int len);
    using SteadyClock = std::chrono::steady_clock;
    bool ReceiveUntilStopped(SOCKET socket);
    // What a joint data reply carries now; the window's "Measure Error" shows the same.
    struct JointData {
        uint8_t resultCode;
        measurement::Reading record;
    };
    JointData CurrentJointData(bool robotAsks);

    // Status display.
    void ShowRobotLink();
    void ShowVisionLink();
    void ShowVisionError(const QString& message);
    void ShowMeasuredValues();
    void ShowPendingReports();
    void Report(const QString& text);
    // The trend window, opened from the View menu; the model records only while it is shown.
    void SetUpTrendView();
    void ShowTrendView(bool shown);

    // Shared state: the one writer pattern of m_bLaserOn, used by the Robot and Client threads.
    void SetLaserOn(bool on);
    // The one way to ask the Client thread for the laser on or off (robot and buttons alike),
    // and for a project: each sets the wish that the client brings the application to.
    void RequestLaser(bool on);
    void RequestProgram(int program);

    // Traffic capture.
    QString WriteCapture(const capture::Held& held, const QString& fileName);
    void SaveFaultCapture();

    // Settings and debug log.
    template <typename Change> void ChangeSettings(Change change);
    void NoteSettingsStatus(int status);
    void ReadSettings();
    void ReadRobotAllow(QSettings* settings);
    void WriteLineEditSettings();
    void WriteTrendViewSetting(bool shown);
    void OpenDebugLog();
    void CloseDebugLog();

    // One debug log entry: written only while the log is on, inside one holding of
    // m_mutexDebug so that entries of different threads never mix within a line.
    template <typename... Pieces> void WriteLog(const Pieces&... pieces);
    void WriteLogEntry(const QString& entry);
    void FlushLog();
    template <typename Piece> static void AppendLogPiece(QTextStream& text, const Piece& piece)
    {
        text << piece;
    }
    // The system's own texts are literals; a std::string piece holds bytes that came from a
    // peer or a settings file, escaped so that they can never make a line of their own.
    static void AppendLogPiece(QTextStream& text, const std::string& piece)
    {
        text << QString::fromStdString(EscapePeerBytes(piece));
    }

    friend class WindowFixture;

    Ui::MainWindow* ui;
    DebugLogFile m_logFile;
    QTimer qTimer;

    std::string m_sIP;
    std::string m_sID;

    std::mutex m_mutex2;
    std::mutex m_mutexDebug;

    events::event_t m_EventActivateLaser;
    events::event_t m_EventDeactivateLaser;
    events::event_t m_EventSwitchProgram;

    // The latest record, its lock (m_mutex1) and its joiner.
    measurement::LatestRecord m_measurement;
    std::atomic<bool> m_bTervianOk{false};
    std::atomic<bool> m_bLaserOn{false};
    // The wishes of the robot and the operator: the laser state and the project asked for
    // last (m_iRobotProgram), each with a count of the times it was asked. The Client thread
    // brings the application to them whenever it can; a wish it saw rejected stands again only
    // once it is asked again.
    std::atomic<bool> m_bLaserWanted{false};
    std::atomic<unsigned> m_iLaserAsks{0};
    std::atomic<unsigned> m_iProgramAsks{0};
    struct Refused {
        unsigned laser = 0;
        unsigned program = 0;
    };
    Refused m_refused; // Client thread only: the asks whose wish the application rejected
    // Acquisition as the application last confirmed it, and when it last went on: while the
    // laser is wanted on, only records decoded after that count.
    std::atomic<bool> m_bAcquisitionOn{false};
    std::atomic<SteadyClock::time_point> m_tLaserSwitchedOn{SteadyClock::time_point::min()};
    // When the application last confirmed a project load: only records decoded after it count.
    std::atomic<SteadyClock::time_point> m_tProjectLoaded{SteadyClock::time_point::min()};
    std::atomic<bool> m_bError{true};
    std::atomic<bool> m_bBadprojectName{false};
    bool m_bdebugLog = false;
    int m_iStaleAfterMs = 0; // settings key StaleAfterMs, read before any worker starts
    std::atomic<bool> m_bShowErrorOnce{false};
    std::atomic<int> m_iTervianProgram{0};
    std::atomic<int> m_iRobotProgram{-1};
    int m_iExposureTime = 0;
    std::atomic<bool> m_bRobotServerOnline{false};
    std::atomic<bool> m_bRobotServerConnected{false};
    std::atomic<bool> m_bTervianClientRunning{false};
    std::atomic<bool> m_bTervianClientConnected{false};
    std::atomic<bool> m_bReadingData{false};

    dide::ElementReader m_replyReader; // Client thread only, one per connection

    // Zeroed so that a resend before any reply was built can never leak stale memory.
    char m_cRecRobotBuffer[512] = {};
    char m_cSendRobotBuffer[512] = {};
    robot::RequestFramer m_robotFramer; // Robot thread only, one per connection

    // Stop requests: each wakes its worker at once, wherever it sleeps.
    events::StopRequest m_bExitRobotThread;
    events::StopRequest m_bExitScannerThread;
    events::StopRequest m_bExitValuesThread;

    std::unique_ptr<std::thread> pRobotThread;
    std::unique_ptr<std::thread> pScannerThread;
    std::unique_ptr<std::thread> pValuesThread;

    // Peers admitted to the robot port; set before the Robot thread starts, read by it only.
    robot_allow::AllowList m_robotAllow;
    // The Robot thread's report that port 5020 is held by another program: m_bRobotPortBusy
    // for as long as binding fails, m_bShowPortBusyOnce once for each such spell.
    std::atomic<bool> m_bRobotPortBusy{false};
    std::atomic<bool> m_bShowPortBusyOnce{false};
    // GUI thread only: texts for the operator that the next refresh shows, and whether the
    // last settings write failed (reported once, until a write succeeds again).
    QStringList m_pendingReports;
    bool m_bSettingsUnsaved = false;

    // Fed by the Stream and Robot threads under its own lock; see trend_model.h.
    trend::TrendModel m_trend;
    bool m_bTrendViewShown = false; // settings key TrendView, read at start-up
    QAction* m_trendAction = nullptr;
    TrendView* m_trendView = nullptr;
    // The traffic of the three links; every socket function of the workers records through
    // their link's tap. Configured before any worker starts.
    capture::Recorder m_capture;
    const capture::Tap m_robotTap{&m_capture, capture::Link::Robot};
    const capture::Tap m_commandTap{&m_capture, capture::Link::Command};
    const capture::Tap m_streamTap{&m_capture, capture::Link::Stream};
    // GUI thread only: when capture-last-fault.pcapng was last written.
};

template <typename... Pieces> void MainWindow::WriteLog(const Pieces&... pieces)
{
    if (!m_bdebugLog)
        return;
    QString entry;
    {
        QTextStream text(&entry);
        (AppendLogPiece(text, pieces), ...);
    }
    WriteLogEntry(entry);
}

#endif // MAINWINDOW_H
