// The bridge as a process under the faults of a production cell: a vision application that
// restarts or talks junk, robots that reset, babble, stop reading or vanish, a busy robot port,
// files it cannot write and a bad vision address. In every case it must go on answering the
// robot, leave no descriptor or thread behind and shut down promptly.
#include "bridge_process.h"
#include "sim_process.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSettings>
#include <QTcpServer>
#include <QtTest>

#include <cerrno>
#include <climits>
#include <functional>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const QByteArray kStatus = QByteArray::fromHex("01010600");
const QByteArray kJointData = QByteArray::fromHex("01060000");

// A simulator that streams one fixed record, in pieces as a slow link delivers it, and the joint
// data the robot then gets: recognised, X 1.50, Z 2.25, gap 0.80, Z difference -0.10, area
// 3.20, in hundredths.
const QStringList kSteadySim{"--values", "0,1.5,2.25,0.8,-0.1,3.2", "--stream-always", "--pieces"};
const QByteArray kSteadyJoint = QByteArray::fromHex("82000000 0096 00e1 0050 fff6 0140");

// A hang guard for every shutdown, not a timing target.
const int kShutdownMs = 3000;

// Bytes drawn from [lowest, 0xff]; from 0x03 up, no block of them is a request.
QByteArray Junk(QRandomGenerator& random, int size, int lowest)
{
    QByteArray bytes(size, '\0');
    for (char& byte : bytes)
        byte = char(random.bounded(lowest, 0x100));
    return bytes;
}

// Open descriptors and threads of a process: what a fault cycle must not leave behind.
struct Resources {
    int fds;
    int threads;
    bool operator==(const Resources& other) const
    {
        return fds == other.fds && threads == other.threads;
    }
};

char* toString(const Resources& resources)
{
    return qstrdup(QString("%1 fds, %2 threads")
                       .arg(resources.fds)
                       .arg(resources.threads)
                       .toLatin1()
                       .constData());
}

int EntriesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
}

// The least counts seen over 200 ms, so that a socket held only for a moment (a connection
// attempt, a listening socket made anew between two robots) is not counted.
Resources SettledResources(qint64 pid)
{
    Resources least{INT_MAX, INT_MAX};
    for (int sample = 0; sample < 10; ++sample) {
        least.fds = std::min(least.fds, EntriesIn(QString("/proc/%1/fd").arg(pid)));
        least.threads = std::min(least.threads, EntriesIn(QString("/proc/%1/task").arg(pid)));
        QThread::msleep(20);
    }
    return least;
}

// True while the bridge holds a connection from the robot's port, as its network sees it.
bool BridgeHasRobot(qint64 bridgePid, quint16 robotPort)
{
    const QByteArray robot =
        ":" + QByteArray::number(robotPort, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line :
         readFile(QString("/proc/%1/net/tcp").arg(bridgePid)).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1].endsWith(":139C") && fields[2].endsWith(robot))
            return true;
    }
    return false;
}

// A robot controller made of one plain socket, so that the test decides how it ends.
class Robot
{
public:
    explicit Robot(int fd) : m_fd(fd) {}
    ~Robot()
    {
        if (m_fd != -1)
            ::close(m_fd);
    }
    Robot(const Robot&) = delete;
    Robot& operator=(const Robot&) = delete;

    bool connectTo(const char* address)
    {
        sockaddr_in bridge{};
        bridge.sin_family = AF_INET;
        bridge.sin_port = htons(5020);
        bridge.sin_addr.s_addr = inet_addr(address);
        return ::connect(m_fd, reinterpret_cast<sockaddr*>(&bridge), sizeof bridge) == 0;
    }
    quint16 localPort() const
    {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size);
        return ntohs(local.sin_port);
    }
    void send(const QByteArray& bytes)
    {
        ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    }
    // The reply, or what came of it within 3 s.
    QByteArray ask(const QByteArray& request, int replyLength)
    {
        send(request);
        QByteArray reply;
        pollfd entry{m_fd, POLLIN, 0};
        while (reply.size() < replyLength && poll(&entry, 1, 3000) == 1) {
            char buffer[64];
            const ssize_t got = recv(m_fd, buffer, size_t(replyLength - reply.size()), 0);
            if (got <= 0)
                break;
            reply.append(buffer, int(got));
        }
        return reply;
    }
    // Ends the connection with a reset instead of an orderly close.
    void reset()
    {
        const linger abort{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(m_fd);
        m_fd = -1;
    }
    // Sends joint data requests as fast as the bridge takes them and never reads a reply.
    // True once the bridge has dropped the connection; false if it still holds it at the end.
    bool floodUntilDropped(int timeoutMs)
    {
        const QByteArray requests = kJointData.repeated(128);
        QDeadlineTimer deadline(timeoutMs);
        pollfd entry{m_fd, POLLOUT, 0};
        while (!deadline.hasExpired()) {
            const ssize_t sent = ::send(m_fd, requests.constData(), size_t(requests.size()),
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent == -1 && errno != EAGAIN)
                return true;
            if (sent == -1)
                poll(&entry, 1, 100);
        }
        return false;
    }

private:
    int m_fd;
};

