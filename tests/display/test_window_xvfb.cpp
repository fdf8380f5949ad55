// The real window on an X server: the bridge runs as its own process against the simulator with
// a robot connected, and a screenshot must show the lamps the status tables ask for. Without a
// display the program restarts itself under xvfb-run; without xvfb-run it skips.
#include "bridge_process.h"
#include "sim_process.h"

#include <QApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <unistd.h>

namespace
{

const char* const kUnderXvfb = "TERVIAN_TEST_UNDER_XVFB";

// Offsets of the lamp centres from the top-left coloured pixel of the Connected lamp, the
// first lamp met when scanning the window row by row; all four lamps sit on one row.
const QPoint kLaserLamp(70, 0);
const QPoint kErrorLamp(140, 0);
const QPoint kRobotLamp(310, 0);
const QPoint kToCentre(8, 8);

const QRgb kBrightGreen = qRgb(0, 255, 0);
const QRgb kDarkGreen = qRgb(30, 70, 30);
const QRgb kDarkRed = qRgb(70, 30, 30);

QPoint FirstPixelOf(const QImage& image, QRgb colour)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == colour)
                return {x, y};
    return {-1, -1};
}

// The four lamps as the screen shows them now, in the order Connected, Acquisition, Error,
// Robot; empty while no bright-green lamp is on screen.
QList<QRgb> LampColours(const QImage& screen)
{
    const QPoint connected = FirstPixelOf(screen, kBrightGreen);
    if (connected.x() < 0)
        return {};
    QList<QRgb> colours;
    for (QPoint offset : {QPoint(), kLaserLamp, kErrorLamp, kRobotLamp})
        colours << screen.pixel(connected + offset + kToCentre);
    return colours;
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
        QTcpSocket robot;
        robot.connectToHost("127.0.0.1", 5020);
        QVERIFY(robot.waitForConnected(5000));

        const QList<QRgb> expected = {kBrightGreen, kDarkGreen, kDarkRed, kBrightGreen};
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
    if (qEnvironmentVariableIsEmpty("DISPLAY") && !qEnvironmentVariableIsSet(kUnderXvfb) &&
        !xvfbRun.isEmpty()) {
        qputenv(kUnderXvfb, "1");
        std::vector<char*> args = {const_cast<char*>("xvfb-run"), const_cast<char*>("-a"),
                                   const_cast<char*>("-s"),
                                   const_cast<char*>("-screen 0 1024x768x24")};
        args.insert(args.end(), argv, argv + argc);
        args.push_back(nullptr);
        execv(xvfbRun.toLocal8Bit().constData(), args.data());
    }
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    QApplication app(argc, argv);
    TestWindowXvfb test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_window_xvfb.moc"
