#include "bridge.h"
#include "instance_guard.h"
#include "journal.h"
#include "mainwindow.h"
#include "service_notifier.h"
#include "service_reports.h"
#include "settings.h"
#include "shutdown_signals.h"

#include <QApplication>
#include <QMessageBox>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace
{

// Also the source of the manual page, which is generated from this text at build time.
const char kUsage[] =
    R"(Usage: tervian-bridge [--service] [Qt options]
Bridges a Yaskawa robot controller and the Tervian vision application. Serves the robot on TCP
port 5020, drives the vision application over its command port 32001 and reads its measurement
stream on port 32002, and shows the state of both links in a small window. It connects and
listens as soon as it starts; closing the window, SIGINT or SIGTERM stops it with exit code 0.
SIGUSR1 saves the traffic of the last minutes as a capture file (see Files).

Options:
  --service     run the same bridge without a window and without a display, as a system
                service does: what the window shows in a box becomes a line on stderr with
                a syslog priority (<3> error, <4> warning, <6> info) for the journal, and
                nothing waits for a click
  --help        show this text and exit
  --version     show the version and exit
Any other argument goes to Qt, for example -platform offscreen to run without a window.

Under a service manager (NOTIFY_SOCKET set), with or without a window, the bridge tells it
READY=1 once the robot port listens, a STATUS= line with what the lamps show, WATCHDOG=1 at
half of WATCHDOG_USEC while every worker moves (a stuck one is named on stderr), and
STOPPING=1 when it stops. The service and a window never run together: one bridge runs per
machine.

Exit status: 0 after a normal shutdown, 1 when another bridge already runs on this machine
(the running one is left alone), 2 when there is no display (never with --service).

Files:
  config.txt    settings, beside the executable (in the package /opt/tervian-bridge/bin):
                ScannerIP, the vision application's IPv4 address (default 192.168.100.251);
                ProjectID, the project loaded after connecting (default 1); DebugLog, 1 to
                write the trace; DebugLogMaxMB, its bound (default 100); DebugLogTimes, 1 to
                time-stamp its lines; StaleAfterMs, the age after which a measurement no
                longer counts as recognised (default 1000); RobotAllow, the addresses and
                CIDR ranges admitted to the robot port (default: any); CaptureMinutes,
                the minutes of traffic kept in memory for a capture (default 10, 0: none);
                CaptureMaxMB, their bound (default 32); History, 0 to keep no history
                (default 1); HistoryDays, the days it keeps (default 30); HistoryMaxMB,
                its bound (default 1024)
  capture-*.pcapng  the traffic of all three links, saved beside the executable by SIGUSR1
                or Help > Save diagnostics; capture-last-fault-KIND.pcapng (robot-link,
                vision-link, rejection, no-reply) is written when such a fault happens, each
                at most once a minute
  history.sqlite  every reply the robot was told, link changes, wishes, faults and the
                stream a second at a time, beside the executable; read it with
                tervian-history(1)
  DebugLog.txt  trace of connections, requests and failures, beside the executable; the
                previous run's and a full log's are kept as DebugLog.old.txt
  KPLM604.pdf   operator manual, in ../help from the executable's folder, opened from the
                window's Help menu
)";

// --help and --version must work without a display and without touching the cell, so they are
// answered before Qt sees the command line.
bool HasOption(int argc, char* argv[], const char* option)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0)
            return true;
    return false;
}

bool AnswerInformationOption(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("tervian-bridge " BRIDGE_VERSION);
            return true;
        }
    }
    return false;
}

// Exit codes besides 0.
constexpr int kAnotherBridgeRuns = 1;
constexpr int kNoDisplay = 2;

// Qt ends a start without a usable display with an abort and a long text about reinstalling.
// While the application object is made, its fatal message becomes one clear line and exit 2,
// and its other messages wait, so that only that line is seen; on success they are passed on.
QtMessageHandler g_qtHandler = nullptr;
std::vector<std::pair<QtMsgType, QString>> g_heldMessages;

