// Robot frames without sockets: request matching, reply tables and the value encoding. The
// robot link tests build the joint data and joint ID replies through the window.
#include "bridge_process.h"
#include "robot_allow.h"
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
