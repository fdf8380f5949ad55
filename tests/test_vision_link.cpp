// The vision link of an in-process window: record decoding and what the robot hears of it, and
// the command client, the stream reader and the operator's buttons against tervian-sim or a
// peer played by the test on 127.0.0.1.
#include "mainwindow.h"
#include "sim_process.h"
#include "ui_mainwindow.h"
#include "window_test.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

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

// Friend of MainWindow: the tests raise the robot's events and read the shared state directly.
class TestAccess : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> m_window;

    MainWindow& window()
    {
        m_window = std::make_unique<MainWindow>();
        return *m_window;
    }
    // X, Z, width, Z difference, area, then the arrival and recognition flags as 0 or 1.
    QVector<double> values()
    {
        MainWindow& w = *m_window;
        std::lock_guard<std::mutex> lock(w.m_mutex1);
        const QVector<double> record{w.m_dX, w.m_dZ, w.m_dWidth, w.m_dZDiff, w.m_dArea};
        return record + QVector<double>{double(w.m_bScannnerOk), double(w.m_bRecognitionOK)};
    }
    QByteArray robotReply(const char* requestHex)
    {
        const QByteArray request = QByteArray::fromHex(requestHex);
        std::copy(request.begin(), request.end(), m_window->m_cRecRobotBuffer);
        int length = 0;
        m_window->ProcessRobotRequest(&length);
        return QByteArray(m_window->m_cSendRobotBuffer, length);
    }
    void switchProgram(int program)
    {
        m_window->m_iRobotProgram = program;
        events::SetEvent(m_window->m_EventSwitchProgram);
    }

