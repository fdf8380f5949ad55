// Robot frames without sockets: request matching, the framing of the bridge and of the
// Wireshark dissector against one table, the reply to every request over the state it is built
// from, the value encoding and the RobotAllow list.
#include "bridge_process.h"
#include "capture.h"
#include "robot_allow.h"
#include "robot_protocol.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <tuple>

namespace
{

// What the robot sends: hex bytes; "|" starts a piece 5 ms later, "+N" one N ms later, "#" a new
// connection. Expected: each segment's requests (">") and the requests its replies answer ("<").
struct FramingCase {
    const char* robot;
    const char* expected;
};
const FramingCase kFramingCases[] = {
    {"01 01 06 00 00 | 01 01 10 00 | 01 06 00 00", // padding after a request
     ">Status query <Status query >Joint-ID query <Joint-ID query >Joint-data query "
     "<Joint-data query"},
    {"01 01 +400 01 01 10 00 | 01 01 06 00", // a front dropped after 200 ms
     ">Joint-ID query <Joint-ID query >Status query <Status query"},
    {"09 09 09 09 | 01 01 10 00", ">Joint-ID query <Joint-ID query"}, // junk, never answered
    {"09 09 09 09 +1200 01 01 10 00", ">Joint-ID query <Joint-ID query"},
    {"01 01 10 00 # 01 02 06 00 | 01 01 06 00", // the previous reply is the server's
     ">Joint-ID query <Joint-ID query >Unrecognised request <Unrecognised request >Status query "
     "<Status query"},
    {"01 02 06 00 01 01 06 00 | 01 01 10 00", // nothing to repeat yet; padding after it
     ">Unrecognised request >Joint-ID query <Joint-ID query"},
    {"01 01 06 00 01 01 | 10 00", ">Status query <Status query >Joint-ID query <Joint-ID query"},
    {"01 +150 01 +150 06 00 | 01 01 10 00", // 200 ms from the front's first byte
     ">Joint-ID query <Joint-ID query"},
};

// The dissector's names, in the order of robot::Request.
const char* const kDissectorNames[] = {
    "Unrecognised request",       "Status query", "Joint-ID query",
    "Joint-data query",           "Laser on",     "Laser off",
    "Laser on and start measure", "Set joint ID"};

// One robot session played through the bridge's framer, with the bridge's 200 ms rule and its
// repeat of the previous reply: the traffic as the bridge would record it, and what it answered.
class FramedSession
{
public:
    FramedSession(uint32_t server, int64_t startNs) : m_server(server), m_timeNs(startNs) {}

    // cut: a byte index before which the robot's bytes are cut once more, 5 ms apart.
    void Play(const char* robot, int cut)
    {
        std::istringstream tokens(robot);
        std::string token;
        QByteArray piece;
        int byteIndex = 0;
        int64_t pauseMs = 0;
        Connect();
        while (tokens >> token) {
            const bool boundary = token == "|" || token[0] == '+' || token == "#";
            if (boundary || (byteIndex == cut && !piece.isEmpty())) {
                Feed(&piece, pauseMs);
                pauseMs = token[0] == '+' ? std::stoi(token.substr(1)) : 5;
            }
            if (token == "#")
                Connect();
            if (!boundary) {
                piece += char(std::stoi(token, nullptr, 16));
                ++byteIndex;
            }
        }
        Feed(&piece, pauseMs);
        Record(capture::Event::PeerClosed);
    }

    std::vector<capture::Chunk> chunks;
    QStringList transcript;

private:
    void Connect()
    {
        if (!chunks.empty())
            Record(capture::Event::PeerClosed);
        m_ends = {m_server, 5020, 0x7f000001, uint16_t(40000 + chunks.size())};
        m_framer.DropFragment();
        Record(capture::Event::Opened);
    }

    void Feed(QByteArray* piece, int64_t pauseMs)
    {
        if (piece->isEmpty())
            return;
        m_timeNs += pauseMs * 1000000;
        if (m_framer.HoldingFragment() && m_timeNs - m_fragmentNs > 200 * 1000000)
            m_framer.DropFragment();
        Record(capture::Event::Received, *piece);
        const auto requests = m_framer.Feed(piece->constData(), size_t(piece->size()));
        piece->clear();
        if (m_framer.FragmentBegan())
            m_fragmentNs = m_timeNs;
        QStringList asked, answered;
        QByteArray replies;
        for (const robot::RequestFrame& frame : requests) {
            const auto kind = robot::ClassifyRequest(reinterpret_cast<const char*>(frame.data()));
            asked << kDissectorNames[int(kind)];
            if (kind != robot::Request::Unrecognised)
                m_lastReply = QByteArray(robot::ReplyLength(kind), '\0').replace(0, 1, "\x82");
            if (!m_lastReply.isEmpty()) {
                answered << kDissectorNames[int(kind)];
                replies += m_lastReply;
            }
        }
        if (!asked.isEmpty())
            transcript << ">" + asked.join(',');
        if (!replies.isEmpty()) {
            m_timeNs += 1000000;
            Record(capture::Event::Sent, replies);
            transcript << "<" + answered.join(',');
        }
    }

