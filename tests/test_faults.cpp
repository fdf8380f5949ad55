// The bridge as a process under the faults of a production cell: a vision application that
// restarts or talks junk, robots that reset or babble, and files it cannot write. In every case it
// must go on answering the robot, leave no descriptor or thread behind and shut down promptly. Then
// its starts and ends: signals, a second start, defaults. Robots that vanish or stop reading are
// dropped within 6 s by the keep-alive and user time-out that the robot link tests check.
#include "bridge_process.h"
#include "robot_client.h"
#include "sim_process.h"

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

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
        for (QDeadlineTimer deadline(15000); !deadline.hasExpired();) {
            lastReply = robot.ask(kJointData, 14);
            if (lastReply.size() != 14 || lastReply[0] != '\x82')
                return false;
            if (done(lastReply))
                return true;
            QThread::msleep(10);
            QCoreApplication::processEvents();
        }
        return false;
    }
};

const auto Steady = [](const QByteArray& reply) { return reply == kSteadyJoint; };

void VisionRestarts(Cell& cell)
{
    const auto robot = servedRobot();
    QVERIFY(robot);
    QVERIFY2(cell.pollJointData(*robot, Steady), cell.lastReply.toHex());
    for (int restart = 1; restart <= 6; ++restart) {
        if (restart % 2 == 1) { // killed outright or ended by SIGTERM, in turn
            cell.sim->process().kill();
            cell.sim->process().waitForFinished(3000);
        }
        cell.sim.reset();
        QVERIFY2(cell.pollJointData(
                     *robot, [times = 10](const QByteArray&) mutable { return --times == 0; }),
                 cell.lastReply.toHex());
        const bool junk = restart % 3 == 0;
        cell.sim = std::make_unique<SimProcess>(junk ? QStringList{"--garbage"} : kSteadySim);
        QVERIFY(cell.sim->started());
        QVERIFY2(cell.pollJointData(*robot,
                                    [&](const QByteArray& reply) {
                                        return cell.sim->count("command client connected") &&
                                               cell.sim->count("stream client connected") &&
                                               (junk || Steady(reply));
                                    }),
                 cell.lastReply.toHex());
    }
    robot->reset();
}

void RobotResetsJunkAndConnectStorms(Cell&)
{
    for (int session = 0; session < 100; ++session)
        QVERIFY(servedRobot());
    // Resets at three points: right after connecting, after a reply, inside a request.
    for (int session = 0; session < 30; ++session) {
        std::unique_ptr<RobotClient> robot;
        if (session % 3)
            robot = servedRobot();
        else // refused in the moment the bridge listens anew after a session: tried again
            for (QDeadlineTimer deadline(5000); !robot && !deadline.hasExpired();)
                if (auto plain = std::make_unique<RobotClient>(); plain->connectTo())
                    robot = std::move(plain);
        QVERIFY(robot);
        if (session % 3 == 2)
            robot->send(kStatus.left(2));
        robot->reset();
    }
    // Junk that holds no request (bytes from 0x03 up) is answered with the last reply again,
    // and however it is cut into blocks, the status request after it still gets a status reply.
    QRandomGenerator random(5020);
    for (int burst = 0; burst < 30; ++burst) {
        const auto robot = servedRobot();
        QVERIFY(robot);
        QByteArray junk(random.bounded(1, 4097), '\0');
        for (char& byte : junk)
            byte = char(random.bounded(burst % 2 ? 0x00 : 0x03, 0x100));
        robot->send(junk);
        if (burst % 2 == 0)
            QCOMPARE(robot->ask(kStatus, 4).left(1), Hex("82"));
        robot->reset();
    }
}

void SteadyJoint(Cell& cell)
{
    const auto robot = servedRobot();
    QVERIFY(robot);
    QVERIFY2(cell.pollJointData(*robot, Steady), cell.lastReply.toHex());
}

// True while a SIGUSR1 sent to the process waits for one of its threads to take it.
bool SaveSignalPending(qint64 pid)
{
    const QByteArray status = readFile(QString("/proc/%1/status").arg(pid));
    const int at = status.indexOf("ShdPnd:") + 7;
    return at >= 7 && (status.mid(at, 17).trimmed().toULongLong(nullptr, 16) >> (SIGUSR1 - 1)) & 1;
}

// A loop of SIGUSR1 while the robot polls, each sent once the one before was taken, so that the
// kernel merges none: every request answered in its bound during the storm and after it, a
// capture saved, and the SIGTERM that ends each scenario still ends the bridge.
void SaveSignalStorm(Cell& cell)
{
    const auto robot = servedRobot();
    QVERIFY(robot);
    std::atomic<int> taken{0};
    std::atomic<bool> stormOver{false};
    std::thread storm([&, pid = cell.bridge.pid()] {
        for (QDeadlineTimer deadline(30000); taken < 20000 && !deadline.hasExpired(); ++taken) {
            ::kill(pid_t(pid), SIGUSR1);
            while (SaveSignalPending(pid) && !deadline.hasExpired()) {
            }
        }
        stormOver = true;
    });
    int afterStorm = 20;
    const bool answered = cell.pollJointData(
        *robot, [&](const QByteArray&) { return stormOver && --afterStorm == 0; });
    storm.join();
    QVERIFY2(answered, cell.lastReply.toHex());
    QCOMPARE(taken.load(), 20000);
    QTRY_VERIFY(cell.bridge.debugLog().contains("Capture saved to "));
}

