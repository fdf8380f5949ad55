// The vision link of an in-process window: record decoding and what the robot hears of it, and
// the command client, the stream reader and the operator's buttons against tervian-sim or a
// peer played by the test on 127.0.0.1.
#include "robot_client.h"
#include "sim_process.h"
#include "window_test.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace
{

const QByteArray kSetUpLog = "Connected to Tervian\n"
                             "<DIDE DIR=\"Request\" CMD=\"Project_Load\" FILE=\"000002.t_p\"/>\n"
                             "<DIDE DIR=\"ReplyOk\" CMD=\"Project_Load\"/>\n"
                             "<DIDE DIR=\"Request\" CMD=\"Device_Acquisition\" STATE=\"off\" />\n"
                             "<DIDE DIR=\"ReplyOk\" CMD=\"Device_Acquisition\"/>\n"
                             "Tervian project is ready\n";

} // namespace

class TestVisionLink : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowFixture> m_window;

    WindowFixture& window()
    {
        m_window = std::make_unique<WindowFixture>();
        return *m_window;
    }
    // X, Z, width, Z difference, area, then the arrival and recognition flags as 0 or 1.
    QVector<double> values()
    {
        const measurement::Reading r = m_window->Read();
        return QVector<double>(r.values.begin(), r.values.end()) +
               QVector<double>{double(r.arrived), double(r.recognised)};
    }
    QByteArray robotReply(const char* request) { return m_window->AskRobot(Hex(request)); }
    void switchProgram(int program) { m_window->RequestProgram(program); }