int PlainSocket()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// A robot whose status request has been answered, or null when none is within 5 s. A robot that
// connects while the bridge is still finishing with the one before waits in the old listening
// socket's queue and is reset when the bridge opens a new one; like a real robot, it then
// connects again.
std::unique_ptr<Robot> ServedRobot(const std::function<int()>& newSocket = PlainSocket,
                                   const char* address = "127.0.0.1")
{
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        auto robot = std::make_unique<Robot>(newSocket());
        if (robot->connectTo(address) && robot->ask(kStatus, 4).size() == 4)
            return robot;
        QThread::msleep(10);
    }
    return nullptr;
}

// True when the command runs and succeeds; its output is dropped.
bool RunsHere(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, args);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// Starts the bridge through unshare in a new namespace of the given kind, once the shell
// command setup has run there ("$1" is the bridge's folder).
void InNewNamespace(BridgeProcess* bridge, const QString& kind, const QString& setup)
{
    QProcess& process = bridge->process();
    process.setArguments(
        {kind, "sh", "-c", setup + " && exec \"$0\"", process.program(), bridge->dir()});
    process.setProgram("unshare");
}

// The bridge in a network namespace of its own and the robot in another, joined by a veth
// pair, so that the robot's side can lose the packets it sends: to the bridge the robot has
// then vanished without closing. The pair carries loopback-range addresses
// (route_localnet), so nothing outside 127.0.0.0/8 is ever dialled.
class SeparatedNetwork
{
public:
    static bool available()
    {
        return RunsHere("unshare", {"--net", "true"}) && RunsHere("nsenter", {"--version"}) &&
               RunsHere("tc", {"-V"}) && RunsHere("ip", {"-V"});
    }
    ~SeparatedNetwork()
    {
        m_robotSide.kill();
        m_robotSide.waitForFinished(3000);
    }

    static void placeBridge(BridgeProcess* bridge)
    {
        InNewNamespace(bridge, "--net", "ip link set lo up");
    }

    bool link(qint64 bridgePid)
    {
        m_robotSide.start("unshare", {"--net", "sleep", "600"});
        if (!m_robotSide.waitForStarted(5000))
            return false;
        QDeadlineTimer deadline(5000);
        while (readFile(QString("/proc/%1/comm").arg(robotPid())) != "sleep\n") {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(10);
        }
        const QString bridgeNs = QString::number(bridgePid), robotNs = robotPid();
        return inside(bridgeNs, "ip link add a0 type veth peer name b0 netns " + robotNs) &&
               inside(bridgeNs, "sysctl -qw net.ipv4.conf.all.route_localnet=1 && "
                                "ip addr add 127.1.0.1/30 dev a0 && ip link set a0 up") &&
               inside(robotNs, "ip link set lo up && "
                               "sysctl -qw net.ipv4.conf.all.route_localnet=1 && "
                               "ip addr add 127.1.0.2/30 dev b0 && ip link set b0 up");
    }

    // A socket in the robot's namespace; made on a thread of its own, which alone enters it.
    int robotSocket()
    {
        int fd = -1;
        std::thread enter([&] {
            const int ns = ::open(QString("/proc/%1/ns/net").arg(robotPid()).toLatin1(), O_RDONLY);
            if (ns != -1 && setns(ns, CLONE_NEWNET) == 0)
                fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::close(ns);
        });
        enter.join();
        return fd;
    }

