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

// The manager's end: every datagram the bridge sent, with the time it came.
class NotifySocket
{
public:
    NotifySocket()
    {
        m_path = m_dir.path() + "/notify";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(m_path).constData(), sizeof address.sun_path);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~NotifySocket()
    {
        if (QTest::currentTestFailed())
            for (const auto& [text, at] : m_messages)
                qDebug() << at << text;
        ::close(m_fd);
    }
    QString path() const { return m_path; }

    void receive()
    {
        char buffer[4096];
        for (long got; (got = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            for (const QByteArray& line : QByteArray(buffer, int(got)).split('\n'))
                m_messages.append({line, m_clock.elapsed()});
    }
    // Every datagram sent so far has arrived: a unix socket delivers it with the send.
    int count()
    {
        receive();
        return int(m_messages.size());
    }
    // Index of the first message from `from` on that starts with text, or -1.
    int find(const QByteArray& text, int from = 0)
    {
        receive();
        for (int i = from; i < m_messages.size(); ++i)
            if (m_messages[i].first.startsWith(text))
                return i;
        return -1;
    }
    const QByteArray& text(int i) const { return m_messages[i].first; }
    // The times between consecutive messages that start with text, from message `from` on.
    QVector<qint64> gaps(const QByteArray& text, int from)
    {
        receive();
        QVector<qint64> gaps;
        qint64 last = -1;
        for (int i = from; i < m_messages.size(); ++i) {
            if (!m_messages[i].first.startsWith(text))
                continue;
            if (last >= 0)
                gaps.append(m_messages[i].second - last);
            last = m_messages[i].second;
        }
        return gaps;
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVector<QPair<QByteArray, qint64>> m_messages;
    QElapsedTimer m_clock = [] {
        QElapsedTimer clock;
        clock.start();
        return clock;
    }();
};

const QByteArray kSetJointId = Hex("02011000");

// The robot port that READY=1 names in its status line.
quint16 ReadyPort(NotifySocket& manager)
{
    const int ready = manager.find("READY=1");
    const QByteArray status = ready >= 0 ? manager.text(ready + 1) : QByteArray();
    const int at = status.indexOf("port ");
    return at < 0 ? 0 : quint16(status.mid(at + 5).split(',').value(0).toUInt());
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT

private:
    // A bridge run with --service under the manager, with a watchdog of 1 s (pings every 500 ms).
    void startService(BridgeProcess& bridge, NotifySocket& manager)
    {
        QProcessEnvironment env = bridge.process().processEnvironment();
        env.remove("DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        env.insert("NOTIFY_SOCKET", manager.path());
        env.insert("WATCHDOG_USEC", "1000000");
        bridge.process().setProcessEnvironment(env);
        bridge.process().setProcessChannelMode(QProcess::SeparateChannels);
        bridge.process().setArguments({"--service"});
        bridge.process().start();
        QVERIFY(bridge.process().waitForStarted(5000));
    }
    bool waitForStderr(BridgeProcess& bridge, const QByteArray& text, int timeoutMs = 10000)
    {
        return QTest::qWaitFor(
            [&] {
                m_stderr += bridge.process().readAllStandardError();
                return m_stderr.contains(text);
            },
            timeoutMs);
    }

    QByteArray m_stderr;

private slots:
    void init() { m_stderr.clear(); }
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qDebug() << m_stderr;
    }

    // READY=1 waits for a port that another program holds; the status follows the vision
    // application as it goes and comes back; pings every half watchdog; SIGTERM: STOPPING=1, 0.
    void notifiesTheWholeRun()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost));
        const quint16 robotPort = holder.serverPort();
        auto sim = std::make_unique<SimProcess>(
            QStringList{"--command-port", "0", "--stream-port", "0", "--rate", "200"});
        QVERIFY(sim->started());
        const QString commandPort = QString::number(sim->commandPort());
        const QString streamPort = QString::number(sim->streamPort());
        BridgeProcess bridge({{"RobotPort", QString::number(robotPort)},
                              {"CommandPort", commandPort},
                              {"StreamPort", streamPort}});
        NotifySocket manager;
        startService(bridge, manager);

        QVERIFY(waitForStderr(bridge, "<3>tervian-bridge: port " + QByteArray::number(robotPort) +
                                          " is held by another program"));
        QCOMPARE(manager.find("READY=1"), -1);
        holder.close();
        QVERIFY(QTest::qWaitFor([&] { return manager.find("READY=1") >= 0; }, 10000));
        RobotClient robot;
        QVERIFY(robot.connectTo(robotPort));
        QCOMPARE(robot.ask(kSetJointId, 1), Hex("82"));
        const int ready = manager.find("READY=1");

        QVERIFY(QTest::qWaitFor(
            [&] { return manager.find("STATUS=robot connected, vision ready, project 0") >= 0; },
            10000));
        QVERIFY(sim->terminate() == 0);
        const int gone = manager.count();
        QVERIFY(QTest::qWaitFor(
            [&] { return manager.find("STATUS=robot connected, vision not ready", gone) >= 0; },
            10000));
        sim = std::make_unique<SimProcess>(QStringList{"--command-port", commandPort,
                                                       "--stream-port", streamPort});
        QVERIFY(sim->started());
        QVERIFY(QTest::qWaitFor(
            [&] { return manager.find("STATUS=robot connected, vision ready", gone) >= 0; },
            10000));

        const QVector<qint64> gaps = manager.gaps("WATCHDOG=1", ready);
        QVERIFY2(gaps.size() >= 4, qPrintable(QString::number(gaps.size())));
        QVector<qint64> sorted = gaps;
        std::sort(sorted.begin(), sorted.end());
        const qint64 median = sorted[sorted.size() / 2];
        QVERIFY2(median >= 350 && median <= 750, qPrintable(QString::number(median)));

        const int beforeStop = manager.count();
        QCOMPARE(bridge.terminate(10000), 0);
        QVERIFY(manager.find("STOPPING=1", beforeStop) >= 0);
        QVERIFY(!m_stderr.contains("is stuck"));
    }

