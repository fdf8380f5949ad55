// The DIDE protocol functions and the joining of stream pieces into records, without sockets.
#include "dide_protocol.h"
#include "measurement_record.h"

#include <QtTest>

#include <random>

// The slots are defined below the class: moc misreads some of their raw strings.
class TestVisionProtocols : public QObject
{
    Q_OBJECT

private slots:
    void requestsAndReplies();
    void recordsJoinedWhateverThePieces();
};

void TestVisionProtocols::requestsAndReplies()
{
    QCOMPARE(dide::LoadProjectRequest("000002") + dide::AcquisitionRequest(true) +
                 dide::AcquisitionRequest(false),
             std::string(R"(<DIDE DIR="Request" CMD="Project_Load" FILE="000002.t_p"/>)"
                         R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="on" />)"
                         R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="off" />)"));
    // Success for Project_Load, for Device_Acquisition, or neither.
    const std::pair<const char*, const char*> checks[] = {
        {R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)", "P"},
        {R"(<DIDE CMD="Project_Load" DIR="ReplyOk"/>)", "P"},
        {R"(<DIDE DIR="replyok" CMD="Project_Load"/>)", ""},
        {R"(<!--CMD--><DIDE DIR="ReplyOk" CMD="Project_Load"/>)", ""},
        {R"(<DIDE CMD="Device_Acquisition" DIR="ReplyOk)", "D"}, // value runs to the end
        {R"(DIR="ReplyOk" CMD=)", ""}};
    for (const auto& [reply, success] : checks)
        QCOMPARE(QString(dide::IsSuccessReply(reply, dide::kProjectLoad) ? "P" : "") +
                     (dide::IsSuccessReply(reply, dide::kDeviceAcquisition) ? "D" : ""),
                 QString(success));
    const std::pair<const char*, size_t> lengths[] = {{R"(<?xml?><DIDE CMD="a>b"/><DIDE/>)", 24},
                                                      {R"(<DIDE DIR="ReplyOk">text</DIDE>)", 31},
                                                      {R"(<DIDE DIR="ReplyOk">text</DI)", 0},
                                                      {"ReplyOk />", 0}};
    for (const auto& [reply, length] : lengths)
        QVERIFY2(dide::ReplyLength(reply) == length, reply);
}

// Whatever the pieces, the joiner hands out the records that one piece would have given,
// none before its ';' has arrived, and none that outgrew its bound.
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

    // On a connection ('/') that has not yet shown a ';', bytes are held until it falls
    // silent ('~'), so a record split at its very start is never cut into two.
    const auto quiet = [&] {
        const std::string held = joiner.Holding() ? "held:" : "";
        return held + joiner.Quiet() + "|";
    };
    const std::string tooLong(measurement::RecordJoiner::kMaxTail + 1, '5');
    std::string out;
    for (const std::string step : {"/", "0,1.5,2.", "25;", "~", "/", "0,1", ".5", "~", "0,2", "~",
                                   "/", tooLong.c_str(), "5", "~", "0,3", "~", "/", "0,4;0,", "~"})
        out += step == "~" ? quiet() : step == "/" ? (joiner.Clear(), "/") : join(step);
    QCOMPARE(out, std::string("/0,1.5,2.25;|/held:0,1.5|held:0,2|/held:|held:0,3|/0,4;|"));
}

QTEST_APPLESS_MAIN(TestVisionProtocols)
#include "test_vision_protocols.moc"
