// robot-probe as scripts use it: its refusals, and a whole session against a running bridge,
// checked reply by reply.
#include "bridge_process.h"
#include "robot_client.h"

#include <QtTest>

#include <tuple>

namespace
{

using ProbeRun = std::tuple<int, QByteArray, QByteArray>; // exit code, output, errors

ProbeRun RunProbe(const QStringList& args)
{
    QProcess probe;
    probe.start(builtProgram("robot-probe"), args);
    if (!probe.waitForFinished(10000))
        return {-1, {}, "robot-probe did not end"};
    return {probe.exitCode(), probe.readAllStandardOutput(), probe.readAllStandardError()};
}

} // namespace

class TestRobotProbe : public QObject
{
    Q_OBJECT

private slots:
    void failuresExitWithTheirCodeAndSayWhy()
    {
        QCOMPARE(RunProbe({"status", "raw", "01", "0106"}),
                 ProbeRun(2, "",
                          "robot-probe: raw needs at least four hex bytes, e.g. raw 01 01 06 00: "
                          "the bridge takes requests four bytes at a time and answers no "
                          "shorter one\n"));
        // Nothing listens on port 1 of this machine.
        QCOMPARE(
            RunProbe({"--port", "1", "status"}),
            ProbeRun(1, "", "robot-probe: cannot connect to 127.0.0.1:1: Connection refused\n"));
    }

    void sessionWithTheBridge()
    {
        BridgeProcess bridge;
        QVERIFY(bridge.start());
        const QByteArray jointData =
            "joint-data: 82 01 00 00 00 00 00 00 00 00 00 00 00 00 (vision application not "
            "ready: Y 0.00 mm, Z 0.00 mm, gap 0.00 mm, Z diff 0.00 mm, area 0.00)\n";
        QCOMPARE(RunProbe({"status", "joint-id", "joint-data", "--repeat", "2", "set-joint", "5",
                           "laser", "on", "raw", "01", "0206", "00", "status"}),
                 ProbeRun(0,
                          "status: 82 01 00 40 (link not ready, project not ready, laser off)\n"
                          "joint-id: 82 01 00 00 (link not ready, joint ID 0)\n" +
                              jointData + jointData +
                              "set-joint 5: 82 (accepted)\n"
                              "laser on: 82 (accepted)\n"
                              "raw 01 02 06 00: 82 (request not recognised: the bridge repeats "
                              "its previous reply)\n"
                              "status: 82 01 10 00 (link not ready, project not ready, laser on)\n",
                          ""));
        QCOMPARE(bridge.terminate(5000), 0);
    }
};

QTEST_MAIN(TestRobotProbe)
#include "test_robot_probe.moc"
