// The robot server alone, on a free port, as a robot sees it: requests acting on the link state,
// framing, sessions one after the other, a busy port and the allow-list.
#include "in_process.h"
#include "robot_client.h"
#include "robot_server.h"

#include <QTcpServer>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <memory>

#include <arpa/inet.h>

using namespace std::chrono_literals;

class TestRobotLink : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestShared> m_shared;
    std::unique_ptr<RobotServer> m_server;
    std::shared_ptr<events::Queue> m_events;

    TestShared& startServer(RobotServer::Config config = {0, {}, 1000})
    {
        m_shared = std::make_unique<TestShared>();
        m_events = m_shared->events.Subscribe(1000);
        m_server = std::make_unique<RobotServer>(*m_shared, config);
        m_server->Start();
        return *m_shared;
    }
    LinkSnapshot state() { return m_shared->link.Snapshot(); }
    void setState(const std::function<void(LinkSnapshot&)>& change)
    {
        m_shared->link.Update(change);
    }
    // A record whose values encode as 0072 ff6a 8000 9c40 0000.
    void store(bool statusGood, measurement::Clock::time_point decoded = measurement::Clock::now())
    {
        m_shared->record.Store({statusGood, 5, {1.15, -1.5, 327.68, 400.0, 0.001}}, decoded);
    }
    // Connects once the server waits for a robot again; it may be starting over.
    void connectRobot(RobotClient& robot)
    {
        QTRY_VERIFY(state().robotPort != 0 && !state().robotConnected &&
                    isListening(state().robotPort));
        QVERIFY(robot.connectTo(state().robotPort));
        QTRY_VERIFY(state().robotConnected);
    }