    // From now on only segments that carry a request (PSH set) leave the robot's side; its
    // acknowledgements and its answers to keep-alive probes are lost, as they would be on a
    // cable that has come loose. False when the kernel lacks htb or u32.
    bool loseRobotAcknowledgements()
    {
        return inside(robotPid(),
                      "tc qdisc add dev b0 root handle 1: htb default 2 && "
                      "tc class add dev b0 parent 1: classid 1:1 htb rate 1gbit quantum 1514 && "
                      "tc class add dev b0 parent 1: classid 1:2 htb rate 1gbit quantum 1514 && "
                      "tc qdisc add dev b0 parent 1:2 pfifo limit 0 && "
                      "tc filter add dev b0 parent 1: protocol ip u32 "
                      "match u8 0x08 0x08 at 33 flowid 1:1");
    }
    bool restoreRobotPackets() { return inside(robotPid(), "tc qdisc del dev b0 root"); }

private:
    QString robotPid() const { return QString::number(m_robotSide.processId()); }
    static bool inside(const QString& pid, const QString& command)
    {
        return RunsHere("nsenter", {"-t", pid, "-n", "sh", "-c", command});
    }

    QProcess m_robotSide; // sleeps in the robot's namespace, keeping it alive
};

// Runs the bridge in a mount namespace of its own in which its folder is read-only, which
// holds for root too; false when mount namespaces cannot be made here.
bool InReadOnlyFolder(BridgeProcess* bridge)
{
    if (!RunsHere("unshare", {"--mount", "true"}))
        return false;
    InNewNamespace(bridge, "--mount", "mount --bind -o ro \"$1\" \"$1\"");
    return true;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void visionRestartsWhileTheRobotPolls();
    void robotResetsJunkAndConnectStorms();
    void robotThatStopsReadingIsGivenUp();
    void vanishedRobotIsDropped_data();
    void vanishedRobotIsDropped();
    void busyRobotPortAtStart();
    void unwritableFiles_data();
    void unwritableFiles();
    void badScannerAddress_data();
    void badScannerAddress();

private:
    // Asks for joint data every 10 ms until done(reply) holds; false when a request goes
    // unanswered or timeoutMs passes first. Events are processed in between, so that the
    // simulators' event lines are read.
    bool pollJointData(Robot& robot, const std::function<bool(const QByteArray&)>& done,
                       int timeoutMs = 15000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            m_lastReply = robot.ask(kJointData, 14);
            if (m_lastReply.size() != 14 || m_lastReply[0] != '\x82')
                return false;
            if (done(m_lastReply))
                return true;
            if (deadline.hasExpired())
                return false;
            QThread::msleep(10);
            QCoreApplication::processEvents();
        }
    }
    bool pollJointDataTimes(Robot& robot, int times)
    {
        return pollJointData(robot, [&](const QByteArray&) { return --times == 0; });
    }

    QByteArray m_lastReply;
};

void TestFaults::visionRestartsWhileTheRobotPolls()
{
    auto sim = std::make_unique<SimProcess>(kSteadySim);
    QVERIFY(sim->started());
    BridgeProcess bridge;
    QVERIFY(bridge.start());
    const auto robot = ServedRobot();
    QVERIFY(robot);
    QVERIFY2(pollJointData(*robot, [](const QByteArray& r) { return r == kSteadyJoint; }),
             m_lastReply.toHex());
    const Resources before = SettledResources(bridge.process().processId());

    for (int restart = 1; restart <= 6; ++restart) {
        // Killed outright or ended by SIGTERM, in turn.
        if (restart % 2 == 1) {
            sim->process().kill();
            sim->process().waitForFinished(3000);
        }
        sim.reset();
        QVERIFY2(pollJointDataTimes(*robot, 10), m_lastReply.toHex());
        const bool junk = restart % 3 == 0;
        sim = std::make_unique<SimProcess>(junk ? QStringList{"--garbage"} : kSteadySim);
        QVERIFY(sim->started());
        QVERIFY2(pollJointData(*robot,
                               [&](const QByteArray& reply) {
                                   return sim->count("command client connected") > 0 &&
                                          sim->count("stream client connected") > 0 &&
                                          (junk || reply == kSteadyJoint);
                               }),
                 m_lastReply.toHex());
    }
    QTRY_COMPARE_WITH_TIMEOUT(SettledResources(bridge.process().processId()), before, 5000);
    QCOMPARE(bridge.terminate(kShutdownMs), 0);
}

