#include "instance_guard.h"
#include "mainwindow.h"
#include "shutdown_signals.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace
{

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

void RefuseSecondStart()
{
    std::fputs("tervian-bridge: another bridge is already running on this machine; "
               "this start changes nothing and exits\n",
               stderr);
    if (HasScreen())
        QMessageBox::critical(nullptr, "Error",
                              QCoreApplication::translate(
                                  "main", "Another Tervian Yaskawa Interface is already running "
                                          "on this machine. This one closes again without "
                                          "touching the running one."),
                              QMessageBox::Ok, QMessageBox::NoButton);
}

} // namespace

// The display is checked before the running bridge: a start without a display exits 2 whether
// or not a bridge runs. Neither check touches the settings, the log or a port.
int main(int argc, char* argv[])
{
    g_qtHandler = qInstallMessageHandler(ExitWithoutDisplay);
    QApplication a(argc, argv);
    PassOnHeldMessages();
    InstanceGuard guard;
    if (!guard.Acquire()) {
        RefuseSecondStart();
        return kAnotherBridgeRuns;
    }
    ShutdownSignals shutdownSignals;
    MainWindow w;
    w.show();
    return a.exec();
}
