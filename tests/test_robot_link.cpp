// The robot link inside a running window: requests acting on the shared state, and the server
// on port 5020 as a robot sees it, including its recovery from failures.
#include "mainwindow.h"
#include "robot_log_lines.h"
#include "window_test.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

QByteArray Hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// Sends a request and reads up to replyLength bytes, waiting at most 3 s.
QByteArray Ask(QTcpSocket& robot, const char* request, int replyLength)
{
    robot.write(Hex(request));
    QDeadlineTimer deadline(3000);
    while (robot.bytesAvailable() < replyLength &&
           robot.waitForReadyRead(int(deadline.remainingTime())))
        ;
    return robot.read(replyLength);
}

// While it lives no descriptor can be opened: the limit lies below every one in use.
class DescriptorsExhausted
{
public:
    DescriptorsExhausted()
    {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const rlimit none{0, m_saved.rlim_max};
        setrlimit(RLIMIT_NOFILE, &none);
    }
    ~DescriptorsExhausted() { setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved;
};

// State and receive queue of the bridge's end of a robot connection, from /proc/net/tcp.
struct BridgeEnd {
    int state = -1; // 0x01 established, 0x08 close wait
    int receiveQueue = -1;
};

BridgeEnd BridgeEndOf(quint16 robotPort)
{
    const QByteArray robot = QByteArray::number(robotPort, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : readFile("/proc/net/tcp").split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 4 && fields[1].endsWith(":139C") && fields[2].endsWith(":" + robot))
            return {fields[3].toInt(nullptr, 16), fields[4].split(':').value(1).toInt(nullptr, 16)};
    }
    return {};
}

} // namespace

// Friend of MainWindow, so the tests can set and read the shared state directly.
class TestAccess : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> m_window;

    // Without the vision client nobody consumes the events, so each can be checked.
    MainWindow& startBridge(const QMap<QString, QString>& config = {})
    {
        writeConfig(TestDir(), config);
        m_window.reset(new MainWindow);
        StopWorker(m_window->m_bExitScannerThread, m_window->pScannerThread);
        return *m_window;
    }
    QByteArray robotLog()
    {
        m_window->FlushLog();
        return RobotLogLines(TestDebugLog());
    }
    QByteArray process(const char* request, int* len)
    {
        std::memcpy(m_window->m_cRecRobotBuffer, Hex(request).constData(), 4);
        m_window->ProcessRobotRequest(len);
        return QByteArray(m_window->m_cSendRobotBuffer, *len);
    }
    static bool consume(events::event_t event) { return events::WaitForEvent(event, 0) == 0; }
    // Connects once the server waits for a robot again; it may be starting over.
    void connectRobot(QTcpSocket& robot)
    {
        QTRY_VERIFY(!m_window->m_bRobotServerConnected && isListening(5020));
        robot.connectToHost("127.0.0.1", 5020);
        QVERIFY(robot.waitForConnected(3000));
    }
    void expectStatusExchange()
    {
        QTcpSocket robot;
        connectRobot(robot);
        QCOMPARE(Ask(robot, "01010600", 4), Hex("82010040"));
    }

