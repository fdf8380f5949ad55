// The bridge as a process under the faults of a production cell: a vision application that
// restarts or talks junk, robots that reset or babble, files it cannot write and a bad vision
// address. In every case it must go on answering the robot, leave no descriptor or thread
// behind and shut down promptly. Robots that vanish or stop reading are dropped within 6 s by
// the keep-alive and user time-out that the robot link tests check.
#include "bridge_process.h"
#include "robot_client.h"
#include "sim_process.h"

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>

#include <functional>
#include <memory>

namespace
{

const QByteArray kStatus = Hex("01010600");
const QByteArray kJointData = Hex("01060000");

// A simulator that streams one fixed record, in pieces as a slow link delivers it, and the joint
// data the robot then gets: recognised, X 1.50, Z 2.25, gap 0.80, Z difference -0.10, area
// 3.20, in hundredths.
const QStringList kSteadySim{"--values", "0,1.5,2.25,0.8,-0.1,3.2", "--stream-always", "--pieces"};
const QByteArray kSteadyJoint = Hex("82000000 0096 00e1 0050 fff6 0140");

// What one scenario runs against: the bridge, the simulator if any, and the last reply seen.
struct Cell {
    BridgeProcess bridge;
    std::unique_ptr<SimProcess> sim;
    QByteArray lastReply;

    explicit Cell(const QMap<QString, QString>& config) : bridge(config) {}

