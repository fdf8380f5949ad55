// The vision client and its stream reader, run by a bridge that is only connected (or, where the
// robot's view counts, started) against tervian-sim or a peer played by the test, all on ports
// that were free.
#include "in_process.h"
#include "robot_client.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <map>
#include <memory>

namespace
{

const QByteArray kSetUpLog = "Connected to Tervian\n"
                             "<DIDE DIR=\"Request\" CMD=\"Project_Load\" FILE=\"000002.t_p\"/>\n"
                             "<DIDE DIR=\"ReplyOk\" CMD=\"Project_Load\"/>\n"
                             "<DIDE DIR=\"Request\" CMD=\"Device_Acquisition\" STATE=\"off\" />\n"
                             "<DIDE DIR=\"ReplyOk\" CMD=\"Device_Acquisition\"/>\n"
                             "Tervian project is ready\n";
// tervian-sim on any free ports.
const QStringList kAnyPorts{"--command-port", "0", "--stream-port", "0"};
// Nothing listens on port 1 of this machine.
const quint16 kNoPeer = 1;

} // namespace

class TestVisionLink : public QObject
{
    Q_OBJECT

    std::unique_ptr<Bridge> m_bridge;
    std::shared_ptr<OrderWatch> m_watch;

    // A bridge for the vision application on these ports; connected, or also started.
    Bridge& bridge(quint16 commandPort, quint16 streamPort, const QMap<QString, QString>& more = {},
                   bool start = false)
    {
        QMap<QString, QString> config{{"ProjectID", "000002"},
                                      {"RobotPort", "0"},
                                      {"CommandPort", QString::number(commandPort)},
                                      {"StreamPort", QString::number(streamPort)}};
        config.insert(more);
        m_bridge = MakeBridge(config);
        m_watch = OrderWatch::On(m_bridge->Parts().link, m_bridge.get());
        if (start)
            m_bridge->Start();
        else
            m_bridge->Connect("127.0.0.1", "000002");
        return *m_bridge;
    }
    LinkSnapshot state() { return m_bridge->Snapshot().link; }
    QByteArray log()
    {
        m_bridge->Parts().log.Flush();
        return TestDebugLog();
    }

private slots:
    void cleanup()
    {
        m_bridge.reset();
        if (m_watch)
            QCOMPARE(m_watch->Broken(), QString());
        m_watch.reset();
    }

    // While the laser is on, the robot hears "recognised" only for a record decoded since
    // acquisition was confirmed on and not older than StaleAfterMs; with the laser off, the last
    // record stands. With no age bound, a broken stream ends the recognition.
    void freshRecordsOnlyWhileMeasuring()
    {
        for (const char* staleAfterMs : {"500", "0"}) {
            SimProcess sim(kAnyPorts);
            QTcpServer stream; // the measurement output is played here
            QVERIFY(stream.listen(QHostAddress::LocalHost, 0));
            bridge(sim.commandPort(), stream.serverPort(), {{"StaleAfterMs", staleAfterMs}}, true);
            QTRY_VERIFY_WITH_TIMEOUT(stream.hasPendingConnections(), 10000);
            std::unique_ptr<QTcpSocket> peer(stream.nextPendingConnection());
            RobotClient robot;
            QTRY_VERIFY(state().robotPort != 0);
            QVERIFY(robot.connectTo(state().robotPort));
            const auto resultCode = [&] { return int(robot.ask(Hex("01060000"), 14)[1]); };
            QTRY_VERIFY(state().visionReady);
            QByteArray longRecord = "0,1,2,3,4,5"; // first on the connection, read in pieces
            while (longRecord.size() < 2000)
                longRecord += ",0.5";
            peer->write(longRecord + ";");
            QTRY_COMPARE(robot.ask(Hex("01060000"), 14), Hex("82000000 0064 00c8 012c 0190 01f4"));
            QCOMPARE(robot.ask(Hex("02011301"), 1), Hex("82")); // laser on
            QCOMPARE(resultCode(), 0x0C);
            QTRY_VERIFY(state().acquisitionOn); // records count from then on
            peer->write("0,1,2,3,4,5;");
            QTRY_COMPARE(resultCode(), 0x00);
            if (QByteArray(staleAfterMs) == "500") {
                QTRY_COMPARE(resultCode(), 0x0C); // silence
                continue;
            }
            peer->write("0,2,2,2,2,2;"); // measured for project 2, the one loaded
            QTRY_COMPARE(robot.ask(Hex("01060000"), 14), Hex("82000000 00c8 00c8 00c8 00c8 00c8"));
            m_bridge->WishProject(3);
            QTRY_COMPARE(state().loadedProject, 3);
            QCOMPARE(resultCode(), 0x0C); // until a record decoded after the load comes
            peer->write("0,1.5,2.25,0.8,-0.1,3.2;");
            QTRY_COMPARE(resultCode(), 0x00);
            peer->close();
            QTRY_VERIFY(stream.hasPendingConnections());
            QCOMPARE(resultCode(), 0x0C);
            QCOMPARE(robot.ask(Hex("02010600"), 1), Hex("82")); // laser off
            QCOMPARE(robot.ask(Hex("01060000"), 14), Hex("82000000 0096 00e1 0050 fff6 0140"));
        }
    }

