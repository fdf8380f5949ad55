// Robot frames without sockets: request matching, the status reply, the value encoding and the
// RobotAllow list. The robot link tests build the other replies through the window.
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
    // Which bytes count; the robot link tests send each known request through the window.
    void matchingOrder()
    {
        using R = robot::Request;
        const std::pair<const char*, R> requests[] = {
            {"010106ff", R::Status},       {"01011007", R::JointIdQuery},
            {"01011301", R::Unrecognised}, {"02010602", R::Unrecognised},
            {"02020600", R::Unrecognised}, {"02011300", R::Unrecognised}};
        for (const auto& [request, expected] : requests)
            QVERIFY2(robot::ClassifyRequest(Hex(request).constData()) == expected, request);
        QCOMPARE(robot::RequestLogLine(Hex("80ff7f").constData(), 3),
                 std::string("ffffff80 ffffffff 7f \n")); // bytes widened as signed chars
    }

    // Which blocks begin the fragment held after them: the limit for a request runs from there.
    void fragmentBeginsWithItsFirstByte()
    {
        robot::RequestFramer framer;
        QString seen;
        for (const char* block : {"01", "01", "060002", "01", "1301010106", "00", "ff"}) {
            framer.Feed(Hex(block).constData(), size_t(Hex(block).size()));
            seen += !framer.HoldingFragment() ? '-' : framer.FragmentBegan() ? 'B' : 'C';
        }
        QCOMPARE(seen, QString("BCBCB--"));
    }

    void statusReply()
    {
        const std::pair<robot::LinkState, const char*> rows[] = {
            {{true, false, true}, "82001800"},
            {{false, false, false}, "82010040"},
            {{true, true, false}, "82010840"},
            {{false, false, true}, "82011000"}};
        for (const auto& [link, expected] : rows) {
            char reply[4];
            QCOMPARE(QByteArray(reply, robot::BuildStatusReply(reply, link)), Hex(expected));
        }
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

    void robotAllowNeverWidens()
    {
        // Which of 127.1.0.5, 127.1.1.9 and 127.0.0.1 are admitted; the malformed entries.
        const std::pair<const char*, const char*> cases[] = {
            {" , ", "000 "},
            {" 127.1.0.77/24 ,127.0.0.1", "101 "},
            {"127.1.0.0/16", "110 "},
            {"0.0.0.0/0", "111 "},
            {"127.1.0.5/33,127.01.0.5,127.1.0,0x7f010005,127.1.0.5/,/8",
             "000 127.1.0.5/33|127.01.0.5|127.1.0|0x7f010005|127.1.0.5/|/8"},
            {"localhost, 127.0.0.1/+8, 127.1.1.9", "010 localhost|127.0.0.1/+8"}};
        for (const auto& [setting, expected] : cases) {
            const robot_allow::AllowList list = robot_allow::Parse(setting);
            QString seen;
            for (uint32_t peer : {0x7f010005u, 0x7f010109u, 0x7f000001u})
                seen += robot_allow::Admits(list, peer) ? "1" : "0";
            QStringList malformed;
            for (const std::string& entry : list.malformed)
                malformed << QString::fromStdString(entry);
            QCOMPARE(seen + " " + malformed.join('|'), QString(expected));
        }
    }
};

QTEST_APPLESS_MAIN(TestRobotProtocol)
#include "test_robot_protocol.moc"