private slots:
    void init() { writeConfig(TestDir(), {{"ProjectID", "000002"}}); }
    void cleanup() { m_window.reset(); }

    // Until a ';' is seen on the connection, what came before a silence is one record; after
    // it, a record in pieces is stored once its ';' has come, as if it had come whole.
    void decodesRecords()
    {
        MainWindow& w = window();
        const std::pair<QByteArray, QVector<double>> blocks[] = {
            {"false,1,3,3,4,5,6,7", {1, 3, 3, 4, 5, 1, 1}},
            {"0,1,2,3,4,5;0,6,7,8,9,10;", {6, 7, 8, 9, 10, 1, 1}},
            {"1,1,2,3,4,5;", {1, 2, 3, 4, 5, 1, 0}},
            {"0,1.5,0,0.8,-0.1,3.2;", {1.5, 0, 0.8, -0.1, 3.2, 1, 0}},
            {"\n0,1.5,2.", {1.5, 0, 0.8, -0.1, 3.2, 1, 0}},
            {"25,0.8,-0.1,3.2;", {1.5, 2.25, 0.8, -0.1, 3.2, 1, 1}}};
        for (auto [block, expected] : blocks) {
            w.DecodeValuesBuffer(block.data(), block.size());
            w.DecodeAfterQuiet();
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
        MainWindow& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(stream.hasPendingConnections(), 10000);
        std::unique_ptr<QTcpSocket> peer(stream.nextPendingConnection());
        const auto resultCode = [&] { return int(robotReply("01060000")[1]); };
        QTRY_VERIFY(w.m_bTervianOk);
        peer->write("0,1,2,3,4,5;");
        QTRY_COMPARE(resultCode(), 0x00);
        QCOMPARE(robotReply("02011301"), QByteArray("\x82")); // laser on
        QCOMPARE(resultCode(), 0x0C);
        peer->write("0,1,2,3,4,5;");
        QTRY_COMPARE(resultCode(), 0x00);
        QTRY_COMPARE(resultCode(), 0x0C); // silence

        w.m_iStaleAfterMs = 0; // no age bound, so that only the break ends the recognition
        peer->write("0,1.5,2.25,0.8,-0.1,3.2;");
        QTRY_COMPARE(resultCode(), 0x00);
        peer->close();
        QTRY_VERIFY(stream.hasPendingConnections());
        QCOMPARE(resultCode(), 0x0C);
        QCOMPARE(robotReply("02010600"), QByteArray("\x82")); // laser off
        QCOMPARE(robotReply("01060000"), QByteArray::fromHex("82000000 0096 00e1 0050 fff6 0140"));
    }

    // The command port is played here: replies in pieces and out of the ordinary, bytes sent
    // unasked, a reply that never ends, closes while idle and during an exchange, and one that
    // never comes.
    void repliesInStepAndNoRequestLost()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 32001));
        BoxWatcher boxes;
        MainWindow& w = window();
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
        const QByteArray loadOk = R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)";
        const QByteArray acquisitionOk = R"(<DIDE DIR="ReplyOk" CMD="Device_Acquisition"/>)";
        const auto accept = [&] {
            QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
            peer.reset(server.nextPendingConnection());
            QVERIFY(request().contains(R"(FILE="000002.t_p")"));
        };
        const auto setUp = [&] {
            accept();
            reply(loadOk);
            QVERIFY(request().contains(R"(STATE="off")"));
            reply(acquisitionOk);
        };
        accept();
        reply(loadOk.left(20));
        QTest::qWait(50); // the reply's second piece comes later
        reply(loadOk.mid(20));
        QVERIFY(request().contains(R"(STATE="off")"));
        reply(acquisitionOk.left(45) + " INFO=\"" + QByteArray(600, 'i') + "\"/>");
        QTRY_VERIFY(w.m_bTervianOk);
        reply(acquisitionOk); // unasked: no answer to the next request
        QTRY_VERIFY(TestDebugLog().contains("Unsolicited from Tervian: " + acquisitionOk + "\n"));
        // Hostile unasked bytes: none may forge a line of its own or reach a terminal.
        reply(QByteArray("\r\nRobot set laser on\n\x1b[2J\x1b]0;x\x07\t\xc3\xa9\xff\\n\0!", 39));
        QTRY_VERIFY(TestDebugLog().contains(R"(Unsolicited from Tervian: \r\nRobot set laser on\n)"
                                            R"(\x1b[2J\x1b]0;x\x07\t\xc3\xa9\xff\\n\x00!)"
                                            "\n"));
        w.ui->pushButtonLaserOn->click();
        QVERIFY(request().contains(R"(STATE="on")"));
        reply(R"(<DIDE DIR="ReplyError" CMD="Device_Acquisition"/>)");
        QTRY_VERIFY(w.m_bError && TestDebugLog().contains("Setting Project on NOT OK\n"));

        // Unasked bytes and three requests, all pending at once while the client is held at
        // logging a reply, are served in the fixed order whatever the order they came in.
        switchProgram(4);
        QVERIFY(request().contains(R"(FILE="4.t_p")"));
        {
            std::lock_guard<std::mutex> hold(w.m_mutexDebug);
            peer->setSocketOption(QAbstractSocket::LowDelayOption, 1); // no Nagle delay
            reply(loadOk + "<DIDE/>");
            switchProgram(5);
            w.ui->pushButtonLaserOff->click();
            w.ui->pushButtonLaserOn->click();
        }
        for (const char* asked : {R"(STATE="on")", R"(STATE="off")", R"(FILE="5.t_p")"}) {
            const QByteArray got = request();
            QVERIFY2(got.contains(asked), got.constData());
            reply(asked[0] == 'S' ? acquisitionOk : loadOk);
        }
        QTRY_COMPARE(w.m_iTervianProgram, 5);
        const QByteArray log = TestDebugLog();
        const int unasked = log.indexOf("Unsolicited from Tervian: <DIDE/>\n");
        QVERIFY(unasked > log.indexOf(R"(FILE="4.t_p")") && unasked < log.lastIndexOf("STATE"));

        switchProgram(3);
        QVERIFY(request().contains(R"(FILE="3.t_p")"));
        reply(R"(<DIDE DIR="ReplyOk")"); // never ends: the connection is given up
        setUp();
        QVERIFY(request().contains(R"(FILE="3.t_p")")); // the lost switch, after the set-up
        reply(loadOk);
        QTRY_COMPARE(w.m_iTervianProgram, 3);

        w.ui->pushButtonLaserOn->click();
        QVERIFY(request().contains(R"(STATE="on")"));
        peer->close(); // a reply of zero bytes: lost, never a rejection; asked again after set-up
        setUp();
        QVERIFY(request().contains(R"(STATE="on")"));
        reply(acquisitionOk);
        QTRY_VERIFY(w.m_bLaserOn && !w.m_bError);
        peer->close(); // while idle: the robot hears "not ready" until the next set-up
        QTRY_VERIFY(!w.m_bTervianOk);
        QCOMPARE(robotReply("01010600").left(2), QByteArray::fromHex("8201"));
        accept(); // a stop ends the wait for a reply that never comes
        const int failures = TestDebugLog().count("failed to recv");
        w.ui->pushButtonConnect->click();
        QTRY_VERIFY_WITH_TIMEOUT(!w.m_bTervianClientRunning, 5000);
        m_window.reset(); // the last lines reach the file at shutdown
        QVERIFY(TestDebugLog().contains("Disconnecting from Tervian\n"));
        QCOMPARE(TestDebugLog().count("failed to recv"), failures);
        QVERIFY(!QRegularExpression("[^\n -~]").match(TestDebugLog()).hasMatch()); // only ASCII
    }

    // Peers that accept and close at once, on the stream port after a good set-up, then on the
    // command port: in a window of 3 s, pauses of 100, 200, 400, 800 and 1600 ms allow at most
    // four more connections each, not thousands.
    void reconnectsBackOffFromPeersThatCloseAtOnce()
    {
        auto sim = std::make_unique<SimProcess>(QStringList{"--stream-port", "32102"});
        QTcpServer peers[2]; // stream, command
        int connections[2] = {0, 0};
        for (int i : {0, 1}) {
            QObject::connect(&peers[i], &QTcpServer::newConnection, [&, i] {
                while (peers[i].hasPendingConnections())
                    peers[i].nextPendingConnection()->abort(), ++connections[i];
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
    }

    void setUpButtonsAndProgramSwitches()
    {
        SimProcess sim({"--values", "0,1.5,2.25,0.8,-0.1,3.2", "--reject-project", "7"});
        MainWindow& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(w.m_bTervianOk && sim.count("stream client connected"), 10000);
        QVERIFY(w.m_iTervianProgram == 2 && !w.m_bError && w.m_bReadingData);

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
        MainWindow& w = window();
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
        MainWindow& w = window();
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

QTEST_MAIN(TestAccess)
#include "test_vision_link.moc"
