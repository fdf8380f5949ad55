// robot-probe as scripts use it: its exit codes and messages, and a whole session against a
// running bridge, checked reply by reply and against the bridge's debug log.
#include "bridge_process.h"
#include "robot_log_lines.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace
{

struct ProbeRun {
    int exitCode;
    QByteArray out;
    QByteArray err;
};

ProbeRun Finish(QProcess* probe)
{
    if (!probe->waitForFinished(10000))
        return {-1, {}, "robot-probe did not end"};
    return {probe->exitCode(), probe->readAllStandardOutput(), probe->readAllStandardError()};
}

ProbeRun RunProbe(const QStringList& args)
{
    QProcess probe;
    probe.start(builtProgram("robot-probe"), args);
    return Finish(&probe);
}

// A port on which nothing listens.
quint16 ClosedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

} // namespace

class TestRobotProbe : public QObject
{
    Q_OBJECT

private slots:
    void badArgumentsExitWithTwo_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no command") << QStringList{} << QByteArray("no command given");
        QTest::newRow("unknown command") << QStringList{"jump"} << QByteArray("'jump'");
        QTest::newRow("laser mode") << QStringList{"laser", "up"} << QByteArray("'up'");
        QTest::newRow("joint ID range") << QStringList{"set-joint", "256"} << QByteArray("'256'");
        QTest::newRow("half a byte") << QStringList{"raw", "010"} << QByteArray("'010'");
        QTest::newRow("repeat") << QStringList{"joint-data", "--repeat", "0"} << QByteArray("'0'");
    }
    void badArgumentsExitWithTwo()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, message);
        const ProbeRun run = RunProbe(args);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.startsWith("robot-probe: ") && run.err.contains(message), run.err);
        QVERIFY(run.out.isEmpty());
    }

    void helpNeedsNoBridge()
    {
        const ProbeRun run = RunProbe({"--port", QString::number(ClosedPort()), "--help"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.startsWith("Usage: robot-probe"));
    }

    void refusedConnectionExitsWithOne()
    {
        const quint16 port = ClosedPort();
        const ProbeRun run = RunProbe({"--port", QString::number(port), "status"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, "robot-probe: cannot connect to 127.0.0.1:" + QByteArray::number(port) +
                              ": Connection refused\n");
    }

    void lostConnectionAndSilenceExitWithOne()
    {
        QTcpServer bridge;
        QVERIFY(bridge.listen(QHostAddress::LocalHost));
        const QString port = QString::number(bridge.serverPort());
        QProcess probe;
        probe.start(builtProgram("robot-probe"), {"--port", port, "status", "joint-id"});
        QVERIFY(bridge.waitForNewConnection(5000));
        QTcpSocket* robot = bridge.nextPendingConnection();
        QVERIFY(robot->waitForReadyRead(5000));
        robot->write(QByteArray::fromHex("82010040"));
        QVERIFY(robot->waitForBytesWritten(5000));
        QVERIFY(robot->waitForReadyRead(5000)); // the joint ID query, never answered
        robot->close();
        ProbeRun run = Finish(&probe);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, QByteArray("status: 82 01 00 40 (link not ready, project not ready, "
                                     "laser off)\n"));
        QCOMPARE(run.err, QByteArray("robot-probe: connection closed by the bridge while waiting "
                                     "for the reply to joint-id\n"));

        probe.start(builtProgram("robot-probe"), {"--port", port, "--timeout-ms", "200", "status"});
        QVERIFY(bridge.waitForNewConnection(5000));
        run = Finish(&probe);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, QByteArray("robot-probe: no reply to status within 200 ms\n"));
    }

    void sessionWithTheBridge()
    {
        BridgeProcess bridge({{"DebugLog", "1"}});
        QVERIFY(bridge.start());
        const ProbeRun run = RunProbe({"status", "joint-id", "joint-data", "set-joint", "5",
                                       "laser", "on", "raw", "03", "01", "06", "00", "status",
                                       "laser", "off", "laser", "on-measure", "raw", "0106ffff"});
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.exitCode, 0);
        const QByteArray noData = "82 01 00 00 00 00 00 00 00 00 00 00 00 00 (vision application "
                                  "not ready: Y 0.00 mm, Z 0.00 mm, gap 0.00 mm, Z diff 0.00 mm, "
                                  "area 0.00)\n";
        QCOMPARE(run.out, "status: 82 01 00 40 (link not ready, project not ready, laser off)\n"
                          "joint-id: 82 01 00 00 (link not ready, joint ID 0)\n"
                          "joint-data: " +
                              noData +
                              "set-joint 5: 82 (accepted)\n"
                              "laser on: 82 (accepted)\n"
                              "raw 03 01 06 00: 82 (request not recognised: the bridge repeats its "
                              "previous reply)\n"
                              "status: 82 01 10 00 (link not ready, project not ready, laser on)\n"
                              "laser off: 82 (accepted)\n"
                              "laser on-measure: 82 (accepted)\n"
                              "raw 01 06 FF FF: " +
                              noData);

        QTRY_VERIFY(isListening(5020)); // waiting for the next robot
        QCOMPARE(bridge.terminate(5000), 0);
        const QByteArray values = "m_dX=0 m_dZ=0 m_dZDiff=0 m_dWidth=0 m_dArea=0\n";
        QCOMPARE(RobotLogLines(bridge.debugLog()),
                 "connected to the robot\n"
                 "1 1 6 0 \nRobot requests status\nm_bTervianOk=0 m_bLaserOn=0\n"
                 "1 1 10 0 \nRobot requests joint ID=0\n"
                 "1 6 0 0 \nRobot request joint data\n" +
                     values +
                     "2 1 10 5 \nRobot set joint ID\n"
                     "2 1 13 1 \nRobot set laser on\n"
                     "3 1 6 0 \n"
                     "1 1 6 0 \nRobot requests status\nm_bTervianOk=0 m_bLaserOn=1\n"
                     "2 1 6 0 \nRobot set laser off\n"
                     "2 1 6 1 \nRobot set laser on and start measure\n"
                     "1 6 ffffffff ffffffff \nRobot request joint data\n" +
                     values +
                     "Robot is disconnected, reconnect\n"
                     "Exiting the robot server\n"
                     "Closing Robot connection\n");
    }
};

QTEST_MAIN(TestRobotProbe)
#include "test_robot_probe.moc"
