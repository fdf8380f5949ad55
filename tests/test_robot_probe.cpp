// robot-probe as scripts use it: its refusals, and a whole session against a running bridge,
// checked reply by reply.
#include "bridge_process.h"
#include "capture.h"
#include "robot_client.h"

#include <QtTest>

#include <fstream>
#include <thread>
#include <tuple>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// robot-probe with these arguments, to its end.
const auto RunProbe = [](const QStringList& args) {
    return runProgram(builtProgram("robot-probe"), args);
};

class TestRobotProbe : public QObject
{
    Q_OBJECT

private slots:
    void failuresExitWithTheirCodeAndSayWhy()
    {
        QCOMPARE(RunProbe({"status", "raw", "01", "0106"}),
                 ProgramRun(2, "",
                            "robot-probe: raw needs at least four hex bytes, e.g. raw 01 01 06 00: "
                            "the bridge takes requests four bytes at a time and answers no "
                            "shorter one\n"));
        // Nothing listens on port 1 of this machine.
        QCOMPARE(
            RunProbe({"--port", "1", "status"}),
            ProgramRun(1, "", "robot-probe: cannot connect to 127.0.0.1:1: Connection refused\n"));
    }

    void sessionWithTheBridge()
    {
        BridgeProcess bridge;
        QVERIFY(bridge.start());
        const QByteArray jointData =
            "joint-data: 82 01 00 00 00 00 00 00 00 00 00 00 00 00 (vision application not "
            "ready: Y 0.00 mm, Z 0.00 mm, gap 0.00 mm, Z diff 0.00 mm, area 0.00)\n";
        QCOMPARE(
            RunProbe({"status", "joint-id", "joint-data", "--repeat", "2", "set-joint", "5",
                      "laser", "on", "raw", "01", "0206", "00", "status"}),
            ProgramRun(0,
                       "status: 82 01 00 40 (link not ready, project not ready, laser off)\n"
                       "joint-id: 82 01 00 00 (link not ready, joint ID 0)\n" +
                           jointData + jointData +
                           "set-joint 5: 82 (accepted)\n"
                           "laser on: 82 (accepted)\n"
                           "raw 01 02 06 00: 82 (request not recognised: the bridge repeats "
                           "its previous reply)\n"
                           "status: 82 01 10 00 (link not ready, project not ready, laser on)\n",
                       ""));
        QCOMPARE(bridge.terminate(5000), 0);
    }

    // A bridge that answers twice: the surplus is a difference of its own, read as a reply.
    void replaySeesBytesBeyondTheReply()
    {
        const QByteArray status = Hex("82000800");
        std::vector<capture::Chunk> chunks;
        const capture::Endpoints ends{0x7f000001, 5020, 0x7f000001, 40000};
        for (auto [event, data] : {std::pair(capture::Event::Opened, QByteArray()),
                                   {capture::Event::Received, Hex("01010600")},
                                   {capture::Event::Sent, status},
                                   {capture::Event::PeerClosed, QByteArray()}})
            chunks.push_back({1000000000 + int64_t(chunks.size()) * 10000000, capture::Link::Robot,
                              event, ends, data.toStdString()});
        QTemporaryDir folder;
        const QString file = folder.filePath("session.pcapng");
        {
            std::ofstream out(file.toStdString(), std::ios::binary);
            QVERIFY(capture::WritePcapng(capture::ViewsOf(chunks), 0, out));
        }
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        QVERIFY(bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                listen(listener, 1) == 0 &&
                getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        std::thread doubling([&] {
            const int peer = accept(listener, nullptr, nullptr);
            char request[4];
            if (recv(peer, request, sizeof request, MSG_WAITALL) == 4)
                send(peer, status + status, 8, MSG_NOSIGNAL);
            while (recv(peer, request, sizeof request, 0) > 0) {
            }
            close(peer);
        });
        const ProgramRun run =
            RunProbe({"--replay", file, "--port", QString::number(ntohs(address.sin_port))});
        doubling.join();
        close(listener);
        QCOMPARE(run, ProgramRun(1,
                                 "no simulator replaying on port 32003: the records are not kept "
                                 "in step\n"
                                 "difference after request 1, status (01 01 06 00): 4 bytes more "
                                 "than the reply: 82 00 08 00 (link ok, project ready, laser off)\n"
                                 "replayed 1 requests on 1 connections: 1 differ\n",
                                 ""));
    }
};

QTEST_MAIN(TestRobotProbe)
#include "test_robot_probe.moc"
