// The robot link inside a running window: requests acting on the shared state, and the server
// on port 5020 as a robot sees it, including its recovery from failures.
#include "bridge_process.h"
#include "mainwindow.h"
#include "robot_log_lines.h"

#include <QTcpServer>
#include <QtTest>

#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

QByteArray Hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// A robot controller made of one plain socket, so that tests control every descriptor.
class RobotClient
{
public:
    RobotClient() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~RobotClient() { close(); }
    int fd() const { return m_fd; }

    // Tries for up to 5 s, as the server may be starting over.
    bool connectToBridge()
    {
        sockaddr_in bridge{};
        bridge.sin_family = AF_INET;
        bridge.sin_port = htons(5020);
        bridge.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QDeadlineTimer deadline(5000);
        while (::connect(m_fd, reinterpret_cast<sockaddr*>(&bridge), sizeof bridge) != 0) {
            close(); // a socket whose connect failed cannot try again
            if (deadline.hasExpired())
                return false;
            QThread::msleep(10);
            m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        }
        return true;
    }
    quint16 localPort() const
    {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size);
        return ntohs(local.sin_port);
    }
    void send(const QByteArray& bytes) { ::send(m_fd, bytes.constData(), bytes.size(), 0); }

    // Up to count bytes, waiting at most 3 s; fewer when the bridge sends fewer or closes.
    QByteArray read(int count)
    {
        QByteArray bytes;
        pollfd entry{m_fd, POLLIN, 0};
        while (bytes.size() < count && poll(&entry, 1, 3000) == 1) {
            char buffer[512];
            const ssize_t got = recv(m_fd, buffer, size_t(count - bytes.size()), 0);
            if (got <= 0)
                break;
            bytes.append(buffer, int(got));
        }
        return bytes;
    }
    // True once the bridge has closed or reset the connection.
    bool isClosedByBridge()
    {
        char byte;
        pollfd entry{m_fd, POLLIN, 0};
        return poll(&entry, 1, 0) == 1 && recv(m_fd, &byte, 1, MSG_DONTWAIT) <= 0;
    }
    void close()
    {
        if (m_fd != -1)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// Takes every free descriptor of the process for as long as it lives.
class DescriptorsExhausted
{
public:
    explicit DescriptorsExhausted(int anyOpenFd)
    {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit low = m_saved;
        low.rlim_cur = std::min<rlim_t>(m_saved.rlim_cur, 256);
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::dup(anyOpenFd)) != -1;)
            m_fillers.push_back(fd);
    }
    ~DescriptorsExhausted()
    {
        for (int fd : m_fillers)
            ::close(fd);
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }

private:
    rlimit m_saved;
    std::vector<int> m_fillers;
};

// State and receive queue of the bridge's end of a robot connection, from /proc/net/tcp.
struct BridgeEnd {
    int state = -1; // 0x01 established, 0x08 close wait
    int receiveQueue = -1;
};

BridgeEnd BridgeEndOf(quint16 robotPort)
{
    const QByteArray robot =
        ":" + QByteArray::number(robotPort, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : readFile("/proc/net/tcp").split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 4 && fields[1].endsWith(":139C") && fields[2].endsWith(robot))
            return {fields[3].toInt(nullptr, 16), fields[4].split(':').value(1).toInt(nullptr, 16)};
    }
    return {};
}

} // namespace

