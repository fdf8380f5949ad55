// The bridge as a process: orderly exit on signals, and bad files that must never stop it.
#include "bridge_process.h"
#include "robot_client.h"

#include <QDir>
#include <QtTest>

#include <csignal>

class TestBridgeProcess : public QObject
{
    Q_OBJECT

private slots:
    // SIGTERM and SIGINT end it like closing the window, settings written; junk in config.txt
    // is read by the INI rules.
    void signalsShutDownCleanly()
    {
        for (const int signalNumber : {SIGTERM, SIGINT}) {
            BridgeProcess bridge;
            QFile file(bridge.dir() + "/config.txt");
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("\x01\x02 [[[ junk\n=no key\nScannerIP=127.0.0.1\nProjectID=0042\n"
                       "[General\nDebugLog=yes\n\xff\xfe");
            file.close();
            QVERIFY(bridge.start());
            ::kill(pid_t(bridge.pid()), signalNumber);
            QVERIFY(bridge.process().waitForFinished(5000));
            QCOMPARE(bridge.process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(bridge.process().exitCode(), 0);
            QCOMPARE(bridge.setting("ProjectID"), QString("0042"));
            QCOMPARE(bridge.setting("ScannerIP"), QString("127.0.0.1"));
            QVERIFY(!isListening(5020));
        }
    }

    // The display is checked first, so a start without one says so even beside a running bridge.
    void secondStartTouchesNothingAndAKilledBridgeFreesTheGuard()
    {
        BridgeProcess bridge;
        QVERIFY(bridge.start());
        const auto robot = servedRobot();
        QVERIFY(robot);
        const QByteArray config = bridge.config(), log = bridge.debugLog();
        QVERIFY(log.contains("1 1 6 0 \n"));

        QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            noDisplay.remove(name);
        QCOMPARE(startAgain(bridge, noDisplay),
                 Outcome({2, "no display: set DISPLAY, or QT_QPA_PLATFORM=offscreen to run "
                             "without a window\n"}));
        const Outcome second = startAgain(bridge, bridge.process().processEnvironment());
        QCOMPARE(second.first, 1);
        QVERIFY(second.second.contains("another bridge is already running"));
        QCOMPARE(robot->ask(QByteArray::fromHex("01010600"), 4), QByteArray::fromHex("82010040"));
        QCOMPARE(bridge.config(), config);
        QVERIFY(bridge.debugLog().startsWith(log));
        QVERIFY(!QFile::exists(bridge.dir() + "/DebugLog.old.txt"));

        bridge.process().kill();
        QVERIFY(bridge.process().waitForFinished(5000));
        QVERIFY(bridge.start());
        QVERIFY(readFile(bridge.dir() + "/DebugLog.old.txt").startsWith(log));
        QCOMPARE(bridge.terminate(5000), 0);
    }

    // Without config.txt the defaults are used and written, and a DebugLog.txt that cannot be
    // opened (a folder, even for root) is reported and stops nothing. The default address is
    // only reachable in a private network namespace, so the test runs only in one.
    void defaultsWithoutConfigAndAnUnopenableLog()
    {
        BridgeProcess bridge;
        QFile::remove(bridge.dir() + "/config.txt");
        QDir(bridge.dir()).mkdir("DebugLog.txt");
        bridge.process().setProcessChannelMode(QProcess::SeparateChannels);
        if (!bridge.inNewNamespace("--net", "ip link set lo up"))
            QSKIP("no private network namespace can be made here");
        QVERIFY(bridge.start());
        QCOMPARE(bridge.terminate(5000), 0);
        QVERIFY(
            bridge.process().readAllStandardError().contains("Error: Cannnot open the log file"));
        QCOMPARE(QStringList({bridge.setting("ScannerIP"), bridge.setting("ProjectID"),
                              bridge.setting("DebugLog")}),
                 QStringList({"192.168.100.251", "1", "0"}));
    }

private:
    using Outcome = std::pair<int, QByteArray>;
    // Starts the bridge's program a second time from its folder.
    static Outcome startAgain(BridgeProcess& bridge, const QProcessEnvironment& environment)
    {
        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(bridge.process().program(), QStringList());
        if (!second.waitForFinished(10000))
            return {-1, "still running"};
        return {second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1,
                second.readAllStandardError()};
    }
};

QTEST_GUILESS_MAIN(TestBridgeProcess)
#include "test_bridge_process.moc"
