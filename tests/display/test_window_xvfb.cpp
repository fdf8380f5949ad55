// The real window on an X server: the bridge runs as its own process against the simulator with
// a robot connected, and a screenshot must show the lamps the status tables ask for. Without a
// display the program restarts itself under xvfb-run; without xvfb-run it skips.
#include "bridge_process.h"
#include "robot_client.h"
#include "sim_process.h"

#include <QApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QtTest>

#include <unistd.h>

namespace
{

const QRgb kBrightGreen = qRgb(0, 255, 0);

// The lamps Connected, Acquisition, Error and Robot as the screen shows them now, found from the
// top-left pixel of the Connected lamp, the first bright-green one met row by row.
QList<QRgb> LampColours(const QImage& screen)
{
    for (int y = 0; y < screen.height(); ++y)
        for (int x = 0; x < screen.width(); ++x)
            if (screen.pixel(x, y) == kBrightGreen)
                return {screen.pixel(x + 8, y + 8), screen.pixel(x + 78, y + 8),
                        screen.pixel(x + 148, y + 8), screen.pixel(x + 318, y + 8)};
    return {};
}

} // namespace

class TestWindowXvfb : public QObject
{
    Q_OBJECT

private slots:
    void lampsOfAConnectedRobotAndAReadyVisionLink()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X display: install xvfb and xauth (scripts/deps.sh)");
        SimProcess sim;
        QVERIFY2(sim.started(), "tervian-sim did not start");
        BridgeProcess bridge;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        bridge.process().setProcessEnvironment(env);
        QVERIFY2(bridge.start(), "the bridge does not listen on port 5020");
        QVERIFY(sim.waitFor("stream client connected", 15000));
        RobotClient robot;
        QVERIFY(robot.connectTo());
        const QList<QRgb> expected = {kBrightGreen, qRgb(30, 70, 30), qRgb(70, 30, 30),
                                      kBrightGreen};
        QImage screen;
        QTRY_VERIFY_WITH_TIMEOUT(
            LampColours(screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage()) ==
                expected,
            10000);
        screen.save(QCoreApplication::applicationDirPath() + "/window.png");
        QCOMPARE(bridge.terminate(10000), 0);
    }
};

// Under ctest there is no display: run this program again inside a private X server.
int main(int argc, char* argv[])
{
    const QString xvfbRun = QStandardPaths::findExecutable("xvfb-run");
    if (qEnvironmentVariableIsEmpty("DISPLAY") && !qEnvironmentVariableIsSet("UNDER_XVFB") &&
        !xvfbRun.isEmpty()) {
        qputenv("UNDER_XVFB", "1");
        std::vector<const char*> args = {"xvfb-run", "-a", "-s", "-screen 0 1024x768x24"};
        args.insert(args.end(), argv, argv + argc + 1);
        execv(xvfbRun.toLocal8Bit().constData(), const_cast<char**>(args.data()));
    }
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    QApplication app(argc, argv);
    TestWindowXvfb test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_window_xvfb.moc"