// Binds the guard's first name and listens, as any local user may, until it is killed.
const char kSquatTheGuard[] = R"(socket(S, AF_UNIX, SOCK_STREAM, 0) &&
    bind(S, pack_sockaddr_un("\0tervian-bridge.instance")) && listen(S, 1) or die;
    $| = 1; print "held\n"; sleep)";

struct Scenario {
    const char* name;
    QMap<QString, QString> config;
    bool (*spoilLog)(BridgeProcess&);
    void (*exercise)(Cell&);
};

// clang-format off
const Scenario kScenarios[] = {
    {"vision restarts while the robot polls", {}, nullptr, VisionRestarts},
    {"robot resets, junk and connect storms", {}, nullptr, RobotResetsJunkAndConnectStorms},
    {"a storm of SIGUSR1 while the robot polls", {}, nullptr, SaveSignalStorm},
    {"DebugLog.txt is a folder", {{"ProjectID", "0042"}},
     [](BridgeProcess& bridge) { return QDir(bridge.dir()).mkdir("DebugLog.txt"); }, SteadyJoint},
};
// clang-format on

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
        QVERIFY(!scenario.spoilLog || scenario.spoilLog(cell.bridge));
        cell.sim = std::make_unique<SimProcess>(kSteadySim);
        QVERIFY(cell.sim->started());
        cell.bridge.process().setProcessChannelMode(QProcess::SeparateChannels);
        QVERIFY(cell.bridge.start());
        QVERIFY(cell.sim->waitFor("stream client connected", 10000));
        const Resources before = settledResources(cell.bridge.pid());

        scenario.exercise(cell);
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(settledResources(cell.bridge.pid()), before, 5000);
        QCOMPARE(cell.bridge.terminate(3000), 0); // a hang guard, not a timing target
        for (auto it = scenario.config.begin(); it != scenario.config.end(); ++it)
            QCOMPARE(cell.bridge.setting(qPrintable(it.key())), it.value());
        QCOMPARE(cell.bridge.process().readAllStandardError().contains(
                     "Error: Cannnot open the log file"),
                 scenario.spoilLog != nullptr);
    }

    // Junk in config.txt is read by the INI rules. The display is checked first, so a start
    // without one says so even beside a running bridge; a second start touches nothing, a killed
    // bridge frees the guard, and SIGINT ends it like closing the window, settings written. All
    // of it while another user squats the guard's name, where this test may play another user.
    void secondStartTouchesNothingAndAKilledBridgeFreesTheGuard()
    {
        QProcess squatter; // another user (nobody) holds the guard's first name, listening
        squatter.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "perl",
                                   "-MSocket", "-e", kSquatTheGuard});
        squatter.waitForReadyRead(5000); // not squatted where this test may not play another user
        BridgeProcess bridge;
        QFile file(bridge.dir() + "/config.txt");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("\x01\x02 [[[ junk\n=no key\nScannerIP=127.0.0.1\nProjectID=0042\n"
                   "[General\nDebugLog=yes\n\xff\xfe");
        file.close();
        QVERIFY(bridge.start());
        const auto robot = servedRobot();
        QVERIFY(robot);
        const QByteArray config = bridge.config(), log = bridge.debugLog();
        QVERIFY(log.contains("1 1 6 0 \n"));
        QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            noDisplay.remove(name);
        QCOMPARE(runProgram(bridge.process().program(), {}, noDisplay),
                 ProgramRun(2, "",
                            "no display: set DISPLAY, or QT_QPA_PLATFORM=offscreen to run "
                            "without a window\n"));
        const auto [code, output, errors] =
            runProgram(bridge.process().program(), {}, bridge.process().processEnvironment());
        QVERIFY(code == 1 && errors.contains("another bridge is already running"));
        QCOMPARE(robot->ask(kStatus, 4), Hex("82010040"));
        QCOMPARE(bridge.config(), config);
        QVERIFY(bridge.debugLog().startsWith(log));
        QVERIFY(!QFile::exists(bridge.dir() + "/DebugLog.old.txt"));

        bridge.process().kill();
        QVERIFY(bridge.process().waitForFinished(5000));
        QVERIFY(bridge.start());
        QVERIFY(readFile(bridge.dir() + "/DebugLog.old.txt").startsWith(log));
        QCOMPARE(bridge.terminate(5000, SIGINT), 0);
        QCOMPARE(bridge.setting("ProjectID"), QString("0042"));
        QCOMPARE(bridge.setting("ScannerIP"), QString("127.0.0.1"));
        QVERIFY(!isListening(5020));
        squatter.kill();
        squatter.waitForFinished();
    }

    // Without config.txt the defaults are used and written. The default address is only
    // reachable in a private network namespace, so the test runs only in one.
    void defaultsWithoutConfig()
    {
        BridgeProcess bridge;
        QFile::remove(bridge.dir() + "/config.txt");
        if (!bridge.inNewNamespace("--net", "ip link set lo up"))
            QSKIP("no private network namespace can be made here");
        QVERIFY(bridge.start());
        QCOMPARE(bridge.terminate(5000), 0);
        QCOMPARE(QStringList({bridge.setting("ScannerIP"), bridge.setting("ProjectID"),
                              bridge.setting("DebugLog")}),
                 QStringList({"192.168.100.251", "1", "0"}));
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "test_faults.moc"