// Friend of MainWindow, so the tests can set and read the shared state directly.
class TestAccess : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> m_window;

    MainWindow& startBridge()
    {
        writeConfig(QCoreApplication::applicationDirPath(), {{"DebugLog", "1"}});
        m_window.reset(new MainWindow);
        // Without the vision client nobody consumes the events, so each can be checked.
        m_window->m_bExitScannerThread = true;
        m_window->pScannerThread->join();
        delete m_window->pScannerThread;
        m_window->pScannerThread = nullptr;
        return *m_window;
    }
    QByteArray robotLog()
    {
        m_window->FlushLog();
        return RobotLogLines(readFile(QCoreApplication::applicationDirPath() + "/DebugLog.txt"));
    }
    QByteArray process(const char* request, int* len)
    {
        const QByteArray bytes = Hex(request);
        std::memcpy(m_window->m_cRecRobotBuffer, bytes.constData(), size_t(bytes.size()));
        m_window->ProcessRobotRequest(len);
        return QByteArray(m_window->m_cSendRobotBuffer, *len);
    }
    static bool consume(events::event_t event) { return events::WaitForEvent(event, 0) == 0; }

    void exchangeStatus(RobotClient* robot)
    {
        QVERIFY(robot->connectToBridge());
        robot->send(Hex("01010600"));
        QCOMPARE(robot->read(4), Hex("82010040"));
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
        QCOMPARE(process("02011005", &len), Hex("82"));
        QVERIFY(w.m_iRobotProgram == 5 && !consume(w.m_EventSwitchProgram));

        len = 77;
        process("02011300", &len);
        QCOMPARE(len, 77);
        QVERIFY(!consume(w.m_EventActivateLaser) && !consume(w.m_EventDeactivateLaser));
        QCOMPARE(robotLog(),
                 QByteArray("Robot set laser on\nRobot set laser on and start measure\n"
                            "Robot set laser off\nRobot set laser on and start measure\n"
                            "Robot set joint ID\nRobot set joint ID\n"));
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
        w.m_iTervianProgram = 300;
        QCOMPARE(process("01011000", &len), Hex("8200002c"));
        QCOMPARE(process("01010600", &len), Hex("82000840"));

        const QByteArray values =
            "m_dX=1.15 m_dZ=-1.5 m_dZDiff=400 m_dWidth=327.68 m_dArea=0.001\n";
        QCOMPARE(robotLog(), "Robot request joint data\nbRecognitionOK 0 bScannerOk 1\n" + values +
                                 "Robot request joint data\n" + values +
                                 "Robot request joint data\nbRecognitionOK 0 bScannerOk 0\n" +
                                 values +
                                 "Robot requests joint ID=300\n"
                                 "Robot requests status\nm_bTervianOk=1 m_bLaserOn=0\n");
    }

    void servesResendsAndReconnects()
    {
        MainWindow& w = startBridge();
        RobotClient robot;
        QVERIFY(robot.connectToBridge());
        QTRY_VERIFY(w.m_bRobotServerConnected);
        robot.send(Hex("03010600")); // unrecognised before any reply: nothing to repeat
        QTRY_VERIFY(robotLog().endsWith("3 1 6 0 \n"));
        robot.send(Hex("01010600"));
        QCOMPARE(robot.read(4), Hex("82010040"));
        robot.send(Hex("03010600"));
        QCOMPARE(robot.read(4), Hex("82010040"));
        robot.send(Hex("0101060001011000")); // two requests in one segment: one reply
        QCOMPARE(robot.read(4), Hex("82010040"));
        robot.send(Hex("01060000"));
        QCOMPARE(robot.read(14), Hex("82010000") + QByteArray(10, '\0'));
        robot.close();
        QTRY_VERIFY(!w.m_bRobotServerConnected);

        RobotClient next;
        exchangeStatus(&next);
        QVERIFY(
            robotLog().endsWith("Robot is disconnected, reconnect\nconnected to the robot\n"
                                "1 1 6 0 \nRobot requests status\nm_bTervianOk=0 m_bLaserOn=0\n"));
    }

    void exitFlagEndsTheThreadWhileServingOrWaiting()
    {
        MainWindow& serving = startBridge();
        RobotClient robot;
        QVERIFY(robot.connectToBridge());
        QTRY_VERIFY(serving.m_bRobotServerConnected);
        serving.m_bExitRobotThread = true;
        QTRY_VERIFY_WITH_TIMEOUT(robot.isClosedByBridge(), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!isListening(5020), 3000);
        QCOMPARE(robotLog(), QByteArray("connected to the robot\nClosing Robot connection\n"));

        MainWindow& waiting = startBridge();
        QTRY_VERIFY(isListening(5020));
        waiting.m_bExitRobotThread = true;
        QTRY_VERIFY_WITH_TIMEOUT(!isListening(5020), 3000);
        QCOMPARE(robotLog(), QByteArray("Exiting the robot server\nClosing Robot connection\n"));
    }

    void busyPortIsRetriedUntilFree()
    {
        QTcpServer otherProgram;
        QVERIFY(otherProgram.listen(QHostAddress::LocalHost, 5020));
        startBridge();
        const QByteArray bindFailure =
            "Robot server: failed to bind the socket\nerrno=" + QByteArray::number(EADDRINUSE) +
            "\n";
        QTRY_VERIFY(robotLog().startsWith(bindFailure + bindFailure));
        otherProgram.close();
        RobotClient robot;
        exchangeStatus(&robot);
    }

    void failedAcceptListensAgain()
    {
        startBridge();
        QTRY_VERIFY(isListening(5020));
        RobotClient robot;
        {
            // accept fails with EMFILE; the queued connection is reset when the server
            // closes its listening socket to start again.
            DescriptorsExhausted exhausted(robot.fd());
            QVERIFY(robot.connectToBridge());
            QTRY_VERIFY(robot.isClosedByBridge());
        }
        RobotClient next;
        exchangeStatus(&next);
        QVERIFY(robotLog().startsWith("Robot server: failed to accept\n"));
        QVERIFY(robotLog().contains("connected to the robot\n1 1 6 0 \n"));
    }

    void sendToVanishedRobotFailsWithoutSignal()
    {
        MainWindow& w = startBridge();
        RobotClient robot;
        QVERIFY(robot.connectToBridge());
        QTRY_VERIFY(w.m_bRobotServerConnected);
        const quint16 robotPort = robot.localPort();
        {
            // Holding the log keeps the server at the dump of the first request, so the robot
            // is gone before the first reply; that reply is reset and the next send fails.
            std::lock_guard<std::mutex> stopAtDump(w.m_mutexDebug);
            robot.send(Hex("01010600"));
            QTRY_COMPARE(BridgeEndOf(robotPort).receiveQueue, 0);
            robot.send(Hex("01010600"));
            robot.close();
            QTRY_COMPARE(BridgeEndOf(robotPort).state, 0x08);
        }
        QTRY_VERIFY(robotLog().contains("Robot server: failed to send\n"));
        RobotClient next;
        exchangeStatus(&next);
    }
};

QTEST_MAIN(TestAccess)
#include "test_robot_link.moc"