void ExitWithoutDisplay(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtFatalMsg) {
        g_heldMessages.emplace_back(type, text);
        return;
    }
    std::fputs("no display: set DISPLAY, or QT_QPA_PLATFORM=offscreen to run without a window\n",
               stderr);
    std::_Exit(kNoDisplay);
}

void PassOnHeldMessages()
{
    qInstallMessageHandler(g_qtHandler);
    for (const auto& [type, text] : g_heldMessages)
        g_qtHandler(type, QMessageLogContext(), text);
    g_heldMessages.clear();
}

// The offscreen and minimal platforms have no screen on which a box could be answered.
bool HasScreen()
{
    const QString platform = QGuiApplication::platformName();
    return platform != "offscreen" && platform != "minimal";
}

void RefuseSecondStart(bool service)
{
    if (service)
        journal::Print(journal::Priority::Error,
                       "another bridge (a window or the service) is already running on this "
                       "machine; this start changes nothing and exits");
    else
        std::fputs("tervian-bridge: another bridge is already running on this machine; "
                   "this start changes nothing and exits\n",
                   stderr);
    if (!service && HasScreen())
        QMessageBox::critical(nullptr, "Error",
                              QCoreApplication::translate(
                                  "main", "Another Tervian Yaskawa Interface is already running "
                                          "on this machine. This one closes again without "
                                          "touching the running one."),
                              QMessageBox::Ok, QMessageBox::NoButton);
}

// The window's application object, or the plain event loop of the service.
std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char* argv[], bool service)
{
    if (service)
        return std::make_unique<QCoreApplication>(argc, argv);
    g_qtHandler = qInstallMessageHandler(ExitWithoutDisplay);
    auto application = std::make_unique<QApplication>(argc, argv);
    PassOnHeldMessages();
    return application;
}

} // namespace

// --help and --version come first, then the display, then the running bridge: a start without a
// display exits 2 whether or not a bridge runs. None of them touches the settings, the log or a
// port. The service and the window run the same bridge; only what shows it differs.
int main(int argc, char* argv[])
{
    if (AnswerInformationOption(argc, argv))
        return 0;
    const bool service = HasOption(argc, argv, "--service");
    // Before the application object starts Qt's threads: they inherit the block, and the
    // signals stay with this thread once their handler is in place.
    ShutdownSignals::BlockInThisThread();
    const std::unique_ptr<QCoreApplication> application = MakeApplication(argc, argv, service);
    // Taken here already, so that SIGTERM also closes the box of a refused second start.
    ShutdownSignals shutdownSignals;
    InstanceGuard guard;
    const QString settingsPath = QCoreApplication::applicationDirPath() + "/config.txt";
    if (!guard.Acquire(QFile::encodeName(settingsPath).toStdString())) {
        RefuseSecondStart(service);
        return kAnotherBridgeRuns;
    }
    // A file size limit set on the bridge makes the history's writes fail, which pauses it;
    // the signal that comes with it would end the bridge.
    std::signal(SIGXFSZ, SIG_IGN);
    // Measurement records always use a point as decimal separator.
    setlocale(LC_NUMERIC, "en_US");
    Settings settings(QCoreApplication::applicationDirPath());
    settings.Load();
    Bridge bridge(std::move(settings));
    ServiceNotifier notifier(bridge);
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<ServiceReports> reports;
    if (service) {
        reports = std::make_unique<ServiceReports>(bridge);
        QObject::connect(&shutdownSignals, &ShutdownSignals::saveRequested,
                         [&reports] { reports->SaveDiagnostics(); });
        journal::Print(journal::Priority::Info,
                       "running as a service, without a window, with " + settingsPath +
                           "; a window started meanwhile refuses to start (one bridge per "
                           "machine)");
        bridge.Parts().log.Write("Running as a service, without a window; a window started "
                                 "meanwhile refuses to start\n");
    } else {
        window = std::make_unique<MainWindow>(bridge);
        QObject::connect(&shutdownSignals, &ShutdownSignals::saveRequested, window.get(),
                         &MainWindow::SaveDiagnostics);
    }
    bridge.Start();
    notifier.Start();
    if (window)
        window->show();
    const int exitCode = application->exec();
    notifier.NotifyStopping();
    return exitCode;
}