    // Asks for joint data every 10 ms until done(reply) holds; false when a request goes
    // unanswered or 15 s pass first. Events are processed in between, so that the
    // simulator's event lines are read.
    bool pollJointData(RobotClient& robot, const std::function<bool(const QByteArray&)>& done)
    {
        QDeadlineTimer deadline(15000);
        for (;;) {
            lastReply = robot.ask(kJointData, 14);
            if (lastReply.size() != 14 || lastReply[0] != '\x82')
                return false;
            if (done(lastReply))
                return true;
            if (deadline.hasExpired())
                return false;
            QThread::msleep(10);
            QCoreApplication::processEvents();
        }
    }
    bool pollJointDataTimes(RobotClient& robot, int times)
    {
        return pollJointData(robot, [&](const QByteArray&) { return --times == 0; });
    }
    bool pollSteadyJoint(RobotClient& robot)
    {
        return pollJointData(robot, [](const QByteArray& reply) { return reply == kSteadyJoint; });
    }
};

void VisionRestarts(Cell& cell)
{
    const auto robot = servedRobot();
    QVERIFY(robot);
    QVERIFY2(cell.pollSteadyJoint(*robot), cell.lastReply.toHex());
    for (int restart = 1; restart <= 6; ++restart) {
        if (restart % 2 == 1) { // killed outright or ended by SIGTERM, in turn
            cell.sim->process().kill();
            cell.sim->process().waitForFinished(3000);
        }
        cell.sim.reset();
        QVERIFY2(cell.pollJointDataTimes(*robot, 10), cell.lastReply.toHex());
        const bool junk = restart % 3 == 0;
        cell.sim = std::make_unique<SimProcess>(junk ? QStringList{"--garbage"} : kSteadySim);
        QVERIFY(cell.sim->started());
        QVERIFY2(cell.pollJointData(*robot,
                                    [&](const QByteArray& reply) {
                                        return cell.sim->count("command client connected") &&
                                               cell.sim->count("stream client connected") &&
                                               (junk || reply == kSteadyJoint);
                                    }),
                 cell.lastReply.toHex());
    }
    robot->reset();
}

// Bytes drawn from [lowest, 0xff]; from 0x03 up, no block of them is a request.
QByteArray Junk(QRandomGenerator& random, int size, int lowest)
{
    QByteArray bytes(size, '\0');
    for (char& byte : bytes)
        byte = char(random.bounded(lowest, 0x100));
    return bytes;
}

void RobotResetsJunkAndConnectStorms(Cell&)
{
    for (int session = 0; session < 100; ++session)
        QVERIFY(servedRobot());
    // Resets at three points: right after connecting, after a reply, inside a request.
    for (int session = 0; session < 30; ++session) {
        RobotClient plain;
        const auto robot = session % 3 ? servedRobot() : nullptr;
        QVERIFY(robot || plain.connectTo());
        if (session % 3 == 2)
            robot->send(kStatus.left(2));
        (robot ? *robot : plain).reset();
    }
    QRandomGenerator random(5020);
    for (int burst = 0; burst < 30; ++burst) {
        const auto robot = servedRobot();
        QVERIFY(robot);
        const int size = random.bounded(1, 4097);
        // Junk that holds no request is answered with the last reply again, and however it is
        // cut into blocks, the status request after it still gets a status reply.
        robot->send(Junk(random, size, burst % 2 ? 0x00 : 0x03));
        if (burst % 2 == 0)
            QCOMPARE(robot->ask(kStatus, 4).left(1), Hex("82"));
        robot->reset();
    }
}

void SteadyJointOverSessions(Cell& cell)
{
    for (int session = 0; session < 3; ++session) {
        const auto robot = servedRobot();
        QVERIFY(robot);
        QVERIFY2(cell.pollSteadyJoint(*robot), cell.lastReply.toHex());
    }
}

// Each address is read by inet_addr as 255.255.255.255, to which no TCP connection can be made.
void BadScannerAddress(Cell& cell)
{
    const auto robot = servedRobot();
    QVERIFY(robot);
    // Two seconds of polling span a score of connection attempts.
    QVERIFY2(cell.pollJointDataTimes(*robot, 200), cell.lastReply.toHex());
    QCOMPARE(cell.lastReply.left(2), Hex("8201"));
}

enum class Setup { Plain, ReadOnlyFolder, LogIsAFolder };

struct Scenario {
    const char* name;
    QStringList sim; // tervian-sim's options; no simulator when empty
    QMap<QString, QString> config;
    Setup setup;
    std::function<void(Cell&)> exercise;
    QByteArray logText; // in the debug log after the shutdown
};

// clang-format off
const Scenario kScenarios[] = {
    {"vision restarts while the robot polls", kSteadySim, {}, Setup::Plain, VisionRestarts, ""},
    {"robot resets, junk and connect storms", kSteadySim, {}, Setup::Plain,
     RobotResetsJunkAndConnectStorms, ""},
    {"read-only folder", kSteadySim, {{"ProjectID", "0042"}}, Setup::ReadOnlyFolder,
     SteadyJointOverSessions, ""},
    {"DebugLog.txt is a folder", kSteadySim, {{"ProjectID", "0042"}}, Setup::LogIsAFolder,
     SteadyJointOverSessions, ""},
    {"octet out of range", {}, {{"ScannerIP", "127.0.0.256"}}, Setup::Plain, BadScannerAddress,
     "Failed to connect to Tervian. Retry\n"},
    {"letter after the address", {}, {{"ScannerIP", "127.0.0.1x"}}, Setup::Plain,
     BadScannerAddress, "Failed to connect to Tervian. Retry\n"},
};
// clang-format on

// False when the namespaces the setup needs cannot be made here.
bool Prepare(Cell& cell, Setup setup)
{
    switch (setup) {
    case Setup::Plain:
        return true;
    case Setup::ReadOnlyFolder: // read-only for root too
        return cell.bridge.inNewNamespace("--mount", "mount --bind -o ro \"$1\" \"$1\"");
    case Setup::LogIsAFolder:
        return QDir(cell.bridge.dir()).mkdir("DebugLog.txt");
    }
    return false;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void scenario_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < int(std::size(kScenarios)); ++i)
            QTest::newRow(kScenarios[i].name) << i;
    }

    void scenario()
    {
        QFETCH(int, index);
        const Scenario& scenario = kScenarios[index];
        Cell cell(scenario.config);
        const QByteArray config = cell.bridge.config();
        if (!Prepare(cell, scenario.setup))
            QSKIP("needs mount namespaces (unshare -m as root)");
        if (!scenario.sim.isEmpty()) {
            cell.sim = std::make_unique<SimProcess>(scenario.sim);
            QVERIFY(cell.sim->started());
        }
        cell.bridge.process().setProcessChannelMode(QProcess::SeparateChannels);
        QVERIFY(cell.bridge.start());
        if (cell.sim)
            QVERIFY(cell.sim->waitFor("stream client connected", 10000));
        const Resources before = settledResources(cell.bridge.pid());

        scenario.exercise(cell);
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(settledResources(cell.bridge.pid()), before, 5000);
        QCOMPARE(cell.bridge.terminate(3000), 0); // a hang guard, not a timing target
        QVERIFY(cell.bridge.debugLog().contains(scenario.logText));
        for (auto it = scenario.config.begin(); it != scenario.config.end(); ++it)
            QCOMPARE(cell.bridge.setting(qPrintable(it.key())), it.value());
        if (scenario.setup == Setup::ReadOnlyFolder)
            QCOMPARE(cell.bridge.config(), config);
        const bool logUnwritable =
            scenario.setup == Setup::ReadOnlyFolder || scenario.setup == Setup::LogIsAFolder;
        QCOMPARE(cell.bridge.process().readAllStandardError().contains(
                     "Error: Cannnot open the log file"),
                 logUnwritable);
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "test_faults.moc"