void TestFaults::robotResetsJunkAndConnectStorms()
{
    SimProcess sim(kSteadySim);
    QVERIFY(sim.started());
    BridgeProcess bridge;
    QVERIFY(bridge.start());
    QVERIFY(sim.waitFor("stream client connected", 10000));
    const qint64 pid = bridge.process().processId();
    const Resources before = SettledResources(pid);

    for (int session = 0; session < 100; ++session)
        QVERIFY(ServedRobot());
    // Resets at three points: right after connecting, after a reply, inside a request.
    for (int session = 0; session < 30; ++session) {
        if (session % 3 == 0) {
            Robot robot(PlainSocket());
            robot.connectTo("127.0.0.1");
            robot.reset();
            continue;
        }
        const auto robot = ServedRobot();
        QVERIFY(robot);
        if (session % 3 == 2)
            robot->send(kStatus.left(2));
        robot->reset();
    }
    QRandomGenerator random(5020);
    for (int burst = 0; burst < 30; ++burst) {
        const auto robot = ServedRobot();
        QVERIFY(robot);
        const int size = random.bounded(1, 4097);
        if (burst % 2 == 0) {
            // Junk that holds no request is answered with the last reply again, and however
            // it is cut into blocks, the status request after it still gets a status reply.
            robot->send(Junk(random, size, 0x03));
            QCOMPARE(robot->ask(kStatus, 4).left(1), QByteArray("\x82"));
            robot->reset();
        } else {
            robot->send(Junk(random, size, 0x00));
        }
    }
    const auto robot = ServedRobot();
    QVERIFY(robot);
    robot->reset();

    QTRY_COMPARE_WITH_TIMEOUT(SettledResources(pid), before, 5000);
    QCOMPARE(bridge.terminate(kShutdownMs), 0);
}

void TestFaults::robotThatStopsReadingIsGivenUp()
{
    // The log stays off: the flood makes a hundred thousand requests.
    BridgeProcess bridge({{"DebugLog", "0"}});
    QVERIFY(bridge.start());
    const qint64 pid = bridge.process().processId();
    const Resources before = SettledResources(pid);
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int smallest = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
        Robot robot(fd);
        QVERIFY(robot.connectTo("127.0.0.1"));
        QVERIFY2(robot.floodUntilDropped(60000), "still waiting on a robot that reads nothing");
    }
    const auto robot = ServedRobot();
    QVERIFY(robot);
    QCOMPARE(robot->ask(kStatus, 4), QByteArray::fromHex("82010040"));
    robot->reset();
    QTRY_COMPARE_WITH_TIMEOUT(SettledResources(pid), before, 5000);
    QCOMPARE(bridge.terminate(kShutdownMs), 0);
}

void TestFaults::vanishedRobotIsDropped_data()
{
    QTest::addColumn<bool>("replyPending");
    QTest::newRow("idle") << false;
    QTest::newRow("reply not acknowledged") << true;
}

void TestFaults::vanishedRobotIsDropped()
{
    QFETCH(bool, replyPending);
    if (!SeparatedNetwork::available())
        QSKIP("needs network namespaces (unshare -n, nsenter as root), ip and tc");
    SeparatedNetwork network;
    BridgeProcess bridge;
    SeparatedNetwork::placeBridge(&bridge);
    QVERIFY(bridge.start());
    const qint64 pid = bridge.process().processId();
    QVERIFY(network.link(pid));
    const Resources before = SettledResources(pid);

    const auto robotSocket = [&] { return network.robotSocket(); };
    auto robot = ServedRobot(robotSocket, "127.1.0.1");
    QVERIFY(robot);
    if (!network.loseRobotAcknowledgements())
        QSKIP("needs the htb queue and the u32 filter of traffic control");
    if (replyPending)
        QCOMPARE(robot->ask(kStatus, 4).size(), 4);
    // About 6 s either way: 3 s of silence and three unanswered keep-alive probes 1 s apart,
    // or 6 s of retransmitting a reply that is never acknowledged.
    QTRY_VERIFY_WITH_TIMEOUT(!BridgeHasRobot(pid, robot->localPort()), 10000);
    QVERIFY(network.restoreRobotPackets());

    robot = ServedRobot(robotSocket, "127.1.0.1");
    QVERIFY(robot);
    robot->reset();
    QTRY_COMPARE_WITH_TIMEOUT(SettledResources(pid), before, 5000);
    QCOMPARE(bridge.terminate(kShutdownMs), 0);
    QVERIFY(bridge.debugLog().contains("Robot is disconnected, reconnect\n"));
}

