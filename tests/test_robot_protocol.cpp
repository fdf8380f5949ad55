// Robot frames without sockets: request matching, reply tables and the value encoding. The
// robot link tests build the joint data and joint ID replies through the window.
#include "bridge_process.h"
#include "robot_protocol.h"

#include <QtTest>

#include <cmath>
#include <limits>

class TestRobotProtocol : public QObject
{
    Q_OBJECT

private slots:
    void matchingOrder()
    {
        using R = robot::Request;
        const std::pair<const char*, R> requests[] = {
            {"010106ff", R::Status},       {"01011007", R::JointIdQuery},
            {"0106ffff", R::JointData},    {"01011301", R::Unrecognised},
            {"02011301", R::LaserOn},      {"02011300", R::Unrecognised},
            {"02010600", R::LaserOff},     {"02010601", R::LaserOnAndMeasure},
            {"02010602", R::Unrecognised}, {"02011005", R::SetJointId},
            {"02020600", R::Unrecognised}, {"03010600", R::Unrecognised}};
        for (const auto& [request, expected] : requests)
            QVERIFY2(robot::ClassifyRequest(Hex(request).constData()) == expected, request);
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
    }

    void valueEncoding()
    {
        const double inf = std::numeric_limits<double>::infinity();
        const std::pair<double, const char*> values[] = {
            {1.15, "0072"},                              // just below 115: truncated
            {-1.5, "ff6a"},        {-0.019, "ffff"},     // toward zero, not down
            {327.68, "8000"},      {400.0, "9c40"},      // wrapped modulo 65536
            {21474836.0, "ffd0"},  {21474837.0, "0000"}, // beyond the int32 range
            {-21474837.0, "0000"}, {-inf, "0000"},       {std::nan(""), "0000"}};
        for (const auto& [value, field] : values) {
            char encoded[2];
            robot::EncodeValue(value, encoded);
            QCOMPARE(QByteArray(encoded, 2), Hex(field));
        }
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
