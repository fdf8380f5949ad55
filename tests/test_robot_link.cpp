// The robot link inside a running window: requests acting on the shared state, and the server
// on port 5020 as a robot sees it, including its recovery from failures.
#include "robot_client.h"
#include "window_test.h"

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

    std::unique_ptr<WindowFixture> m_window;

    // Without the vision client nobody consumes the events, so each can be checked.
    WindowFixture& startBridge(const QMap<QString, QString>& config = {})
    {
        writeConfig(TestDir(), config);
        m_window = std::make_unique<WindowFixture>();
        m_window->StopVisionClient();
        return *m_window;
    }
    QByteArray robotLog()
    {
        m_window->FlushLog();
        return TestDebugLog();
    }
    // The reply to one request as the robot thread builds it; empty when unrecognised.
    QByteArray reply(const char* request) { return m_window->AskRobot(Hex(request)); }
    void store(bool statusGood, const measurement::Values& values,
               measurement::Clock::time_point decoded = measurement::Clock::now())
    {
        m_window->m_measurement.Store({statusGood, 5, values}, decoded);
    }
    // Connects once the server waits for a robot again; it may be starting over.
    void connectRobot(RobotClient& robot)
    {
        QTRY_VERIFY(!m_window->m_bRobotServerConnected && isListening(5020));
        QVERIFY(robot.connectTo());
        QTRY_VERIFY(m_window->m_bRobotServerConnected);
    }
    void expectStatusExchange()
    {
        RobotClient robot;
        connectRobot(robot);
        QCOMPARE(robot.ask(Hex("01010600"), 4), Hex("82010040"));
    }

