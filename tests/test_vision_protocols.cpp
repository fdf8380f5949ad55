// The DIDE protocol functions and the joining of stream pieces into records, without sockets.
#include "c_numbers.h"
#include "dide_protocol.h"
#include "measurement_record.h"

#include <QtTest>

#include <cstring>
#include <locale.h>
#include <random>

// The slots are defined below the class: moc misreads some of their raw strings.
class TestVisionProtocols : public QObject
{
    Q_OBJECT

private slots:
    void requestsAndReplies();
    void recordsJoinedWhateverThePieces();
    void latestRecordStoredOnceWhole();
    void numbersReadAsStrtodReadsThem();
};

void TestVisionProtocols::requestsAndReplies()
{
    QCOMPARE(dide::LoadProjectRequest("000002") + dide::AcquisitionRequest(true) +
                 dide::AcquisitionRequest(false),
             std::string(R"(<DIDE DIR="Request" CMD="Project_Load" FILE="000002.t_p"/>)"
                         R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="on" />)"
                         R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="off" />)"));
    // Project_Load accepted, rejected, or no reply to it ('-').
    const std::pair<const char*, char> verdicts[] = {
        {R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)", 'A'},
        {R"(<DIDE CMD = 'Project_Load'  DIR="ReplyOk" />)", 'A'},
        {R"(<DIDE DIR="ReplyError" CMD="Project_Load"/>)", 'R'},
        {R"(<DIDE INFO='DIR="ReplyOk"' XDIR="ReplyOk" DIR="ReplyBad" CMD="Project_Load"/>)", 'R'},
        {R"(<DIDE DIR="Event" CMD="Project_Load"/>)", '-'},
        {R"(<DIDE DIR="replyok" CMD="Project_Load"/>)", '-'},
        {R"(<DIDE DIR="ReplyOk" CMD="Device_Acquisition"/>)", '-'},
        {R"(<DIDE DIR="ReplyOk" CMD=Project_Load/>)", '-'}};
    for (const auto& [element, verdict] : verdicts)
        QVERIFY2("-AR"[int(dide::JudgeReply(element, dide::kProjectLoad))] == verdict, element);

    // Elements found whatever the pieces; blank bytes between them are no piece at all ('~':
    // other bytes between them).
    const std::string stream = "\r\n<DIDE DIR=\"Event\" A=\"x>y\"/>\r\n junk<DIDE DIR=\"ReplyOk\">"
                               "t</DIDE>\r\n<DIDE/><DI";
    const auto read = [&](size_t pieceSize) {
        dide::ElementReader reader;
        std::string pieces, text;
        for (size_t at = 0; at < stream.size(); at += pieceSize) {
            reader.Feed(std::string_view(stream).substr(at, pieceSize));
            for (auto piece = reader.Next(&text); piece != dide::ElementReader::Piece::None;
                 piece = reader.Next(&text)) // bytes between elements come as they arrive
                if (piece == dide::ElementReader::Piece::Element)
                    pieces += text + "|";
                else if (pieces.empty() || pieces.back() != '~')
                    pieces += "~";
        }
        reader.Feed("DE");
        return pieces + std::to_string(reader.Begun());
    };
    const std::string expected = "<DIDE DIR=\"Event\" A=\"x>y\"/>|~"
                                 "<DIDE DIR=\"ReplyOk\">t</DIDE>|<DIDE/>|5";
    for (size_t pieceSize : {size_t(1), size_t(7), stream.size()})
        QCOMPARE(read(pieceSize), expected);
}

// Whatever the pieces, the joiner hands out the records that one piece would have given,
// none before its ';' has arrived, and none that outgrew its bound.
// A record in pieces is stored once its ';' has come, as if it had come whole: X, Z, width,
// Z difference, area, then the arrival and recognition flags as 0 or 1.
void TestVisionProtocols::latestRecordStoredOnceWhole()
{
    measurement::LatestRecord latest;
    const std::pair<std::string, std::vector<double>> blocks[] = {
        {"false,1,3,3,4,5,6,7;", {1, 3, 3, 4, 5, 1, 1}},
        {"0,1,2,3,4,5;0,6,7,8,9,10;", {6, 7, 8, 9, 10, 1, 1}},
        {"1,1,2,3,4,5;", {1, 2, 3, 4, 5, 1, 0}},
        {"0,1.5,0,0.8,-0.1,3.2;", {1.5, 0, 0.8, -0.1, 3.2, 1, 0}},
        {"\n0,1.5,2.", {1.5, 0, 0.8, -0.1, 3.2, 1, 0}},
        {"25,0.8,-0.1,3.2;", {1.5, 2.25, 0.8, -0.1, 3.2, 1, 1}}};
    for (const auto& [block, expected] : blocks) {
        latest.Feed(block.data(), int(block.size()), measurement::Clock::now());
        const measurement::Reading r = latest.Read({}, measurement::Clock::now(), false);
        std::vector<double> seen(r.values.begin(), r.values.end());
        seen.insert(seen.end(), {double(r.arrived), double(r.recognised)});
        QCOMPARE(seen, expected);
    }
}