    // The command port is played here: replies in pieces, after events of the application's
    // own and with line ends written apart, bytes sent unasked, a reply that never ends, closes
    // while idle and during an exchange, and one that never comes. Whatever happens, the
    // application ends in the latest wishes, project first.
    void repliesMatchedAndWishesKept()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Bridge& b = bridge(server.serverPort(), kNoPeer);
        std::unique_ptr<QTcpSocket> peer;
        const auto request = [&] {
            QByteArray text = peer->readAll(); // the event loop may have read some already
            while (!text.endsWith('>') && peer->waitForReadyRead(5000))
                text += peer->readAll();
            return text;
        };
        const auto reply = [&](const QByteArray& bytes) {
            peer->write(bytes);
            peer->flush();
        };
        const auto expect = [&](const char* asked, const QByteArray& answer) {
            const QByteArray got = request();
            QVERIFY2(got.contains(asked), got.constData());
            reply(answer);
        };
        const QByteArray loadOk = R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)";
        const QByteArray acquisitionOk = R"(<DIDE DIR="ReplyOk" CMD="Device_Acquisition"/>)";
        const QByteArray event = R"(<DIDE DIR="Event" CMD="Device_State" STATE="ready"/>)";
        const auto accept = [&] {
            QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
            peer.reset(server.nextPendingConnection());
            peer->setSocketOption(QAbstractSocket::LowDelayOption, 1); // no Nagle delay
            reply(event); // a greeting, no reply to the default project
        };
        // A new connection's set-up, then the standing wishes: the project, then the laser on,
        // its reply left to the caller.
        const auto setUp = [&](const char* project) {
            accept();
            expect(R"(FILE="000002.t_p")", loadOk);
            expect(R"(STATE="off")", event + acquisitionOk);
            expect(project, loadOk);
            QVERIFY(request().contains(R"(STATE="on")"));
        };
        accept();
        QVERIFY(request().contains(R"(FILE="000002.t_p")"));
        reply(loadOk.left(20));
        QTest::qWait(50); // the reply's second piece comes later
        reply(loadOk.mid(20));
        expect(R"(STATE="off")",
               acquisitionOk.left(45) + " INFO=\"" + QByteArray(600, 'i') + "\"/>");
        QTRY_VERIFY(state().visionReady);
        reply(acquisitionOk); // unasked: no answer to the next request
        QTRY_VERIFY(log().contains("Unsolicited from Tervian: " + acquisitionOk + "\n"));
        // Hostile unasked bytes: none may forge a line of its own or reach a terminal.
        reply(QByteArray("\r\nRobot set laser on\n\x1b[2J\x1b]0;x\x07\t\xc3\xa9\xff\\n\0!", 39));
        QTRY_VERIFY(log().contains(R"(Unsolicited from Tervian: \r\nRobot set laser on\n)"
                                   R"(\x1b[2J\x1b]0;x\x07\t\xc3\xa9\xff\\n\x00!)"
                                   "\n"));
        b.WishLaser(true);
        expect(R"(STATE="on")", R"(<DIDE DIR="ReplyError" CMD="Device_Acquisition"/>)");
        QTRY_VERIFY(state().visionError && log().contains("Setting Project on NOT OK\n"));
        QCOMPARE(state().visionFailures, 1u);

        // Wishes made while the client waits for a reply: the latest of each is served, the
        // project first; a switch back during a load follows it.
        b.WishProject(4);
        QVERIFY(request().contains(R"(FILE="4.t_p")"));
        b.WishProject(5);
        b.WishLaser(false);
        b.WishLaser(true);
        reply(loadOk + "<DIDE/>");
        QVERIFY(request().contains(R"(FILE="5.t_p")"));
        b.WishProject(4);
        reply(loadOk);
        expect(R"(FILE="4.t_p")", loadOk);
        QTest::qWait(20);
        reply("\r\n"); // the reply's line end, written apart, begins no reply
        QVERIFY(request().contains(R"(STATE="on")"));
        QTest::qWait(2500); // a slow answer
        reply(acquisitionOk);
        QTRY_VERIFY(state().laserOn && state().loadedProject == 4);
        QVERIFY(!server.hasPendingConnections());
        const QByteArray afterLoads = log();
        const int unasked = afterLoads.indexOf("Unsolicited from Tervian: <DIDE/>\n");
        QVERIFY(unasked > afterLoads.indexOf(R"(FILE="4.t_p")") &&
                unasked < afterLoads.indexOf(R"(FILE="5.t_p")"));
        QVERIFY(!afterLoads.mid(unasked).contains(R"(STATE="off")"));

        // Given up connections: after each set-up the standing wishes come back, project first.
        b.WishProject(3);
        expect(R"(FILE="3.t_p")", R"(<DIDE DIR="ReplyOk")"); // never ends
        setUp(R"(FILE="3.t_p")");
        peer->close(); // a reply of zero bytes: lost, never a rejection
        setUp(R"(FILE="3.t_p")");
        reply(acquisitionOk);
        QTRY_VERIFY(state().laserOn && !state().visionError && state().loadedProject == 3);
        // Events every 5 s and never a reply: given up 30 s after the request, as for silence.
        b.WishProject(5);
        QVERIFY(request().contains(R"(FILE="5.t_p")"));
        QElapsedTimer asked;
        asked.start();
        QTimer events;
        QObject::connect(&events, &QTimer::timeout, [&] { reply(event); });
        events.start(5000);
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 40000);
        events.stop();
        QVERIFY2(asked.elapsed() > 29500, qPrintable(QString::number(asked.elapsed())));
        QVERIFY(!state().visionReady); // the robot hears "not ready"
        setUp(R"(FILE="5.t_p")");
        reply(acquisitionOk);
        QTRY_VERIFY(log().contains("no reply within 30 s. Reconnecting\n"));
        // A reply that outgrows 64 KiB in all its pieces.
        b.WishProject(4);
        expect(R"(FILE="4.t_p")", "<DIDE INFO=\"" + QByteArray(70000, 'i'));
        QTRY_VERIFY(log().contains("reply longer than 64 KiB. Reconnecting\n"));
        setUp(R"(FILE="4.t_p")");
        reply(acquisitionOk);
        peer->close(); // while idle: the robot hears "not ready" until the next set-up
        QTRY_VERIFY(!state().visionReady);
        b.WishProject(3);         // asked during the outage: the project loaded before it
        setUp(R"(FILE="3.t_p")"); // a stop ends the wait for the laser's reply
        // Each kind of fault has its own capture, taken at the fault, so that it ends with it.
        std::map<capture::Fault, capture::Held> faults = TakenFaults(b.Parts().capture);
        const auto lastCommand = [&](capture::Fault kind) {
            const std::vector<capture::ChunkView>& chunks = faults[kind].chunks;
            const auto last = std::find_if(chunks.rbegin(), chunks.rend(), [](const auto& c) {
                return c.link == capture::Link::Command && c.event != capture::Event::Sent;
            });
            return last == chunks.rend() ? std::string() : std::string(last->data);
        };
        QCOMPARE(lastCommand(capture::Fault::Rejection),
                 std::string(R"(<DIDE DIR="ReplyError" CMD="Device_Acquisition"/>)"));
        QCOMPARE(lastCommand(capture::Fault::NoReply), std::string(R"(<DIDE DIR="ReplyOk")"));
        QVERIFY(!faults[capture::Fault::VisionLink].chunks.empty());
        const int failures = log().count("failed to recv");
        b.Disconnect();
        QTRY_VERIFY_WITH_TIMEOUT(!state().clientRunning, 5000);
        m_bridge.reset(); // the last lines reach the file at shutdown
        QVERIFY(TestDebugLog().contains("Disconnecting from Tervian\n"));
        QCOMPARE(TestDebugLog().count("failed to recv"), failures);
        QVERIFY(!QRegularExpression("[^\n -~]").match(TestDebugLog()).hasMatch()); // only ASCII
    }

    // Peers that close at once: on the stream port after a good set-up, then on the command
    // port after answering the set-up. In a window of 3 s, pauses of 100, 200, 400, 800 and
    // 1600 ms allow at most four more connections each, not thousands. A command connection
    // that stayed up a second starts the pauses afresh.
    void reconnectsBackOffFromPeersThatCloseAtOnce()
    {
        auto sim = std::make_unique<SimProcess>(kAnyPorts);
        const quint16 commandPort = sim->commandPort();
        QTcpServer peers[2]; // stream, command
        int connections[2] = {0, 0};
        bool closeAfterSetUp = true;
        QTcpSocket* command = nullptr;
        const auto answerSetUp = [&](QTcpSocket* peer) {
            const bool load = peer->readAll().contains("Project_Load");
            peer->write(load ? R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)"
                             : R"(<DIDE DIR="ReplyOk" CMD="Device_Acquisition"/>)");
            if (!load && closeAfterSetUp)
                peer->disconnectFromHost();
        };
        for (int i : {0, 1}) {
            QObject::connect(&peers[i], &QTcpServer::newConnection, [&, i] {
                for (; peers[i].hasPendingConnections(); ++connections[i]) {
                    QTcpSocket* peer = peers[i].nextPendingConnection();
                    if (i == 0)
                        peer->abort();
                    else
                        QObject::connect(command = peer, &QTcpSocket::readyRead,
                                         [=] { answerSetUp(peer); });
                }
            });
            QVERIFY(peers[i].listen(QHostAddress::LocalHost, i == 0 ? 0 : commandPort));
            if (i == 0)
                bridge(commandPort, peers[0].serverPort());
            QTRY_VERIFY_WITH_TIMEOUT(connections[i] > 0, 10000);
            const int first = connections[i];
            QTest::qWait(3000);
            QVERIFY2(connections[i] - first >= 2 && connections[i] - first <= 4,
                     qPrintable(QString::number(connections[i] - first)));
            sim.reset();
        }
        closeAfterSetUp = false;
        const int churned = connections[1];
        QTRY_VERIFY_WITH_TIMEOUT(connections[1] > churned && state().visionReady, 10000);
        QTest::qWait(1200); // up for a while
        command->disconnectFromHost();
        QElapsedTimer closed;
        closed.start();
        QTRY_VERIFY_WITH_TIMEOUT(connections[1] > churned + 1, 10000);
        QVERIFY2(closed.elapsed() < 1500, qPrintable(QString::number(closed.elapsed())));
    }

    void setUpWishesAndProgramSwitches()
    {
        SimProcess sim(kAnyPorts +
                       QStringList{"--values", "0,1.5,2.25,0.8,-0.1,3.2", "--reject-project", "7"});
        Bridge& b = bridge(sim.commandPort(), sim.streamPort());
        b.Parts().trend.SetOpen(true); // records reach the trend history while it is open
        QTRY_VERIFY_WITH_TIMEOUT(state().visionReady && sim.count("stream client connected"),
                                 10000);
        QVERIFY(state().loadedProject == 2 && !state().visionError && state().streamReading);
        QCOMPARE(KeepAliveOptions(sim.commandPort()) + KeepAliveOptions(sim.streamPort()),
                 (QVector<int>{1, 3, 3, 1, 6000, 1, 3, 3, 1, 6000}));

        b.WishLaser(true); // each wish is one exchange
        QTRY_VERIFY(state().laserOn && sim.count("acquisition on"));
        // The first record may have been decoded just before the application's reply to the
        // acquisition request: it does not count, the next one does.
        QTRY_COMPARE(m_bridge->Snapshot().joint.resultCode, robot::kJointRecognised);
        QCOMPARE(m_bridge->Snapshot().joint.record.values,
                 (measurement::Values{1.5, 2.25, 0.8, -0.1, 3.2}));
        QVERIFY(
            b.Parts().trend.Columns(trend::Ms(measurement::Clock::now()) + 1, 60000, 1)[0].records >
            0);
        b.WishLaser(false);
        QTRY_VERIFY(!state().laserOn && sim.count("acquisition off") == 2);
        QCOMPARE(sim.count(R"(request: <DIDE DIR="Request" CMD="Device_Acquisition")"), 3);

        b.WishProject(3);
        QTRY_COMPARE(state().loadedProject, 3);
        b.WishProject(7);
        QTRY_VERIFY(log().contains("Bad project name\n"));
        QVERIFY(state().loadedProject == 3 && !state().visionError && state().visionFailures == 0);
        QCOMPARE(sim.count("command client connected"), 1);
    }

    // A rejected default project is reported and keeps the connection, which starts no reader;
    // a program switch is still served on it.
    void rejectedDefaultProjectKeepsTheConnection()
    {
        SimProcess sim(kAnyPorts + QStringList{"--reject-project", "000002"});
        Bridge& b = bridge(sim.commandPort(), sim.streamPort());
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Loading default project NOT OK\n"), 10000);
        b.WishProject(5);
        QTRY_COMPARE(state().loadedProject, 5);
        const LinkSnapshot s = state();
        QVERIFY(s.visionError && !s.visionReady && !s.laserOn && !s.streamReading &&
                s.clientConnected && s.visionFailures == 1);
        QCOMPARE(sim.count("command client connected"), 1);
        QCOMPARE(sim.count("stream client connected"), 0);
    }

    void reconnectsKeepingTheReaderThenDisconnectAndConnect()
    {
        auto sim = std::make_unique<SimProcess>(kAnyPorts);
        const QStringList ports{"--command-port", QString::number(sim->commandPort()),
                                "--stream-port", QString::number(sim->streamPort())};
        Bridge& b = bridge(sim->commandPort(), sim->streamPort());
        QTRY_VERIFY_WITH_TIMEOUT(state().visionReady && sim->count("stream client connected"),
                                 10000);
        const Resources before = settledResources();
        sim.reset();
        sim = std::make_unique<SimProcess>(QStringList{"--pieces"} + ports);
        QTRY_VERIFY(sim->count("stream client connected"));
        QTRY_VERIFY(sim->count(R"(FILE="000002.t_p"/>)") && state().visionReady);
        QCOMPARE(settledResources(), before); // no second reader, no socket left
        QVERIFY(!log().contains("Disconnecting from TCP device\n"));
        // The stream reader's line may come between the client's; the second set-up, within the
        // minute, is counted rather than written again.
        QCOMPARE(log().replace("Connected to TCP device\n", "").count(kSetUpLog), 1);

        b.Disconnect();
        QTRY_VERIFY_WITH_TIMEOUT(!state().clientRunning, 5000);
        const int streams = sim->count("stream client connected");
        b.Connect("127.0.0.1", "5");
        QTRY_VERIFY_WITH_TIMEOUT(state().visionReady && state().loadedProject == 5, 10000);
        QTRY_VERIFY(sim->count("stream client connected") > streams);
        QVERIFY(log().contains("Disconnecting from TCP device\nDisconnecting from Tervian\n"));
    }
};

QTEST_MAIN(TestVisionLink)
#include "test_vision_link.moc"
