// The DIDE protocol functions and the socket steps, without the bridge's fixed ports.
#include "dide_protocol.h"
#include "socket_util.h"

#include <QtTest>

#include <climits>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class TestVisionProtocols : public QObject
{
    Q_OBJECT

private slots:
    void requestsAreByteExact();
    void replyCheck_data();
    void replyCheck();
    void replyValue_data();
    void replyValue();
    void projectNumberIsDefinedForEveryText();
    void sendAllDeliversEverythingAndSurvivesAClosedPeer();
};

void TestVisionProtocols::requestsAreByteExact()
{
    const std::string byId = dide::LoadProjectRequest("000002");
    QCOMPARE(byId.size(), size_t(58));
    QCOMPARE(byId, std::string(R"(<DIDE DIR="Request" CMD="Project_Load" FILE="000002.t_p"/>)"));
    QCOMPARE(dide::LoadProjectRequest(std::to_string(2)).size(), size_t(53));
    QCOMPARE(dide::AcquisitionRequest(true),
             std::string(R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="on" />)"));
    QCOMPARE(dide::AcquisitionRequest(true).size(), size_t(58));
    QCOMPARE(dide::AcquisitionRequest(false),
             std::string(R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="off" />)"));
}

void TestVisionProtocols::replyCheck_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("projectLoad");
    QTest::addColumn<bool>("acquisition");
    QTest::newRow("ok") << QByteArray(R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)") << true
                        << false;
    QTest::newRow("CMD first") << QByteArray(R"(<DIDE CMD="Project_Load" DIR="ReplyOk"/>)") << true
                               << false;
    QTest::newRow("small letters")
        << QByteArray(R"(<DIDE DIR="replyok" CMD="Project_Load"/>)") << false << false;
    QTest::newRow("CMD in earlier text")
        << QByteArray(R"(<!--CMD--><DIDE DIR="ReplyOk" CMD="Project_Load"/>)") << false << false;
    QTest::newRow("value runs to the end")
        << QByteArray(R"(<DIDE CMD="Device_Acquisition" DIR="ReplyOk)") << false << true;
    QTest::newRow("empty") << QByteArray() << false << false;
    QTest::newRow("DIR at the end") << QByteArray(R"(CMD="Project_Load" DIR)") << false << false;
    QTest::newRow("CMD at the end") << QByteArray(R"(DIR="ReplyOk" CMD=)") << false << false;
}

void TestVisionProtocols::replyCheck()
{
    QFETCH(QByteArray, reply);
    const std::string text = reply.toStdString();
    QTEST(dide::IsSuccessReply(text, dide::kProjectLoad), "projectLoad");
    QTEST(dide::IsSuccessReply(text, dide::kDeviceAcquisition), "acquisition");
}

void TestVisionProtocols::replyValue_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("value");
    QTest::newRow("project file") << QByteArray(R"(VALUE="12.t_p")") << true << 12;
    QTest::newRow("number") << QByteArray(R"(<DIDE VALUE="-12"/>)") << true << -12;
    QTest::newRow("empty") << QByteArray(R"(VALUE="")") << true << 0;
    QTest::newRow("letters") << QByteArray(R"(VALUE="abc")") << false << 0;
    QTest::newRow("trailing letter") << QByteArray(R"(VALUE="12a")") << false << 0;
    QTest::newRow("missing") << QByteArray(R"(<DIDE DIR="ReplyOk"/>)") << false << 0;
    QTest::newRow("name at the end") << QByteArray("xxxxVALUE") << false << 0;
    QTest::newRow("name ends one short") << QByteArray("VALUE=") << false << 0;
}

void TestVisionProtocols::replyValue()
{
    QFETCH(QByteArray, reply);
    int value = 99;
    QTEST(dide::ReadValue(reply.toStdString(), &value), "accepted");
    QTEST(value, "value");
}

void TestVisionProtocols::projectNumberIsDefinedForEveryText()
{
    QCOMPARE(dide::ProjectNumber("000002"), 2);
    QCOMPARE(dide::ProjectNumber(" -7.9abc"), -7);
    QCOMPARE(dide::ProjectNumber("project"), 0);
    QCOMPARE(dide::ProjectNumber(""), 0);
    QCOMPARE(dide::ProjectNumber("nan"), 0);
    QCOMPARE(dide::ProjectNumber("1e300"), INT_MAX);
    QCOMPARE(dide::ProjectNumber("-inf"), INT_MIN);
    QCOMPARE(dide::ProjectNumber("2147483647.9"), INT_MAX);
}

void TestVisionProtocols::sendAllDeliversEverythingAndSurvivesAClosedPeer()
{
    int pair[2];
    QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string payload(8 << 20, 'x'); // far more than the socket buffers hold
    size_t received = 0;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t n;
        while ((n = recv(pair[1], chunk, sizeof chunk, 0)) > 0)
            received += size_t(n);
    });
    QVERIFY(sockets::SendAll(pair[0], payload));
    shutdown(pair[0], SHUT_WR);
    reader.join();
    QCOMPARE(received, payload.size());

    close(pair[1]); // this test process does not ignore SIGPIPE
    QVERIFY(!sockets::SendAll(pair[0], "request"));
    close(pair[0]);
}

QTEST_APPLESS_MAIN(TestVisionProtocols)
#include "test_vision_protocols.moc"