private slots:
    void cleanup() { m_window.reset(); }

    // Queries answer from one snapshot of the shared state; set requests store it and raise
    // the event that the vision client serves.
    void requestsReadAndWriteTheSharedState()
    {
        WindowFixture& w = startBridge({{"StaleAfterMs", "0"}});
        w.m_bTervianOk = true;
        w.m_bError = false;
        store(false, {1.15, -1.5, 327.68, 400.0, 0.001});
        const QByteArray values = Hex("0072 ff6a 8000 9c40 0000");
        QCOMPARE(reply("01060000"), Hex("820c0000") + values);
        store(true, {1.15, -1.5, 327.68, 400.0, 0.001});
        QCOMPARE(reply("0106ffff"), Hex("82000000") + values);
        w.m_bTervianOk = false; // the values stay those of the last record
        QCOMPARE(reply("01060000"), Hex("82010000") + values);
        w.m_bTervianOk = true;
        w.m_iTervianProgram = 300; // the low byte of the loaded project, not the requested one
        QCOMPARE(reply("01011000"), Hex("8200002c"));
        QCOMPARE(reply("01010600"), Hex("82000840"));

        // Set requests are wishes: each asks again, whatever the application has now.
        QCOMPARE(reply("02011301"), Hex("82"));
        QVERIFY(w.m_bLaserOn && w.m_bLaserWanted);
        QCOMPARE(reply("01060000"), Hex("820c0000") + values); // not measuring yet
        reply("02010600");
        QVERIFY(!w.m_bLaserOn && !w.m_bLaserWanted);
        reply("02010601");
        QVERIFY(w.m_bLaserOn && w.m_bLaserWanted && w.m_iLaserAsks == 3);
        // Measuring with StaleAfterMs=0: a record of an hour ago counts.
        w.m_bAcquisitionOn = true;
        w.m_tLaserSwitchedOn = measurement::Clock::now() - 2h;
        store(true, {1.15, -1.5, 327.68, 400.0, 0.001}, measurement::Clock::now() - 1h);
        QCOMPARE(reply("01060000"), Hex("82000000") + values);
        w.m_iTervianProgram = 5;
        reply("020110ff");
        reply("02011005"); // the project loaded already, asked back
        QVERIFY(w.m_iRobotProgram == 5 && w.m_iProgramAsks == 3); // one more at the start
        QCOMPARE(reply("02011300"), QByteArray());
        QVERIFY(w.m_bLaserWanted && w.m_iLaserAsks == 3);
        // The whole log from the vision client's stop (before it, it may have tried to
        // connect), every text as written, repeats within the minute counted.
        const QByteArray log = robotLog();
        QCOMPARE(log.mid(log.indexOf("Disconnecting from Tervian\n")),
                 QByteArray(R"(Disconnecting from Tervian
Robot request joint data
bRecognitionOK 0 bScannerOk 1
m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001
repeated 2 more times: Robot request joint data
repeated 2 more times: m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001
Robot requests joint ID=300
Robot requests status
m_bTervianOk=1 m_bLaserOn=0
Robot set laser on
repeated 1 more times: Robot request joint data
bRecognitionOK 0 bScannerOk 0
repeated 1 more times: m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001
Robot set laser off
Robot set laser on and start measure
repeated 1 more times: Robot request joint data
repeated 1 more times: m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001
Robot set joint ID
)"));
    }

    // Each request is carried out from its own four bytes and answered once, in order, however
    // TCP cuts them; padding and junk are never answered.
    void requestsFramedWhateverThePieces()
    {
        startBridge();
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
        QTRY_VERIFY(robotLog().contains("ffffffff \n"));
        QVERIFY(robotLog().contains("Robot request not completed within 200 ms dropped\n"));
        QCOMPARE(robot.ask(Hex("01010600 00000000 ff"), 4), Hex("82010040")); // padded
        QCOMPARE(robot.ask(Hex("02011301 01010600 01011000"), 9), Hex("82 82011000 82010000"));
        robot.send(Hex("ff010600 01010600")); // junk: none of it is read
        QTRY_VERIFY(robotLog().contains("ffffffff 1 6 0 1 1 6 0 \n"));
        QCOMPARE(robot.ask(Hex("01020600"), 4), Hex("82010000")); // unknown: the last reply again
        QCOMPARE(robot.ask(Hex("01010600"), 4), Hex("82011000"));
    }

    // Every reply whole and nothing more: a surplus byte would lead the next reply.
    void servesAndReconnectsLeavingNothingBehind()
    {
        QFile::remove(FaultCapturePath("robot-link"));
        startBridge();
        QTRY_VERIFY(isListening(5020));
        const Resources before = settledResources();
        for (int session = 0; session < 3; ++session) {
            RobotClient robot;
            connectRobot(robot);
            if (session > 0) // the last reply, kept across connections
                QCOMPARE(robot.ask(Hex("01020600"), 4), Hex("82010000"));
            QCOMPARE(robot.ask(Hex("01010600"), 4), Hex("82010040"));
            QCOMPARE(robot.ask(Hex("01020600"), 4), Hex("82010040"));
            QCOMPARE(robot.ask(Hex("01060000"), 14), Hex("82010000 0000 0000 0000 0000 0000"));
            QCOMPARE(robot.ask(Hex("01011000"), 4), Hex("82010000"));
            QCOMPARE(KeepAliveOptions(robot.localPort()), (QVector<int>{1, 3, 3, 1, 6000}));
        }
        QTRY_VERIFY(!m_window->m_bRobotServerConnected && isListening(5020));
        QCOMPARE(settledResources(), before);
        // A robot that closes in order has caused no fault, so the minute's robot-link capture
        // is the reset's, taken at it: all four connections, the last one unclosed.
        RobotClient reset;
        connectRobot(reset);
        reset.reset();
        QTRY_VERIFY(robotLog().contains("Fault capture saved to " +
                                        FaultCapturePath("robot-link").toUtf8() + "\n"));
        const std::vector<capture::Chunk> fault = FaultCapture("robot-link");
        QCOMPARE(std::count_if(
                     fault.begin(), fault.end(),
                     [](const capture::Chunk& c) { return c.event == capture::Event::Opened; }),
                 4L);
        QCOMPARE(fault.back().event, capture::Event::Opened);
        RobotClient last; // the exit flag ends the thread while it serves
        connectRobot(last);
        m_window->m_bExitRobotThread = true;
        QVERIFY(last.endedByBridge());
        QTRY_VERIFY_WITH_TIMEOUT(!isListening(5020), 3000);
        // Every session after the first is counted, not written again, within the minute.
        QVERIFY(robotLog().contains("repeated 3 more times: connected to the robot\n"));
    }

    void busyPortIsRetriedUntilFreeAndReportedOnce()
    {
        QTcpServer otherProgram;
        QVERIFY(otherProgram.listen(QHostAddress::LocalHost, 5020));
        BoxWatcher boxes;
        startBridge();
        QTRY_COMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts[0].startsWith("Port 5020 is held by another program"));
        QTest::qWait(1000); // two refreshes: the retries meanwhile open no second box
        const Resources busy = settledResources(); // no socket held between two attempts
        otherProgram.close();
        expectStatusExchange();
        QTRY_VERIFY(!m_window->m_bRobotServerConnected && isListening(5020));
        QCOMPARE(settledResources(), busy);
        QCOMPARE(boxes.texts.size(), 1);
    }

    // A malformed entry is reported and admits no one, the refused peer is closed unserved.
    void robotAllowAdmitsOnlyListedPeers()
    {
        BoxWatcher boxes;
        startBridge({{"RobotAllow", "127.0.0.1/32, 127.0.0.2/33"}});
        RobotClient stranger;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = inet_addr("127.0.0.2");
        QCOMPARE(bind(stranger.fd(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        QTRY_VERIFY(isListening(5020));
        QVERIFY(stranger.connectTo());
        stranger.send(Hex("01010600"));
        QVERIFY(stranger.endedByBridge());
        expectStatusExchange();
        QVERIFY(robotLog().contains("Robot server: refused a connection from 127.0.0.2 (not in "
                                    "RobotAllow)\nconnected to the robot\n1 1 6 0 \n"));
        QTRY_COMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts[0].contains(": 127.0.0.2/33. They are ignored"));
    }
};

QTEST_MAIN(TestRobotLink)
#include "test_robot_link.moc"
