// The bridge as a process: orderly exit on signals, and bad files that must never stop it.
#include "bridge_process.h"

#include <QDir>
#include <QSettings>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

class TestBridgeProcess : public QObject
{
    Q_OBJECT

private slots:
    void sigtermAndSigintShutDownCleanly_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void sigtermAndSigintShutDownCleanly()
    {
        QFETCH(int, signalNumber);
        BridgeProcess bridge({{"ProjectID", "0042"}});
        QVERIFY(bridge.start());
        ::kill(pid_t(bridge.process().processId()), signalNumber);
        QVERIFY(bridge.process().waitForFinished(5000));
        QCOMPARE(bridge.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(bridge.process().exitCode(), 0);
        QSettings settings(bridge.dir() + "/config.txt", QSettings::IniFormat);
        QCOMPARE(settings.value("ProjectID").toString(), QString("0042"));
        QCOMPARE(settings.value("ScannerIP").toString(), QString("127.0.0.1"));
        QVERIFY(!isListening(5020));
    }

    // The display is checked first, so a start without one says so even beside a running bridge.
    void secondStartTouchesNothingAndAKilledBridgeFreesTheGuard()
    {
        BridgeProcess bridge;
        QVERIFY(bridge.start());
        QTcpSocket robot;
        robot.connectToHost("127.0.0.1", 5020);
        const auto status = [&robot] {
            robot.write(QByteArray::fromHex("01010600"));
            return robot.waitForReadyRead(3000) ? robot.readAll() : QByteArray();
        };
        QCOMPARE(status(), QByteArray::fromHex("82010040"));
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
        QCOMPARE(status(), QByteArray::fromHex("82010040"));
        QCOMPARE(bridge.config(), config);
        QVERIFY(bridge.debugLog().startsWith(log));
        QVERIFY(!QFile::exists(bridge.dir() + "/DebugLog.old.txt"));

        bridge.process().kill();
        QVERIFY(bridge.process().waitForFinished(5000));
        QVERIFY(bridge.start());
        QVERIFY(readFile(bridge.dir() + "/DebugLog.old.txt").startsWith(log));
        QCOMPARE(bridge.terminate(5000), 0);
    }

    void junkConfigIsReadByIniRules()
    {
        BridgeProcess bridge;
        QFile file(bridge.dir() + "/config.txt");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(
            "\x01\x02 [[[ junk\n=no key\nScannerIP=127.0.0.1\n[General\nDebugLog=yes\n\xff\xfe");
        file.close();
        QVERIFY(bridge.start());
        QCOMPARE(bridge.terminate(5000), 0);
        QSettings settings(bridge.dir() + "/config.txt", QSettings::IniFormat);
        QCOMPARE(settings.value("ScannerIP").toString(), QString("127.0.0.1"));
    }

    void unwritableFilesNeverStopTheBridge()
    {
        // Directories in place of the two files fail to open even for root.
        BridgeProcess bridge;
        QDir(bridge.dir()).mkdir("DebugLog.txt");
        QFile::remove(bridge.dir() + "/config.txt");
        QDir(bridge.dir()).mkdir("config.txt");
        QVERIFY(QFile(bridge.dir() + "/config.txt/keep").open(QIODevice::WriteOnly));
        bridge.process().setProcessChannelMode(QProcess::SeparateChannels);
        // Without a readable config the default address would be used, so only start inside
        // a private network namespace where that address cannot be reached.
        if (!inPrivateNetwork(&bridge))
            QSKIP("no private network namespace can be made here");
        QVERIFY(bridge.start());
        QCOMPARE(bridge.terminate(5000), 0);
        QVERIFY(
            bridge.process().readAllStandardError().contains("Error: Cannnot open the log file"));
    }

    void defaultsWithoutConfigInPrivateNetwork()
    {
        BridgeProcess bridge;
        QFile::remove(bridge.dir() + "/config.txt");
        if (!inPrivateNetwork(&bridge))
            QSKIP("no private network namespace can be made here");
        QVERIFY(bridge.start());
        QCOMPARE(bridge.terminate(5000), 0);
        QSettings settings(bridge.dir() + "/config.txt", QSettings::IniFormat);
        QCOMPARE(settings.value("ScannerIP").toString(), QString("192.168.100.251"));
        QCOMPARE(settings.value("ProjectID").toString(), QString("1"));
        QCOMPARE(settings.value("DebugLog").toString(), QString("0"));
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

    // Runs the bridge inside a fresh network namespace with only loopback up; false when
    // namespaces are not available (no privilege, or no unshare).
    static bool inPrivateNetwork(BridgeProcess* bridge)
    {
        if (QProcess::execute("unshare", {"-n", "true"}) != 0)
            return false;
        QProcess& p = bridge->process();
        const QString program = p.program();
        p.setProgram("unshare");
        p.setArguments({"-n", "sh", "-c", "ip link set lo up && exec \"$0\"", program});
        return true;
    }
};

QTEST_GUILESS_MAIN(TestBridgeProcess)
#include "test_bridge_process.moc"