void TestFaults::busyRobotPortAtStart()
{
    QTcpServer otherProgram;
    QVERIFY(otherProgram.listen(QHostAddress::LocalHost, 5020));
    SimProcess sim(kSteadySim);
    QVERIFY(sim.started());
    BridgeProcess bridge;
    QVERIFY(bridge.start());
    QVERIFY(sim.waitFor("stream client connected", 10000));
    const qint64 pid = bridge.process().processId();
    // Between two bind attempts the robot server holds no socket at all.
    const Resources busy = SettledResources(pid);

    otherProgram.close();
    const auto robot = ServedRobot();
    QVERIFY(robot);
    QCOMPARE(robot->ask(kStatus, 4), QByteArray::fromHex("82000840"));
    robot->reset();
    QTRY_COMPARE_WITH_TIMEOUT(SettledResources(pid), (Resources{busy.fds + 1, busy.threads}), 5000);
    QCOMPARE(bridge.terminate(kShutdownMs), 0);
    const QByteArray log = bridge.debugLog();
    QVERIFY(log.contains("Robot server: failed to bind the socket\n"));
    QVERIFY(log.contains("errno=" + QByteArray::number(EADDRINUSE) + "\n"));
}

void TestFaults::unwritableFiles_data()
{
    QTest::addColumn<bool>("readOnlyFolder");
    QTest::newRow("read-only folder") << true;
    QTest::newRow("DebugLog.txt is a folder") << false;
}

void TestFaults::unwritableFiles()
{
    QFETCH(bool, readOnlyFolder);
    SimProcess sim(kSteadySim);
    QVERIFY(sim.started());
    BridgeProcess bridge({{"ProjectID", "0042"}});
    const QByteArray config = bridge.config();
    if (!readOnlyFolder)
        QVERIFY(QDir(bridge.dir()).mkdir("DebugLog.txt"));
    else if (!InReadOnlyFolder(&bridge))
        QSKIP("needs mount namespaces (unshare -m as root)");
    bridge.process().setProcessChannelMode(QProcess::SeparateChannels);
    QVERIFY(bridge.start());
    QVERIFY(sim.waitFor("stream client connected", 10000));
    const qint64 pid = bridge.process().processId();
    const Resources before = SettledResources(pid);

    for (int session = 0; session < 3; ++session) {
        const auto robot = ServedRobot();
        QVERIFY(robot);
        QVERIFY2(pollJointData(*robot, [](const QByteArray& r) { return r == kSteadyJoint; }),
                 m_lastReply.toHex());
    }
    QTRY_COMPARE_WITH_TIMEOUT(SettledResources(pid), before, 5000);
    QCOMPARE(bridge.terminate(kShutdownMs), 0);
    QVERIFY(bridge.process().readAllStandardError().contains("Error: Cannnot open the log file"));
    QSettings settings(bridge.dir() + "/config.txt", QSettings::IniFormat);
    QCOMPARE(settings.value("ProjectID").toString(), QString("0042"));
    if (readOnlyFolder)
        QCOMPARE(bridge.config(), config);
}

void TestFaults::badScannerAddress_data()
{
    // Each is read by inet_addr as 255.255.255.255, to which no TCP connection can be made.
    QTest::addColumn<QString>("address");
    QTest::newRow("host name") << "vision-pc";
    QTest::newRow("octet out of range") << "127.0.0.256";
    QTest::newRow("letter after the address") << "127.0.0.1x";
}

void TestFaults::badScannerAddress()
{
    QFETCH(QString, address);
    BridgeProcess bridge({{"ScannerIP", address}});
    QVERIFY(bridge.start());
    const qint64 pid = bridge.process().processId();
    const Resources before = SettledResources(pid);
    {
        const auto robot = ServedRobot();
        QVERIFY(robot);
        // Two seconds of polling span a score of connection attempts.
        QVERIFY2(pollJointDataTimes(*robot, 200), m_lastReply.toHex());
        QCOMPARE(m_lastReply.left(2), QByteArray::fromHex("8201"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(SettledResources(pid), before, 5000);
    QCOMPARE(bridge.terminate(kShutdownMs), 0);
    QVERIFY(bridge.debugLog().contains("Failed to connect to Tervian. Retry\n"));
    QSettings settings(bridge.dir() + "/config.txt", QSettings::IniFormat);
    QCOMPARE(settings.value("ScannerIP").toString(), address);
}

QTEST_GUILESS_MAIN(TestFaults)
#include "test_faults.moc"
