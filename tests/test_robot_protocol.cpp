// Robot frames without sockets: request matching, the reply to every request over the state it
// is built from, the value encoding and the RobotAllow list.
#include "bridge_process.h"
#include "robot_allow.h"
#include "robot_protocol.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>

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
    // Every request against the states that change its reply: the whole reply, or none.
    void answers()
    {
        const robot::JointValues values{1.15, -1.5, 327.68, 400.0, 0.001};
        const robot::Snapshot ready{{true, false, true}, 300, robot::kJointRecognised, values};
        const robot::Snapshot down{{false, false, false}, 7, robot::kVisionNotReady, {}};
        const robot::Snapshot failed{{true, true, false}, -1, robot::kJointNotRecognised, values};
        const robot::Snapshot asked{{false, false, true}, 0, robot::kVisionNotReady, values};
        const std::tuple<const char*, robot::Snapshot, const char*> rows[] = {
            {"01010600", ready, "82001800"},
            {"01010600", down, "82010040"},
            {"01010600", failed, "82010840"},
            {"010106ff", asked, "82011000"},
            {"01011000", ready, "8200002c"},
            {"01011000", failed, "820100ff"},
            {"01060000", ready, "82000000 0072 ff6a 8000 9c40 0000"},
            {"0106ffff", failed, "820c0000 0072 ff6a 8000 9c40 0000"},
            {"01060000", down, "82010000 0000 0000 0000 0000 0000"},
            {"02011301", down, "82"},
            {"02010600", down, "82"},
            {"02010601", down, "82"},
            {"020110ff", down, "82"},
            {"02011300", ready, ""},
            {"03010600", ready, ""}};
        for (const auto& [request, state, expected] : rows) {
            const QByteArray frame = Hex(request);
            robot::RequestFrame bytes;
            std::memcpy(bytes.data(), frame.constData(), bytes.size());
            const robot::Reply reply = robot::Answer(bytes, state);
            QCOMPARE(QByteArray(reply.bytes.data(), reply.length), Hex(expected));
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