    void Record(capture::Event event, const QByteArray& data = {})
    {
        chunks.push_back({m_timeNs, capture::Link::Robot, event, m_ends, data.toStdString()});
    }

    const uint32_t m_server;
    int64_t m_timeNs;
    capture::Endpoints m_ends;
    robot::RequestFramer m_framer;
    int64_t m_fragmentNs = 0;
    QByteArray m_lastReply; // kept across connections, as the bridge keeps it
};

// The fields tshark with the shipped dissector reads from the file, one packet a line; empty
// when it did not end in time.
QString Tshark(const QString& file, const QString& filterAndFields)
{
    QProcess tshark;
    tshark.start("tshark",
                 QStringList{"-2", "-X", "lua_script:" DISSECTOR, "-r", file, "-T", "fields"} +
                     filterAndFields.split(' '));
    return tshark.waitForFinished(60000) ? QString(tshark.readAllStandardOutput()) : QString();
}

// What the dissector made of each robot session, by server address, in the same terms.
std::map<QString, QStringList> DissectorTranscripts(const QString& file)
{
    std::map<QString, QStringList> transcripts;
    const QString lines = Tshark(file, "-Y tervian_robot -e ip.src -e ip.dst -e tervian_robot.name "
                                       "-e tervian_robot.reply -e tervian_robot.reply_to "
                                       "-e tervian_robot.unanswered -E aggregator=,");
    for (const QString& line : lines.split('\n')) {
        const QStringList f = line.split('\t');
        if (f.size() < 6)
            continue;
        const bool asked = !f[2].isEmpty();
        QString entry = asked ? ">" + f[2] : "<" + f[4];
        const auto count = [](const QString& list) {
            return list.isEmpty() ? 0 : list.count(',') + 1;
        };
        if (!asked && count(f[3]) != count(f[4]))
            entry += "(reply without a request)";
        if (!f[5].isEmpty())
            entry += "(no reply)";
        transcripts[asked ? f[1] : f[0]] << entry;
    }
    return transcripts;
}

} // namespace

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

    // The bridge's framer with its drop and repeat rules, and the dissector through tshark, on
    // each case of the table as the robot sends it and cut once more at every byte: both must
    // name the same requests and link the same replies to them.
    void dissectorFramesAsTheBridge()
    {
        if (QStandardPaths::findExecutable("tshark").isEmpty())
            QSKIP("tshark is not installed");
        std::vector<capture::Chunk> chunks;
        std::map<QString, QStringList> expected;
        std::map<QString, QString> origin;
        uint32_t server = 0x7f010000;
        for (const FramingCase& framing : kFramingCases) {
            const int bytes = int(QByteArray::fromHex(framing.robot).size());
            for (int cut = -1; cut < bytes; ++cut) {
                ++server;
                FramedSession session(server, int64_t(server & 0xFFFF) * 10000000000);
                session.Play(framing.robot, cut);
                if (cut == -1)
                    QCOMPARE(session.transcript.join(' '), QString(framing.expected));
                const QString address = QHostAddress(server).toString();
                expected[address] = session.transcript;
                origin[address] = QString("%1, cut before byte %2").arg(framing.robot).arg(cut);
                chunks.insert(chunks.end(), session.chunks.begin(), session.chunks.end());
            }
        }
        // A DIDE request answered after an event, then one left without a reply until the
        // bridge gives up.
        const capture::Endpoints command{0x7f000001, 50000, 0x7f000001, 32001};
        const auto dide = [&](int64_t atS, capture::Event event, const char* text = "") {
            chunks.push_back(
                {(1000 + atS) * 1000000000, capture::Link::Command, event, command, text});
        };
        dide(0, capture::Event::Opened);
        dide(0, capture::Event::Sent, R"(<DIDE DIR="Request" CMD="Project_Load" FILE="1.t_p"/>)");
        dide(1, capture::Event::Received, R"(<DIDE DIR="Event" CMD="Project_Load"/>)");
        dide(1, capture::Event::Received, R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)");
        dide(2, capture::Event::Sent,
             R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="on"/>)");
        dide(32, capture::Event::Closed);
        QTemporaryDir folder;
        const QString file = folder.filePath("framing.pcapng");
        {
            std::ofstream out(file.toStdString(), std::ios::binary);
            QVERIFY(capture::WritePcapng(capture::ViewsOf(chunks), 0, out));
        }
        QCOMPARE(Tshark(file, "-Y tervian_dide.unanswered -e tervian_dide.cmd"),
                 QString("Device_Acquisition\n"));
        QCOMPARE(Tshark(file, "-Y tervian_dide.unasked -e tervian_dide.dir"), QString("Event\n"));
        std::map<QString, QStringList> dissected = DissectorTranscripts(file);
        for (const auto& [address, transcript] : expected)
            QVERIFY2(dissected[address] == transcript,
                     qPrintable(origin[address] + ": the dissector read " +
                                dissected[address].join(' ') + ", the bridge " +
                                transcript.join(' ')));
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
        // 1.15 (truncated), -1.5 and the wrap modulo 65536: in answers() as 0072 ff6a 8000 9c40.
        const std::pair<double, const char*> values[] = {
            {-0.019, "ffff"},                            // toward zero, not down
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