    // The debug log is a pipe that the test stops reading, as a hung disk would stop taking
    // writes: the pings stop, the stuck workers are named, and they resume once it drains.
    void pingsStopWhileAWorkerIsStuck()
    {
        SimProcess sim({"--command-port", "0", "--stream-port", "0"});
        QVERIFY(sim.started());
        BridgeProcess bridge({{"RobotPort", "0"},
                              {"CommandPort", QString::number(sim.commandPort())},
                              {"StreamPort", QString::number(sim.streamPort())}});
        const QByteArray logPath = QFile::encodeName(bridge.dir() + "/DebugLog.txt");
        QVERIFY(::mkfifo(logPath.constData(), 0600) == 0);
        const int log = ::open(logPath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(log >= 0);
        ::fcntl(log, F_SETPIPE_SZ, 4096);
        bool draining = true;
        const auto drain = [&] {
            char buffer[65536];
            while (draining && ::read(log, buffer, sizeof buffer) > 0) {
            }
        };
        NotifySocket manager;
        startService(bridge, manager);
        const auto waitFor = [&](const auto& condition) {
            return QTest::qWaitFor(
                [&] {
                    drain();
                    return condition();
                },
                15000);
        };
        QVERIFY(waitFor([&] { return ReadyPort(manager) != 0; }));
        RobotClient robot;
        QVERIFY(robot.connectTo(ReadyPort(manager)));
        QVERIFY(waitFor([&] { return manager.gaps("WATCHDOG=1", 0).size() >= 2; }));

        // Each joint ID is a new log line, so the pipe fills and the robot goes unanswered.
        draining = false;
        int joint = 0;
        QByteArray request = kSetJointId;
        do
            request[3] = char(++joint % 256);
        while (robot.ask(request, 1) == Hex("82") && joint < 100000);
        QVERIFY(waitForStderr(bridge, "<3>tervian-bridge: the log writer is stuck since"));
        QVERIFY(waitForStderr(bridge, "<3>tervian-bridge: the robot server is stuck since"));
        const int stuck = manager.count();
        QTest::qWait(1500); // three ping intervals
        QCOMPARE(manager.find("WATCHDOG=1", stuck), -1);

        draining = true;
        QVERIFY(waitFor([&] { return manager.find("WATCHDOG=1", stuck) >= 0; }));
        QVERIFY(waitForStderr(bridge, "<6>tervian-bridge: the robot server moves again"));
        QVERIFY(waitFor([&] { return robot.read(1, 100) == Hex("82"); }));
        // The pipe is read until the bridge has ended, so its shutdown can write the log.
        bool ended = false;
        ::kill(pid_t(bridge.pid()), SIGTERM);
        QVERIFY(waitFor([&] { return ended = bridge.process().state() == QProcess::NotRunning; }));
        QVERIFY(ended);
        QCOMPARE(bridge.process().exitCode(), 0);
        ::close(log);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
