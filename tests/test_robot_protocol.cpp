// Robot frames without sockets: request matching, reply tables and the value encoding.
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

QByteArray Reply(const char* reply, int length)
{
    return QByteArray(reply, length);
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
        QFETCH(robot::Request, expected);
        QCOMPARE(robot::ClassifyRequest(request.constData()), expected);
    }

    void statusAndJointIdReplies()
    {
        char reply[4];
        const auto status = [&](bool tervianOk, bool error, bool laserOn) {
            return Reply(reply, robot::BuildStatusReply(reply, {tervianOk, error, laserOn}));
        };
        QCOMPARE(status(true, false, true), Hex("82001800"));
        QCOMPARE(status(false, false, false), Hex("82010040"));
        QCOMPARE(status(true, true, false), Hex("82010840"));
        QCOMPARE(status(false, false, true), Hex("82011000"));

        // The low byte of the loaded project, whatever the robot last asked for.
        const robot::LinkState ready{true, false, false};
        QCOMPARE(Reply(reply, robot::BuildJointIdReply(reply, ready, 300)), Hex("8200002c"));
        QCOMPARE(Reply(reply, robot::BuildJointIdReply(reply, {true, true, false}, -1)),
                 Hex("820100ff"));
        QCOMPARE(Reply(reply, robot::BuildSetReply(reply)), Hex("82"));
    }

    void jointDataReply()
    {
        QCOMPARE(robot::JointDataResultCode(false, true), robot::kVisionNotReady);
        QCOMPARE(robot::JointDataResultCode(true, true), robot::kJointRecognised);
        QCOMPARE(robot::JointDataResultCode(true, false), robot::kJointNotRecognised);

        char reply[14];
        const robot::JointValues values{1.15, -1.5, 327.68, 400.0, std::nan("")};
        const int length = robot::BuildJointDataReply(reply, robot::kJointNotRecognised, values);
        QCOMPARE(Reply(reply, length), Hex("820c0000 0072 ff6a 8000 9c40 0000"));
    }

    void valueEncoding_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("field");
        const double infinity = std::numeric_limits<double>::infinity();
        QTest::newRow("just below 115 truncates") << 1.15 << Hex("0072");
        QTest::newRow("negative") << -1.5 << Hex("ff6a");
        QTest::newRow("toward zero, not down") << -0.019 << Hex("ffff");
        QTest::newRow("wraps past 327.67") << 327.68 << Hex("8000");
        QTest::newRow("wraps modulo 65536") << 400.0 << Hex("9c40");
        QTest::newRow("largest int32 range") << 21474836.0 << Hex("ffd0");
        QTest::newRow("beyond int32") << 21474837.0 << Hex("0000");
        QTest::newRow("beyond int32, negative") << -21474837.0 << Hex("0000");
        QTest::newRow("infinite") << -infinity << Hex("0000");
        QTest::newRow("not a number") << std::nan("") << Hex("0000");
    }
    void valueEncoding()
    {
        QFETCH(double, value);
        QFETCH(QByteArray, field);
        char encoded[2];
        robot::EncodeValue(value, encoded);
        QCOMPARE(QByteArray(encoded, 2), field);
    }

    void requestLogLineSignExtendsBytes()
    {
        QCOMPARE(robot::RequestLogLine(Hex("01010600").constData(), 4), std::string("1 1 6 0 \n"));
        QCOMPARE(robot::RequestLogLine(Hex("80ff7f").constData(), 3),
                 std::string("ffffff80 ffffffff 7f \n"));
    }
};

QTEST_APPLESS_MAIN(TestRobotProtocol)
#include "test_robot_protocol.moc"