private slots:
    void cleanup()
    {
        m_server.reset();
        QCOMPARE(m_shared->watch->Broken(), QString());
        m_shared.reset();
    }

    // Queries answer from one snapshot of the link state and the record; set requests store
    // wishes, each counted with the wish it asks for, and reach the trend history's replies.
    void requestsReadAndWriteTheLinkState()
    {
        TestShared& shared = startServer({0, {}, 0});
        RobotClient robot;
        connectRobot(robot);
        QList<QByteArray> told;
        const auto reply = [&](const char* request, int length) {
            told << robot.ask(Hex(request), length);
            return told.back();
        };
        shared.trend.SetOpen(true);
        setState([](LinkSnapshot& s) { s.visionReady = true, s.visionError = false; });
        store(false);
        const QByteArray values = Hex("0072 ff6a 8000 9c40 0000");
        QCOMPARE(reply("01060000", 14), Hex("820c0000") + values);
        store(true);
        QCOMPARE(reply("0106ffff", 14), Hex("82000000") + values);
        setState([](LinkSnapshot& s) { s.visionReady = false; }); // values of the last record
        QCOMPARE(reply("01060000", 14), Hex("82010000") + values);
        setState([](LinkSnapshot& s) {
            s.visionReady = true, s.loadedProject = 300,
            s.projectLoadedAt = measurement::Clock::now() - 3h;
        });
        QCOMPARE(reply("01011000", 4), Hex("8200002c")); // the low byte of the loaded project
        QCOMPARE(reply("01010600", 4), Hex("82000840"));

        // Set requests are wishes: each asks again, whatever the application has now.
        QCOMPARE(reply("02011301", 1), Hex("82"));
        QVERIFY(state().laserOn && state().laserWanted);
        QCOMPARE(reply("01060000", 14), Hex("820c0000") + values); // not measuring yet
        reply("02010600", 1);
        QVERIFY(!state().laserOn && !state().laserWanted);
        reply("02010601", 1);
        QCOMPARE(shared.watch->LaserWishes(), QString("101"));
        // Measuring with StaleAfterMs=0: a record of an hour ago counts.
        setState([](LinkSnapshot& s) {
            s.acquisitionOn = true, s.acquisitionSince = measurement::Clock::now() - 2h;
        });
        store(true, measurement::Clock::now() - 1h);
        QCOMPARE(reply("01060000", 14), Hex("82000000") + values);
        setState([](LinkSnapshot& s) { s.loadedProject = 5, s.projectLoadedAt -= 1h; });
        reply("020110ff", 1);
        reply("02011005", 1); // the project loaded already, asked back
        QVERIFY(state().projectWanted == 5 && state().projectAsks == 2);
        QCOMPARE(reply("02011300", 1), Hex("82")); // unknown: the last reply again
        QVERIFY(state().laserWanted && state().laserAsks == 3);
        const trend::Column all =
            shared.trend.Columns(trend::Ms(measurement::Clock::now()) + 1, 600000, 1)[0];
        QCOMPARE(int(all.replies),
                 trend::kReplyRecognised | trend::kReplyNotRecognised | trend::kReplyNotReady);
        // The whole log, every text as written, repeats within the minute counted.
        const QByteArray log = shared.Log();
        QCOMPARE(log.mid(log.indexOf("1 6 0 0 \n")), QByteArray(R"(1 6 0 0 
Robot request joint data
bRecognitionOK 0 bScannerOk 1
m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001
1 6 ffffffff ffffffff 
repeated 1 more times: 1 6 0 0 
repeated 2 more times: Robot request joint data
repeated 2 more times: m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001
1 1 10 0 
Robot requests joint ID=300
1 1 6 0 
Robot requests status
m_bTervianOk=1 m_bLaserOn=0
2 1 13 1 
Robot set laser on
repeated 1 more times: 1 6 0 0 
repeated 1 more times: Robot request joint data
bRecognitionOK 0 bScannerOk 0
repeated 1 more times: m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001
2 1 6 0 
Robot set laser off
2 1 6 1 
Robot set laser on and start measure
repeated 1 more times: 1 6 0 0 
repeated 1 more times: Robot request joint data
repeated 1 more times: m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001
2 1 10 ffffffff 
Robot set joint ID
2 1 10 5 
repeated 1 more times: Robot set joint ID
2 1 13 0 
)"));
        // Readers of the event feed hear what the robot was told, byte for byte, and who wished
        // what, in order.
        QList<QByteArray> fed;
        QStringList happened;
        std::vector<events::Event> taken; // published once sent: the last may come later
        const auto take = [&] {
            for (events::Event& event : m_events->TakeAll())
                taken.push_back(std::move(event));
            return std::count_if(taken.begin(), taken.end(), [](const events::Event& event) {
                return std::holds_alternative<events::RobotReply>(event);
            });
        };
        QTRY_COMPARE(take(), told.size());
        for (const events::Event& event : taken) {
            if (const auto* answer = std::get_if<events::RobotReply>(&event))
                fed << QByteArray(answer->reply.bytes.data(), answer->reply.length);
            if (const auto* wish = std::get_if<events::Wish>(&event))
                happened << QString("%1:%2=%3")
                                .arg(wish->origin == events::Origin::Robot ? "robot" : "operator")
                                .arg(wish->what == events::Wish::What::Laser ? "laser" : "project")
                                .arg(wish->value);
            if (const auto* change = std::get_if<events::LinkChange>(&event))
                happened << QString("link%1:%2").arg(int(change->link)).arg(change->up);
        }
        QCOMPARE(fed, told);
        QCOMPARE(happened.join(' '), QString("link0:1 robot:laser=1 robot:laser=0 robot:laser=1 "
                                             "robot:project=-1 robot:project=5"));
        const robot::Reply joint{{'\x82', 0, 0, 0, 0, 0x72, '\xff', 0x6a, '\x80', 0, '\x9c', 0x40},
                                 14};
        QCOMPARE(events::SentValues(joint), (measurement::Values{1.14, -1.5, -327.68, -255.36, 0}));
    }

    // Each request is carried out from its own four bytes and answered once, in order, however
    // TCP cuts them; padding and junk are never answered.
    void requestsFramedWhateverThePieces()
    {
        TestShared& shared = startServer();
        RobotClient robot;
        connectRobot(robot);
        const char* const exchanges[][2] = {{"02011301", "82"},
                                            {"01010600", "82011000"},
                                            {"02010600", "82"},
                                            {"01010600", "82010040"}};
        for (int cut = 1; cut < 4; ++cut)
            for (const auto& [request, expected] : exchanges) {
                robot.send(Hex(request).left(cut));
                QThread::msleep(50);
                QCOMPARE(robot.ask(Hex(request).mid(cut), int(strlen(expected)) / 2),
                         Hex(expected));
            }
        // Trickled a byte every 150 ms: given up 200 ms after its first byte, never carried out;
        // the bytes after it are junk. The last one is logged once it is read.
        for (const char* piece : {"01", "01", "06", "ff"}) {
            robot.send(Hex(piece));
            QThread::msleep(150);
        }
        QTRY_VERIFY(shared.Log().contains("ffffffff \n"));
        QVERIFY(shared.Log().contains("Robot request not completed within 200 ms dropped\n"));
        QCOMPARE(robot.ask(Hex("01010600 00000000 ff"), 4), Hex("82010040")); // padded
        QCOMPARE(robot.ask(Hex("02011301 01010600 01011000"), 9), Hex("82 82011000 82010000"));
        robot.send(Hex("ff010600 01010600")); // junk: none of it is read
        QTRY_VERIFY(shared.Log().contains("ffffffff 1 6 0 1 1 6 0 \n"));
        QCOMPARE(robot.ask(Hex("01020600"), 4), Hex("82010000")); // unknown: the last reply again
        QCOMPARE(robot.ask(Hex("01010600"), 4), Hex("82011000"));
    }

    // Every reply whole and nothing more: a surplus byte would lead the next reply. The last
    // reply is kept across connections; a stop ends a session at once.
    void servesAndReconnectsLeavingNothingBehind()
    {
        TestShared& shared = startServer();
        QTRY_VERIFY(state().robotPort != 0 && isListening(state().robotPort));
        const quint16 port = state().robotPort;
        const Resources before = settledResources();
        for (int session = 0; session < 3; ++session) {
            RobotClient robot;
            connectRobot(robot);
            QCOMPARE(state().robotPort, port); // any free port, kept
            if (session > 0)
                QCOMPARE(robot.ask(Hex("01020600"), 4), Hex("82010000"));
            QCOMPARE(robot.ask(Hex("01010600"), 4), Hex("82010040"));
            QCOMPARE(robot.ask(Hex("01020600"), 4), Hex("82010040"));
            QCOMPARE(robot.ask(Hex("01060000"), 14), Hex("82010000 0000 0000 0000 0000 0000"));
            QCOMPARE(robot.ask(Hex("01011000"), 4), Hex("82010000"));
            QCOMPARE(KeepAliveOptions(robot.localPort()), (QVector<int>{1, 3, 3, 1, 6000}));
        }
        QTRY_VERIFY(!state().robotConnected && isListening(port));
        QCOMPARE(settledResources(), before);
        // A robot that closes in order has caused no fault, so the minute's robot-link capture
        // is the reset's, taken at it: all four connections, the last one unclosed.
        RobotClient reset;
        connectRobot(reset);
        reset.reset();
        capture::Held fault;
        for (QDeadlineTimer deadline(5000); fault.chunks.empty() && !deadline.hasExpired();
             QThread::msleep(10))
            fault = TakenFaults(shared.capture)[capture::Fault::RobotLink];
        QCOMPARE(std::count_if(fault.chunks.begin(), fault.chunks.end(),
                               [](const auto& c) { return c.event == capture::Event::Opened; }),
                 4L);
        QCOMPARE(fault.chunks.back().event, capture::Event::Opened);
        RobotClient last;
        connectRobot(last);
        m_server->Stop();
        QVERIFY(last.endedByBridge());
        QVERIFY(!isListening(port) && !state().robotConnected);
        // Every session after the first is counted, not written again, within the minute.
        QVERIFY(shared.Log().contains("repeated 4 more times: connected to the robot\n"));
    }

    // A port held by another program is tried again until it is free, and counted as one spell.
    void busyPortIsRetriedUntilFree()
    {
        QTcpServer otherProgram;
        QVERIFY(otherProgram.listen(QHostAddress::Any, 0));
        startServer({otherProgram.serverPort(), {}, 1000});
        QTRY_VERIFY(state().robotPortBusy);
        QTest::qWait(100);
        const Resources busy = settledResources(); // no socket held between two attempts
        otherProgram.close();
        RobotClient robot;
        connectRobot(robot);
        QCOMPARE(robot.ask(Hex("01010600"), 4), Hex("82010040"));
        QVERIFY(!state().robotPortBusy && state().robotPortBusySpells == 1);
        robot.close();
        QTRY_VERIFY(!state().robotConnected && isListening(state().robotPort));
        QCOMPARE(settledResources(), busy);
    }

    // The refused peer is closed unserved; the admitted one is served.
    void robotAllowAdmitsOnlyListedPeers()
    {
        TestShared& shared =
            startServer({0, robot_allow::Parse("127.0.0.1/32, 127.0.0.2/33"), 1000});
        RobotClient stranger;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = inet_addr("127.0.0.2");
        QCOMPARE(bind(stranger.fd(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        QTRY_VERIFY(state().robotPort != 0 && isListening(state().robotPort));
        QVERIFY(stranger.connectTo(state().robotPort));
        stranger.send(Hex("01010600"));
        QVERIFY(stranger.endedByBridge());
        RobotClient robot;
        connectRobot(robot);
        QCOMPARE(robot.ask(Hex("01010600"), 4), Hex("82010040"));
        QVERIFY(shared.Log().contains("Robot server: refused a connection from 127.0.0.2 (not in "
                                      "RobotAllow)\nconnected to the robot\n1 1 6 0 \n"));
    }
};

QTEST_MAIN(TestRobotLink)
#include "test_robot_link.moc"