private slots:
    void cleanup() { m_window.reset(); }

    void setRequestsRaiseEventsAndStoreState()
    {
        MainWindow& w = startBridge();
        int len = 0;
        QCOMPARE(process("02011301", &len), Hex("82"));
        QVERIFY(w.m_bLaserOn && consume(w.m_EventActivateLaser));
        process("02010601", &len); // already on: nothing to do
        QVERIFY(w.m_bLaserOn && !consume(w.m_EventActivateLaser));
        process("02010600", &len);
        QVERIFY(!w.m_bLaserOn && consume(w.m_EventDeactivateLaser));
        process("02010601", &len);
        QVERIFY(w.m_bLaserOn && consume(w.m_EventActivateLaser));

        w.m_iTervianProgram = 5;
        process("020110ff", &len);
        QVERIFY(w.m_iRobotProgram == -1 && consume(w.m_EventSwitchProgram));
        process("02011005", &len);
        QVERIFY(w.m_iRobotProgram == 5 && !consume(w.m_EventSwitchProgram));

        len = 77; // unrecognised: the previous reply stays
        process("02011300", &len);
        QCOMPARE(len, 77);
        QVERIFY(!consume(w.m_EventActivateLaser) && !consume(w.m_EventDeactivateLaser));
        // The second, identical "set joint ID" entry is counted rather than written again.
        QCOMPARE(robotLog(),
                 QByteArray("Robot set laser on\nRobot set laser on and start measure\n"
                            "Robot set laser off\nRobot set laser on and start measure\n"
                            "Robot set joint ID\n"));
    }

    void queriesAnswerFromOneSnapshot()
    {
        MainWindow& w = startBridge();
        w.m_bTervianOk = true;
        w.m_bError = false;
        w.m_bScannnerOk = true;
        w.m_dX = 1.15, w.m_dZ = -1.5, w.m_dWidth = 327.68, w.m_dZDiff = 400.0, w.m_dArea = 0.001;
        int len = 0;
        QCOMPARE(process("01060000", &len), Hex("820c0000 0072 ff6a 8000 9c40 0000"));
        w.m_bRecognitionOK = true;
        QCOMPARE(process("0106ffff", &len).left(2), Hex("8200"));
        w.m_bRecognitionOK = false;
        process("01060000", &len); // no record since the last query
        w.m_iTervianProgram = 300; // the low byte of the loaded project, not the requested one
        QCOMPARE(process("01011000", &len), Hex("8200002c"));
        QCOMPARE(process("01010600", &len), Hex("82000840"));

        const QByteArray values =
            "m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001\n";
        const QByteArray query = "Robot request joint data\n";
        QCOMPARE(robotLog(), query + "bRecognitionOK 0 bScannerOk 1\n" + values + query + values +
                                 query + "bRecognitionOK 0 bScannerOk 0\n" + values +
                                 "Robot requests joint ID=300\n"
                                 "Robot requests status\nm_bTervianOk=1 m_bLaserOn=0\n");
    }

    void servesAndReconnects()
    {
        startBridge();
        QTcpSocket robot;
        connectRobot(robot);
        robot.write(Hex("03010600")); // unrecognised before any reply: nothing to repeat
        QTRY_VERIFY(robotLog().endsWith("3 1 6 0 \n"));
        QCOMPARE(Ask(robot, "01010600", 4), Hex("82010040"));
        QCOMPARE(Ask(robot, "0101060001011000", 4), Hex("82010040")); // one segment, one reply
        robot.close();
        expectStatusExchange();
        QVERIFY(robotLog().contains("Robot is disconnected, reconnect\nconnected to the robot\n"));
    }

    // Ending while waiting for a robot is seen in the robot-probe session.
    void exitFlagEndsTheThreadWhileServing()
    {
        MainWindow& w = startBridge();
        QTcpSocket robot;
        connectRobot(robot);
        QTRY_VERIFY(w.m_bRobotServerConnected);
        w.m_bExitRobotThread = true;
        QTRY_COMPARE_WITH_TIMEOUT(robot.state(), QAbstractSocket::UnconnectedState, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!isListening(5020), 3000);
        QCOMPARE(robotLog(), QByteArray("connected to the robot\nClosing Robot connection\n"));
    }

    void busyPortIsRetriedUntilFreeAndReportedOnce()
    {
        QTcpServer otherProgram;
        QVERIFY(otherProgram.listen(QHostAddress::LocalHost, 5020));
        BoxWatcher boxes;
        startBridge();
        QTRY_COMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts[0].startsWith("Port 5020 is held by another program"));
        otherProgram.close();
        expectStatusExchange();
        // The retries collapse into one count, written once something else is logged.
        const QByteArray bindFailure =
            "Robot server: failed to bind the socket\nerrno=" + QByteArray::number(EADDRINUSE) +
            "\n";
        QVERIFY(robotLog().startsWith(bindFailure));
        QVERIFY(TestDebugLog().contains(bindFailure + "last line repeated "));
        QCOMPARE(boxes.texts.size(), 1);
    }

    // A malformed entry is reported and admits no one, the refused peer is closed unserved.
    void robotAllowAdmitsOnlyListedPeers()
    {
        BoxWatcher boxes;
        startBridge({{"RobotAllow", "127.0.0.1/32, 127.0.0.2/33"}});
        QTcpSocket stranger;
        stranger.bind(QHostAddress("127.0.0.2"));
        connectRobot(stranger);
        stranger.write(Hex("01010600"));
        QTRY_COMPARE(stranger.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(stranger.bytesAvailable(), 0);
        expectStatusExchange();
        QVERIFY(robotLog().startsWith("Robot server: refused a connection from 127.0.0.2 (not in "
                                      "RobotAllow)\nconnected to the robot\n1 1 6 0 \n"));
        QTRY_COMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts[0].contains(": 127.0.0.2/33. They are ignored"));
    }

    void failedAcceptListensAgain()
    {
        startBridge();
        QTRY_VERIFY(isListening(5020));
        const int robot = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        {
            // accept fails with EMFILE; the queued connection is reset when the server
            // closes its listening socket to start again.
            DescriptorsExhausted exhausted;
            sockaddr_in bridge{};
            bridge.sin_family = AF_INET;
            bridge.sin_port = htons(5020);
            bridge.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            QCOMPARE(::connect(robot, reinterpret_cast<sockaddr*>(&bridge), sizeof bridge), 0);
            char byte;
            QTRY_VERIFY(recv(robot, &byte, 1, MSG_DONTWAIT) != -1 || errno != EAGAIN);
        }
        ::close(robot);
        expectStatusExchange();
        QVERIFY(robotLog().startsWith("Robot server: failed to accept\n"));
    }

    void sendToVanishedRobotFailsWithoutSignal()
    {
        std::signal(SIGPIPE, SIG_DFL); // QTcpSocket ignores it for the whole process
        MainWindow& w = startBridge();
        QTcpSocket robot;
        connectRobot(robot);
        QTRY_VERIFY(w.m_bRobotServerConnected);
        const quint16 robotPort = robot.localPort();
        {
            // Holding the log keeps the server at the dump of the first request, so the robot
            // is gone before the first reply; that reply is reset and the next send fails.
            std::lock_guard<std::mutex> stopAtDump(w.m_mutexDebug);
            robot.write(Hex("01010600"));
            robot.flush();
            QTRY_COMPARE(BridgeEndOf(robotPort).receiveQueue, 0);
            robot.write(Hex("01010600"));
            robot.flush();
            robot.close();
            QTRY_COMPARE(BridgeEndOf(robotPort).state, 0x08);
        }
        QTRY_VERIFY(robotLog().contains("Robot server: failed to send\n"));
        expectStatusExchange();
    }
};

QTEST_MAIN(TestAccess)
#include "test_robot_link.moc"
