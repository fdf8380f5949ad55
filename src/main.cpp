#include "mainwindow.h"
#include "shutdown_signals.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace
{

// Also the source of the manual page, which is generated from this text at build time.
const char kUsage[] =
    R"(Usage: tervian-bridge [Qt options]
Bridges a Yaskawa robot controller and the Tervian vision application. Serves the robot on TCP
port 5020, drives the vision application over its command port 32001 and reads its measurement
stream on port 32002, and shows the state of both links in a small window. It connects and
listens as soon as it starts; closing the window, SIGINT or SIGTERM stops it with exit code 0.

Options:
  --help        show this text and exit
  --version     show the version and exit
Any other argument goes to Qt, for example -platform offscreen to run without a window.

Files:
  config.txt    settings, beside the executable (in the package /opt/tervian-bridge/bin):
                ScannerIP, the vision application's IPv4 address (default 192.168.100.251);
                ProjectID, the project loaded after connecting (default 1); DebugLog, 1 to
                write the trace
  DebugLog.txt  trace of connections, requests and failures, beside the executable
  KPLM604.pdf   operator manual, in ../help from the executable's folder, opened from the
                window's Help menu
)";

// --help and --version must work without a display and without touching the cell, so they are
// answered before Qt sees the command line.
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

} // namespace

int main(int argc, char* argv[])
{
    if (AnswerInformationOption(argc, argv))
        return 0;
    QApplication a(argc, argv);
    ShutdownSignals shutdownSignals;
    MainWindow w;
    w.show();
    return a.exec();
}