void TestVisionProtocols::recordsJoinedWhateverThePieces()
{
    std::string stream = ";"; // the first piece shows the separator, whatever its size
    for (int i = 0; i < 3000; ++i)
        stream += std::to_string(i % 3) + "," + std::to_string(i * 0.37) + ",-2.5e1,,x" +
                  (i % 5 ? ";" : ";\r\n;");
    bool overlong = false;
    measurement::RecordJoiner whole, joiner;
    const auto join = [&](const std::string& piece) {
        return joiner.Join(piece.data(), int(piece.size()), &overlong);
    };
    std::mt19937 random(32002);
    std::string joined;
    for (size_t at = 0, size; at < stream.size(); at += size) {
        size = std::min(stream.size() - at, size_t(random() % 90 + 1));
        joined += join(stream.substr(at, size));
    }
    QCOMPARE(joined, whole.Join(stream.data(), int(stream.size()), &overlong));

    QCOMPARE(join(std::string(measurement::RecordJoiner::kMaxTail, '5')), std::string());
    QVERIFY(!overlong);
    QCOMPARE(join("5"), std::string()); // one byte too many: dropped, up to its ';'
    QVERIFY(overlong);
    QCOMPARE(join("5;0,6;0,7"), std::string("0,6;"));

    // Before a connection's ('/') first ';' nothing is a record, however long it waits; three
    // receives, each a whole record without ';' and nothing else held before them, tell a peer
    // that sends none, and from then on each receive is one record. After a piece of something
    // longer, the rest is joined to it.
    const std::string tooLong(measurement::RecordJoiner::kMaxTail + 1, '5');
    std::string out;
    for (const std::string step : {"/", "0,1.5,2.", "25;", "/", "0,1", "0,1,2,3,4,6", "0,1,2,3,4,7",
                                   "0,1,2,3,4,8;", "/", "0,1,2,3,4,5", "0,1,2,3,4,6", "0,1,2,3,4,7",
                                   "0,9", "/", tooLong.c_str(), "5", "0,3;0,4;"})
        out += step == "/" ? (joiner.Clear(), "/") : join(step) + "|";
    QCOMPARE(out, std::string("/|0,1.5,2.25;|/|||0,10,1,2,3,4,60,1,2,3,4,70,1,2,3,4,8;|/||"
                              "0,1,2,3,4,7|0,9|/||0,4;|"));

    // A long first record, up to the bound, comes whole however it is cut: in one piece ('0')
    // or at any 512-byte boundary, each piece taken in receives of at most 512 bytes.
    for (const size_t size : {1000, 2004, 4097}) {
        std::string record = "0,1.50,2.25,0.80,-0.10,3.20";
        while (record.size() < size - 4)
            record += ",0.5";
        record.resize(size - 1, '5');
        record += ';';
        for (size_t cut = 0; cut < size; cut += measurement::kReceiveBytes) {
            joiner.Clear();
            std::string joined;
            for (const std::string& piece : {record.substr(0, cut), record.substr(cut)})
                for (size_t at = 0; at < piece.size(); at += measurement::kReceiveBytes)
                    joined += join(piece.substr(at, measurement::kReceiveBytes));
            QVERIFY2(joined == record && !overlong, qPrintable(QString::number(cut)));
        }
    }
}

// Bit for bit and up to the same end as strtod in the "C" locale, whichever path a field takes
// (fuzz_record_decoder compares any field): 20-digit decimals (12.059999999999999 is no 12.06),
// exponents out of range, signs, words, hex and blanks. A project ID is truncated, never rounded.
void TestVisionProtocols::numbersReadAsStrtodReadsThem()
{
    const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    for (const char* text : {"12.059999999999999", "0.30000000000000004", "12345678901234567890.5",
                             "1e400", "-1e-400", "4.9e-324", "2.5E-3x", "+.5", "-.e1", "0x1p3",
                             "-inf", "nan(1)", " \t7,", "e5", "-", ""}) {
        char *end = nullptr, *strtodEnd = nullptr;
        const double value = cnumbers::ParseDouble(text, &end);
        const double expected = strtod_l(text, &strtodEnd, c);
        QVERIFY2(end == strtodEnd && std::memcmp(&value, &expected, sizeof value) == 0, text);
    }
    freelocale(c);
    QString numbers;
    for (const char* id : {"000002", "2.5", "-2.5", "7x", "1e10", "-1e10", "nan", "word"})
        numbers += QString::number(dide::ProjectNumber(id)) + " ";
    QCOMPARE(numbers, QString("2 2 -2 7 2147483647 -2147483648 0 0 "));
}

QTEST_APPLESS_MAIN(TestVisionProtocols)
#include "test_vision_protocols.moc"
