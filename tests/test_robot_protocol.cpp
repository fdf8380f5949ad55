// Robot frames without sockets: request matching, reply tables and the value encoding. The
// robot link tests build the joint data and joint ID replies through the window.
#include "robot_allow.h"
#include "robot_protocol.h"

#include <QtTest>

#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(robot::Request)

namespace
{

QByteArray Hex(const char* text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class TestRobotProtocol : public QObject
{
    Q_OBJECT

private slots:
    void matchingOrder_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<robot::Request>("expected");
        using R = robot::Request;
        QTest::newRow("status, argument ignored") << Hex("010106ff") << R::Status;
        QTest::newRow("joint ID query") << Hex("01011007") << R::JointIdQuery;
        QTest::newRow("joint data, bytes 2-3 ignored") << Hex("0106ffff") << R::JointData;
        QTest::newRow("query of an unknown item") << Hex("01011301") << R::Unrecognised;
        QTest::newRow("laser on") << Hex("02011301") << R::LaserOn;
        QTest::newRow("laser on, wrong argument") << Hex("02011300") << R::Unrecognised;
        QTest::newRow("laser off") << Hex("02010600") << R::LaserOff;
        QTest::newRow("laser on and measure") << Hex("02010601") << R::LaserOnAndMeasure;
        QTest::newRow("item 06, unknown argument") << Hex("02010602") << R::Unrecognised;
        QTest::newRow("set joint ID") << Hex("02011005") << R::SetJointId;
        QTest::newRow("set with byte 1 = 02") << Hex("02020600") << R::Unrecognised;
        QTest::newRow("kind 03") << Hex("03010600") << R::Unrecognised;
    }
    void matchingOrder()
    {
        QFETCH(QByteArray, request);
        QTEST(robot::ClassifyRequest(request.constData()), "expected");
    }

    void replyTables()
    {
        char reply[4];
        const auto status = [&](robot::LinkState link) {
            return QByteArray(reply, robot::BuildStatusReply(reply, link));
        };
        QCOMPARE(status({true, false, true}), Hex("82001800"));
        QCOMPARE(status({false, false, false}), Hex("82010040"));
        QCOMPARE(status({true, true, false}), Hex("82010840"));
        QCOMPARE(status({false, false, true}), Hex("82011000"));
        QCOMPARE(QByteArray(reply, robot::BuildJointIdReply(reply, {true, true, false}, -1)),
                 Hex("820100ff"));
        QCOMPARE(QByteArray(reply, robot::BuildSetReply(reply)), Hex("82"));

        QCOMPARE(robot::JointDataResultCode(false, true), robot::kVisionNotReady);
        QCOMPARE(robot::JointDataResultCode(true, true), robot::kJointRecognised);
        QCOMPARE(robot::JointDataResultCode(true, false), robot::kJointNotRecognised);
    }

    void valueEncoding_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("field");
        QTest::newRow("just below 115 truncates") << 1.15 << Hex("0072");
        QTest::newRow("negative") << -1.5 << Hex("ff6a");
        QTest::newRow("toward zero, not down") << -0.019 << Hex("ffff");
        QTest::newRow("wraps past 327.67") << 327.68 << Hex("8000");
        QTest::newRow("wraps modulo 65536") << 400.0 << Hex("9c40");
        QTest::newRow("largest int32 range") << 21474836.0 << Hex("ffd0");
        QTest::newRow("beyond int32") << 21474837.0 << Hex("0000");
        QTest::newRow("beyond int32, negative") << -21474837.0 << Hex("0000");
        QTest::newRow("infinite") << -std::numeric_limits<double>::infinity() << Hex("0000");
        QTest::newRow("not a number") << std::nan("") << Hex("0000");
    }
    void valueEncoding()
    {
        QFETCH(double, value);
        char encoded[2];
        robot::EncodeValue(value, encoded);
        QTEST(QByteArray(encoded, 2), "field");
    }

    void requestLogLineSignExtendsBytes()
    {
        QCOMPARE(robot::RequestLogLine(Hex("01010600").constData(), 4), std::string("1 1 6 0 \n"));
        QCOMPARE(robot::RequestLogLine(Hex("80ff7f").constData(), 3),
                 std::string("ffffff80 ffffffff 7f \n"));
    }

    void robotAllowNeverWidens()
    {
        // Which of 10.0.0.5, 10.0.1.9 and 127.0.0.1 are admitted; the malformed entries.
        const struct {
            const char *setting, *admitted, *malformed;
        } cases[] = {
            {" , ", "111", ""},
            {" 10.0.0.77/24 ,127.0.0.1", "101", ""},
            {"10.0.0.0/16", "110", ""},
            {"0.0.0.0/0", "111", ""},
            {"10.0.0.5/33,010.0.0.5,10.0.0,0x0a000005,10.0.0.5/,/8", "000",
             "10.0.0.5/33|010.0.0.5|10.0.0|0x0a000005|10.0.0.5/|/8"},
            {"localhost, 127.0.0.1/+8, 10.0.1.9", "010", "localhost|127.0.0.1/+8"},
        };
        for (const auto& c : cases) {
            const robot_allow::AllowList list = robot_allow::Parse(c.setting);
            QString admitted;
            for (uint32_t peer : {0x0a000005u, 0x0a000109u, 0x7f000001u})
                admitted += robot_allow::Admits(list, peer) ? "1" : "0";
            QStringList malformed;
            for (const std::string& entry : list.malformed)
                malformed << QString::fromStdString(entry);
            QCOMPARE(admitted + " " + malformed.join('|'),
                     c.admitted + (" " + QString(c.malformed)));
        }
    }
};

QTEST_APPLESS_MAIN(TestRobotProtocol)
#include "test_robot_protocol.moc"
