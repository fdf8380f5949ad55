// The bridge under a service manager: this test plays the manager with a datagram socket of its
// own as NOTIFY_SOCKET, against the built program run with --service.
#include "bridge_process.h"
#include "robot_client.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

#include <algorithm>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace
{

const QByteArray kSetJointId = Hex("02011000");

// The manager's end: each line of every datagram the bridge sent, with the time it came. A unix
// socket delivers a datagram with its send, so what was sent before a look is seen by it.
struct NotifySocket {
    QTemporaryDir dir;
    const QString path = dir.path() + "/notify";
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QList<QByteArray> lines;
    QVector<qint64> times;
    QElapsedTimer clock;

    NotifySocket()
    {
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        clock.start();
    }
    ~NotifySocket()
    {
        if (QTest::currentTestFailed())
            qDebug() << lines << times;
        ::close(fd);
    }
    int count()
    {
        char buffer[4096];
        for (long got; (got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            for (const QByteArray& line : QByteArray(buffer, int(got)).split('\n')) {
                lines.append(line);
                times.append(clock.elapsed());
            }
        return lines.size();
    }
    // The first line from `from` on that starts with text, or -1.
    int find(const QByteArray& text, int from = 0)
    {
        count();
        for (int i = from; i < lines.size(); ++i)
            if (lines[i].startsWith(text))
                return i;
        return -1;
    }
    // The median time between pings from line `from` on; 0 with fewer than five.
    qint64 medianPingGap(int from)
    {
        QVector<qint64> gaps;
        for (int last = find("WATCHDOG=1", from), i; last >= 0; last = i)
            if ((i = find("WATCHDOG=1", last + 1)) >= 0)
                gaps.append(times[i] - times[last]);
        std::sort(gaps.begin(), gaps.end());
        return gaps.size() < 4 ? 0 : gaps[gaps.size() / 2];
    }
};

} // namespace

class TestService : public QObject
{
    Q_OBJECT

    QByteArray m_stderr;

    // With a watchdog of 1 s: pings every 500 ms.
    void startService(BridgeProcess& bridge, NotifySocket& manager)
    {
        QProcessEnvironment env = bridge.process().processEnvironment();
        env.remove("DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        env.insert("NOTIFY_SOCKET", manager.path);
        env.insert("WATCHDOG_USEC", "1000000");
        bridge.process().setProcessEnvironment(env);
        bridge.process().setProcessChannelMode(QProcess::SeparateChannels);
        bridge.process().setArguments({"--service"});
        bridge.process().start();
    }
    bool waitForStderr(BridgeProcess& bridge, const QByteArray& text)
    {
        return QTest::qWaitFor(
            [&] {
                m_stderr += bridge.process().readAllStandardError();
                return m_stderr.contains(text);
            },
            10000);
    }

private slots:
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qDebug() << m_stderr;
        m_stderr.clear();
    }

    // READY=1 waits for a port that another program holds; the status follows the vision
    // application as it goes and comes back; pings every half watchdog; SIGTERM: STOPPING=1, 0.
    void notifiesTheWholeRun()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost));
        const QString robotPort = QString::number(holder.serverPort());
        auto sim =
            std::make_unique<SimProcess>(QStringList{"--command-port", "0", "--stream-port", "0"});
        const QStringList simPorts{"--command-port", QString::number(sim->commandPort()),
                                   "--stream-port", QString::number(sim->streamPort())};
        BridgeProcess bridge(
            {{"RobotPort", robotPort}, {"CommandPort", simPorts[1]}, {"StreamPort", simPorts[3]}});
        NotifySocket manager;
        startService(bridge, manager);

        QVERIFY(waitForStderr(bridge, "<3>tervian-bridge: port " + robotPort.toUtf8() +
                                          " is held by another program"));
        QCOMPARE(manager.find("READY=1"), -1);
        holder.close();
        QVERIFY(QTest::qWaitFor([&] { return manager.find("READY=1") >= 0; }, 10000));
        RobotClient robot;
        QVERIFY(robot.connectTo(quint16(robotPort.toUInt())));
        QCOMPARE(robot.ask(kSetJointId, 1), Hex("82"));
        const int ready = manager.find("READY=1");

        QVERIFY(QTest::qWaitFor(
            [&] { return manager.find("STATUS=robot connected, vision ready, project 0") >= 0; }));
        sim.reset();
        const int gone = manager.count();
        QVERIFY(QTest::qWaitFor(
            [&] { return manager.find("STATUS=robot connected, vision not ready", gone) >= 0; }));
        sim = std::make_unique<SimProcess>(simPorts);
        QVERIFY(QTest::qWaitFor(
            [&] { return manager.find("STATUS=robot connected, vision ready", gone) >= 0; }));

        const qint64 gap = manager.medianPingGap(ready);
        QVERIFY2(gap >= 350 && gap <= 750, qPrintable(QString::number(gap)));
        const int beforeStop = manager.count();
        QCOMPARE(bridge.terminate(10000), 0);
        QVERIFY(manager.find("STOPPING=1", beforeStop) >= 0);
        QVERIFY(!m_stderr.contains("is stuck"));
    }

    // The debug log is a pipe that the test stops reading, as a hung disk stops taking writes:
    // the pings stop, the stuck workers are named, and all resumes once the pipe drains.
    void pingsStopWhileAWorkerIsStuck()
    {
        SimProcess sim({"--command-port", "0", "--stream-port", "0"});
        BridgeProcess bridge({{"RobotPort", "0"},
                              {"CommandPort", QString::number(sim.commandPort())},
                              {"StreamPort", QString::number(sim.streamPort())}});
        const QByteArray logPath = QFile::encodeName(bridge.dir() + "/DebugLog.txt");
        QVERIFY(::mkfifo(logPath.constData(), 0600) == 0);
        const int log = ::open(logPath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ::fcntl(log, F_SETPIPE_SZ, 4096);
        bool draining = true;
        const auto waitFor = [&](const auto& condition) {
            return QTest::qWaitFor(
                [&] {
                    char buffer[65536];
                    while (draining && ::read(log, buffer, sizeof buffer) > 0) {
                    }
                    return condition();
                },
                10000);
        };
        NotifySocket manager;
        startService(bridge, manager);
        QVERIFY(waitFor([&] { return manager.medianPingGap(0) > 0; }));
        // READY=1 came with the status that names the port.
        const QByteArray status = manager.lines.value(manager.find("READY=1") + 1);
        RobotClient robot;
        QVERIFY(robot.connectTo(
            quint16(status.mid(status.indexOf("port ") + 5).split(',')[0].toUInt())));

        // Each joint ID makes a new log line, so the pipe fills and the robot goes unanswered.
        draining = false;
        QByteArray request = kSetJointId;
        for (int joint = 1; robot.ask(request, 1) == Hex("82") && joint < 100000; ++joint)
            request[3] = char(joint);
        QVERIFY(waitForStderr(bridge, "<3>tervian-bridge: the log writer is stuck since"));
        QVERIFY(waitForStderr(bridge, "<3>tervian-bridge: the robot server is stuck since"));
        const int stuck = manager.count();
        QTest::qWait(1500); // three ping intervals
        QCOMPARE(manager.find("WATCHDOG=1", stuck), -1);

        draining = true;
        QVERIFY(waitFor([&] { return manager.find("WATCHDOG=1", stuck) >= 0; }));
        QVERIFY(waitForStderr(bridge, "<6>tervian-bridge: the robot server moves again"));
        QCOMPARE(robot.read(1), Hex("82"));
        ::kill(pid_t(bridge.pid()), SIGTERM);
        QVERIFY(waitFor([&] { return bridge.process().state() == QProcess::NotRunning; }));
        QCOMPARE(bridge.process().exitCode(), 0);
        ::close(log);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