private slots:
    void init() { writeConfig(TestDir(), {{"ProjectID", "000002"}}); }
    void cleanup() { m_window.reset(); }

    // A record in pieces is stored once its ';' has come, as if it had come whole.
    void decodesRecords()
    {
        WindowFixture& w = window();
        const std::pair<QByteArray, QVector<double>> blocks[] = {
            {"false,1,3,3,4,5,6,7;", {1, 3, 3, 4, 5, 1, 1}},
            {"0,1,2,3,4,5;0,6,7,8,9,10;", {6, 7, 8, 9, 10, 1, 1}},
            {"1,1,2,3,4,5;", {1, 2, 3, 4, 5, 1, 0}},
            {"0,1.5,0,0.8,-0.1,3.2;", {1.5, 0, 0.8, -0.1, 3.2, 1, 0}},
            {"\n0,1.5,2.", {1.5, 0, 0.8, -0.1, 3.2, 1, 0}},
            {"25,0.8,-0.1,3.2;", {1.5, 2.25, 0.8, -0.1, 3.2, 1, 1}}};
        for (auto [block, expected] : blocks) {
            w.DecodeValuesBuffer(block.data(), block.size());
            QCOMPARE(values(), expected);
        }
    }

    // While the laser is on, the robot hears "recognised" only for a record decoded since it
    // came on and not older than StaleAfterMs; with the laser off, the last record stands.
    void freshRecordsOnlyWhileMeasuring()
    {
        writeConfig(TestDir(), {{"ProjectID", "000002"}, {"StaleAfterMs", "500"}});
        SimProcess sim({"--stream-port", "32102"});
        QTcpServer stream; // the measurement output is played here; the event loop writes to it
        QVERIFY(stream.listen(QHostAddress::LocalHost, 32002));
        WindowFixture& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(stream.hasPendingConnections(), 10000);
        std::unique_ptr<QTcpSocket> peer(stream.nextPendingConnection());
        const auto resultCode = [&] { return int(robotReply("01060000")[1]); };
        QTRY_VERIFY(w.m_bTervianOk);
        QByteArray longRecord = "0,1,2,3,4,5"; // first on the connection, read in several pieces
        while (longRecord.size() < 2000)
            longRecord += ",0.5";
        peer->write(longRecord + ";");
        QTRY_COMPARE(robotReply("01060000"),
                     QByteArray::fromHex("82000000 0064 00c8 012c 0190 01f4"));
        QCOMPARE(robotReply("02011301"), QByteArray("\x82")); // laser on
        QCOMPARE(resultCode(), 0x0C);
        QTRY_VERIFY(w.m_bAcquisitionOn); // records count from then on
        peer->write("0,1,2,3,4,5;");
        QTRY_COMPARE(resultCode(), 0x00);
        QTRY_COMPARE(resultCode(), 0x0C); // silence

        w.m_iStaleAfterMs = 0;       // no age bound, so that only the break ends the recognition
        peer->write("0,2,2,2,2,2;"); // measured for project 2, the one loaded
        QTRY_COMPARE(resultCode(), 0x00);
        switchProgram(3);
        QTRY_COMPARE(w.m_iTervianProgram.load(), 3);
        QCOMPARE(resultCode(), 0x0C); // until a record decoded after the load comes
        peer->write("0,1.5,2.25,0.8,-0.1,3.2;");
        QTRY_COMPARE(resultCode(), 0x00);
        peer->close();
        QTRY_VERIFY(stream.hasPendingConnections());
        QCOMPARE(resultCode(), 0x0C);
        QCOMPARE(robotReply("02010600"), QByteArray("\x82")); // laser off
        QCOMPARE(robotReply("01060000"), QByteArray::fromHex("82000000 0096 00e1 0050 fff6 0140"));
    }

    // The command port is played here: replies in pieces, after events of the application's
    // own and with line ends written apart, bytes sent unasked, a reply that never ends, closes
    // while idle and during an exchange, and one that never comes. Whatever happens, the
    // application ends in the latest wishes, project first.
    void repliesMatchedAndWishesKept()
    {
        for (const char* kind : {"rejection", "no-reply", "vision-link"})
            QFile::remove(FaultCapturePath(kind));
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 32001));
        BoxWatcher boxes;
        WindowFixture& w = window();
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
        const auto setUp = [&] {
            accept();
            expect(R"(FILE="000002.t_p")", loadOk);
            expect(R"(STATE="off")", event + acquisitionOk);
        };
        accept();
        QVERIFY(request().contains(R"(FILE="000002.t_p")"));
        reply(loadOk.left(20));
        QTest::qWait(50); // the reply's second piece comes later
        reply(loadOk.mid(20));
        expect(R"(STATE="off")",
               acquisitionOk.left(45) + " INFO=\"" + QByteArray(600, 'i') + "\"/>");
        QTRY_VERIFY(w.m_bTervianOk);
        reply(acquisitionOk); // unasked: no answer to the next request
        QTRY_VERIFY(TestDebugLog().contains("Unsolicited from Tervian: " + acquisitionOk + "\n"));
        // Hostile unasked bytes: none may forge a line of its own or reach a terminal.
        reply(QByteArray("\r\nRobot set laser on\n\x1b[2J\x1b]0;x\x07\t\xc3\xa9\xff\\n\0!", 39));
        QTRY_VERIFY(TestDebugLog().contains(R"(Unsolicited from Tervian: \r\nRobot set laser on\n)"
                                            R"(\x1b[2J\x1b]0;x\x07\t\xc3\xa9\xff\\n\x00!)"
                                            "\n"));
        w.ui->pushButtonLaserOn->click();
        expect(R"(STATE="on")", R"(<DIDE DIR="ReplyError" CMD="Device_Acquisition"/>)");
        QTRY_VERIFY(w.m_bError && TestDebugLog().contains("Setting Project on NOT OK\n"));

        // Wishes made while the client waits at a log line: the latest of each is served, the
        // project first; a switch back during a load follows it.
        switchProgram(4);
        QVERIFY(request().contains(R"(FILE="4.t_p")"));
        {
            std::lock_guard<std::mutex> hold(w.m_mutexDebug);
            reply(loadOk + "<DIDE/>");
            switchProgram(5);
            w.ui->pushButtonLaserOff->click();
            w.ui->pushButtonLaserOn->click();
        }
        QVERIFY(request().contains(R"(FILE="5.t_p")"));
        switchProgram(4);
        reply(loadOk);
        expect(R"(FILE="4.t_p")", loadOk);
        QTest::qWait(20);
        reply("\r\n"); // the reply's line end, written apart, begins no reply
        QVERIFY(request().contains(R"(STATE="on")"));
        QTest::qWait(2500); // a slow answer
        reply(acquisitionOk);
        QTRY_VERIFY(w.m_bLaserOn && w.m_iTervianProgram == 4);
        QVERIFY(!server.hasPendingConnections());
        const QByteArray log = TestDebugLog();
        const int unasked = log.indexOf("Unsolicited from Tervian: <DIDE/>\n");
        QVERIFY(unasked > log.indexOf(R"(FILE="4.t_p")") &&
                unasked < log.indexOf(R"(FILE="5.t_p")"));
        QVERIFY(!log.mid(unasked).contains(R"(STATE="off")"));

        // Given up connections: after each set-up the standing wishes come back, project first.
        switchProgram(3);
        expect(R"(FILE="3.t_p")", R"(<DIDE DIR="ReplyOk")"); // never ends
        setUp();
        expect(R"(FILE="3.t_p")", loadOk);
        QVERIFY(request().contains(R"(STATE="on")"));
        peer->close(); // a reply of zero bytes: lost, never a rejection
        setUp();
        expect(R"(FILE="3.t_p")", loadOk);
        expect(R"(STATE="on")", acquisitionOk);
        QTRY_VERIFY(w.m_bLaserOn && !w.m_bError && w.m_iTervianProgram == 3);
        // Events every 5 s and never a reply: given up 30 s after the request, as for silence.
        switchProgram(5);
        QVERIFY(request().contains(R"(FILE="5.t_p")"));
        QElapsedTimer asked;
        asked.start();
        QTimer events;
        QObject::connect(&events, &QTimer::timeout, [&] { reply(event); });
        events.start(5000);
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 40000);
        events.stop();
        QVERIFY2(asked.elapsed() > 29500, qPrintable(QString::number(asked.elapsed())));
        QCOMPARE(robotReply("01010600").left(2), QByteArray::fromHex("8201"));
        setUp();
        expect(R"(FILE="5.t_p")", loadOk);
        expect(R"(STATE="on")", acquisitionOk);
        QTRY_VERIFY(TestDebugLog().contains("no reply within 30 s. Reconnecting\n"));
        // A reply that outgrows 64 KiB in all its pieces.
        switchProgram(4);
        expect(R"(FILE="4.t_p")", "<DIDE INFO=\"" + QByteArray(70000, 'i'));
        QTRY_VERIFY(TestDebugLog().contains("reply longer than 64 KiB. Reconnecting\n"));
        setUp();
        expect(R"(FILE="4.t_p")", loadOk);
        expect(R"(STATE="on")", acquisitionOk);
        peer->close(); // while idle: the robot hears "not ready" until the next set-up
        QTRY_VERIFY(!w.m_bTervianOk);
        QCOMPARE(robotReply("01010600").left(2), QByteArray::fromHex("8201"));
        switchProgram(3); // asked during the outage: the project loaded before it
        setUp();
        expect(R"(FILE="3.t_p")", loadOk);
        QVERIFY(request().contains(R"(STATE="on")")); // a stop ends the wait for its reply
        // Each kind of fault has its own capture, taken at the fault, so that it ends with it.
        const auto lastCommand = [](const char* kind) {
            const std::vector<capture::Chunk> chunks = FaultCapture(kind);
            const auto last = std::find_if(chunks.rbegin(), chunks.rend(), [](const auto& c) {
                return c.link == capture::Link::Command && c.event != capture::Event::Sent;
            });
            return last == chunks.rend() ? std::string() : last->data;
        };
        QTRY_VERIFY(lastCommand("rejection") ==
                    R"(<DIDE DIR="ReplyError" CMD="Device_Acquisition"/>)");
        QTRY_VERIFY(lastCommand("no-reply") == R"(<DIDE DIR="ReplyOk")");
        QTRY_VERIFY(QFile::exists(FaultCapturePath("vision-link")));
        const int failures = TestDebugLog().count("failed to recv");
        w.ui->pushButtonConnect->click();
        QTRY_VERIFY_WITH_TIMEOUT(!w.m_bTervianClientRunning, 5000);
        m_window.reset(); // the last lines reach the file at shutdown
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
        auto sim = std::make_unique<SimProcess>(QStringList{"--stream-port", "32102"});
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
            QVERIFY(peers[i].listen(QHostAddress::LocalHost, i == 0 ? 32002 : 32001));
            if (i == 0)
                window();
            QTRY_VERIFY_WITH_TIMEOUT(connections[i] > 0, 10000);
            const int first = connections[i];
            QTest::qWait(3000);
            QVERIFY2(connections[i] - first >= 2 && connections[i] - first <= 4,
                     qPrintable(QString::number(connections[i] - first)));
            sim.reset();
        }
        closeAfterSetUp = false;
        const int churned = connections[1];
        QTRY_VERIFY_WITH_TIMEOUT(connections[1] > churned && m_window->m_bTervianOk, 10000);
        QTest::qWait(1200); // up for a while
        command->disconnectFromHost();
        QElapsedTimer closed;
        closed.start();
        QTRY_VERIFY_WITH_TIMEOUT(connections[1] > churned + 1, 10000);
        QVERIFY2(closed.elapsed() < 1500, qPrintable(QString::number(closed.elapsed())));
    }

    void setUpButtonsAndProgramSwitches()
    {
        SimProcess sim({"--values", "0,1.5,2.25,0.8,-0.1,3.2", "--reject-project", "7"});
        WindowFixture& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(w.m_bTervianOk && sim.count("stream client connected"), 10000);
        QVERIFY(w.m_iTervianProgram == 2 && !w.m_bError && w.m_bReadingData);
        QCOMPARE(KeepAliveOptions(32001) + KeepAliveOptions(32002),
                 (QVector<int>{1, 3, 3, 1, 6000, 1, 3, 3, 1, 6000}));

        w.ui->pushButtonLaserOn->click(); // each click is one exchange
        QTRY_VERIFY(w.m_bLaserOn && sim.count("acquisition on"));
        QTRY_COMPARE(values(), (QVector<double>{1.5, 2.25, 0.8, -0.1, 3.2, 1, 1}));
        w.ui->pushButtonLaserOff->click();
        QTRY_VERIFY(!w.m_bLaserOn && sim.count("acquisition off") == 2);
        QCOMPARE(sim.count(R"(request: <DIDE DIR="Request" CMD="Device_Acquisition")"), 3);

        switchProgram(3);
        QTRY_COMPARE(w.m_iTervianProgram, 3);
        switchProgram(7);
        QTRY_VERIFY(w.m_bBadprojectName);
        QVERIFY(TestDebugLog().contains("Bad project name\n"));
        QVERIFY(w.m_iTervianProgram == 3 && !w.m_bError && !w.m_bShowErrorOnce);
        QCOMPARE(sim.count("command client connected"), 1);
    }

    // A rejected default project is reported and keeps the connection, which starts no reader;
    // a program switch is still served on it.
    void rejectedDefaultProjectKeepsTheConnection()
    {
        SimProcess sim({"--reject-project", "000002"});
        BoxWatcher boxes;
        WindowFixture& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(TestDebugLog().contains("Loading default project NOT OK\n"),
                                 10000);
        switchProgram(5);
        QTRY_COMPARE(w.m_iTervianProgram, 5);
        QVERIFY(w.m_bError && !w.m_bTervianOk && !w.m_bLaserOn && !w.m_bReadingData);
        QTRY_COMPARE(boxes.texts.value(0), QString("Error in loading or setting up the project"));
        QCOMPARE(sim.count("command client connected"), 1);
        QCOMPARE(sim.count("stream client connected"), 0);
    }

    void reconnectsKeepingTheReaderThenDisconnectAndConnect()
    {
        auto sim = std::make_unique<SimProcess>();
        WindowFixture& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(w.m_bTervianOk && sim->count("stream client connected"), 10000);
        const Resources before = settledResources();
        sim.reset();
        sim = std::make_unique<SimProcess>(QStringList{"--pieces"});
        QTRY_VERIFY(sim->count("stream client connected"));
        QTRY_VERIFY(sim->count(R"(FILE="000002.t_p"/>)") && w.m_bTervianOk);
        QCOMPARE(settledResources(), before); // no second reader, no socket left
        const QByteArray log = TestDebugLog();
        QVERIFY(!log.contains("Disconnecting from TCP device\n"));
        // The stream reader's line may come between the client's; the second set-up, within the
        // minute, is counted rather than written again.
        QCOMPARE(QByteArray(log).replace("Connected to TCP device\n", "").count(kSetUpLog), 1);

        QPushButton* connect = w.ui->pushButtonConnect;
        connect->click();
        QCOMPARE(connect->text(), QString("Connect"));
        QTRY_VERIFY_WITH_TIMEOUT(!w.m_bTervianClientRunning, 5000);
        connect->click();
        connect->click(); // the client just started counts as running: a stop, not a second client
        QCOMPARE(connect->text(), QString("Connect"));
        QTRY_VERIFY_WITH_TIMEOUT(!w.m_bTervianClientRunning, 5000);

        const int streams = sim->count("stream client connected");
        w.ui->lineEditProjectID->setText("5");
        connect->click();
        QTRY_VERIFY_WITH_TIMEOUT(w.m_bTervianOk && w.m_iTervianProgram == 5, 10000);
        QTRY_VERIFY(sim->count("stream client connected") > streams);
        QVERIFY(
            TestDebugLog().contains("Disconnecting from TCP device\nDisconnecting from Tervian\n"));
    }
};

QTEST_MAIN(TestVisionLink)
#include "test_vision_link.moc"
