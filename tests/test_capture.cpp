// The traffic recorder's ring without sockets: its bound under a flood, its clock, and its off
// switch; the capture reader on damaged files. What a saved capture holds is checked through
// tshark by check_capture.sh.
#include "capture.h"
#include "capture_reader.h"

#include <QtTest>

#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

using namespace std::literals;

namespace
{

// Where each packet block of a pcapng file starts.
std::vector<size_t> PacketBlocks(const std::string& file)
{
    std::vector<size_t> blocks;
    for (size_t at = 0; at + 8 <= file.size();) {
        uint32_t type, length;
        std::memcpy(&type, file.data() + at, 4);
        std::memcpy(&length, file.data() + at + 4, 4);
        if (type == 6)
            blocks.push_back(at);
        at += length;
    }
    return blocks;
}

void SetStamp(std::string* file, size_t block, uint64_t stamp)
{
    const uint32_t words[] = {uint32_t(stamp >> 32), uint32_t(stamp)};
    std::memcpy(file->data() + block + 12, words, sizeof words);
}

uint64_t Stamp(const std::string& file, size_t block)
{
    uint32_t words[2];
    std::memcpy(words, file.data() + block + 12, sizeof words);
    return uint64_t(words[0]) << 32 | words[1];
}

} // namespace

class TestCapture : public QObject
{
    Q_OBJECT

private slots:
    // A stream that floods the ring with small records, the robot's requests among them: the
    // ring stays within its bound, full, and holds exactly the newest chunks in order; a capture
    // being saved meanwhile keeps what it took while the ring wraps round many times.
    void boundHoldsUnderStreamFlood()
    {
        constexpr size_t kBound = 64 * 1024;
        capture::Recorder recorder;
        recorder.Configure(10, kBound);
        const capture::Tap stream{&recorder, capture::Link::Stream};
        const capture::Tap robot{&recorder, capture::Link::Robot};
        const auto isRobot = [](int i) { return i % 1000 == 0; };
        const auto text = [&](int i) {
            return (isRobot(i) ? "01 06 00 00 #" : "0,1.5,2.25,3,4,") + std::to_string(i) + ";";
        };
        const auto holdsNewest = [&](const std::vector<capture::ChunkView>& held, int end) {
            QVERIFY(held.size() > 100);
            for (size_t k = 0; k < held.size(); ++k) {
                const int i = end - int(held.size()) + int(k);
                QCOMPARE(held[k].link, isRobot(i) ? capture::Link::Robot : capture::Link::Stream);
                QCOMPARE(std::string(held[k].data), text(i));
            }
        };
        constexpr int kChunks = 50000;
        capture::Held saving;
        for (int i = 0; i < kChunks; ++i) {
            if (i == kChunks / 2)
                saving = recorder.Snapshot();
            const std::string data = text(i);
            (isRobot(i) ? robot : stream)
                .Record(capture::Event::Received, data.data(), data.size());
            QVERIFY(recorder.HeldBytes() <= kBound);
        }
        QVERIFY(recorder.HeldBytes() > kBound * 7 / 8);
        holdsNewest(recorder.Snapshot().chunks, kChunks);
        holdsNewest(saving.chunks, kChunks / 2);
    }

    // Stamps come from the steady clock, so a step of the wall clock while recording cannot
    // reorder them, and a chunk stays for CaptureMinutes minutes, not seconds; with 0 minutes
    // nothing is kept, so nothing is saved.
    void stampsAreSteadyAndLastMinutes()
    {
        for (int minutes : {1, 0}) {
            capture::Recorder recorder;
            recorder.Configure(minutes, 1024 * 1024);
            const capture::Tap tap{&recorder, capture::Link::Stream};
            const auto steadyNs = [] {
                return std::chrono::steady_clock::now().time_since_epoch() / 1ns;
            };
            const int64_t before = steadyNs();
            tap.Record(capture::Event::Received, "0,1;", 4);
            const int64_t after = steadyNs();
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            const std::vector<capture::ChunkView> held = recorder.Snapshot().chunks;
            QCOMPARE(held.size(), size_t(minutes));
            QVERIFY(minutes ? held[0].timeNs >= before && held[0].timeNs <= after
                            : recorder.HeldBytes() == 0);
        }
    }

    // A robot session as the writer saves it, read back whole; then damaged as a disk or an
    // editor might damage it, each refused with one line that names the packet block.
    void readerRefusesGapsAndDamagedStamps()
    {
        const capture::Endpoints ends{0x7f000001, 5020, 0x7f000002, 40000};
        const int64_t offset = 1796000000LL * 1000000000; // wall clock of the steady clock's zero
        const std::vector<capture::ChunkView> session = {
            {1000, capture::Link::Robot, capture::Event::Opened, ends, {}},
            {2000, capture::Link::Robot, capture::Event::Received, ends, "\x01\x06\x00\x00"sv},
            {3000, capture::Link::Robot, capture::Event::Sent, ends, "\x82\x00"sv},
            {4000, capture::Link::Robot, capture::Event::Received, ends, "\x01\x06\x00\x00"sv},
            {5000, capture::Link::Robot, capture::Event::PeerClosed, ends, {}},
            {6000, capture::Link::Robot, capture::Event::Closed, ends, {}}};
        std::ostringstream out;
        QVERIFY(capture::WritePcapng(session, offset, out));
        const std::string file = out.str();
        const std::vector<size_t> blocks = PacketBlocks(file); // handshake, 3 data, 2 FIN
        QCOMPARE(blocks.size(), size_t(8));

        std::vector<capture::Chunk> chunks;
        std::string error;
        QVERIFY2(capture::ReadPcapng(file, &chunks, &error), error.c_str());
        QCOMPARE(chunks.size(), session.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            QCOMPARE(chunks[i].timeNs, session[i].timeNs + offset);
            QCOMPARE(chunks[i].event, session[i].event);
            QCOMPARE(chunks[i].data, std::string(session[i].data));
        }

        const auto at = [&](size_t packet) { return " at byte " + std::to_string(blocks[packet]); };
        const std::pair<std::function<void(std::string*)>, std::string> damages[] = {
            {[&](std::string* f) { f->erase(blocks[3], blocks[4] - blocks[3]); }, // a request
             "TCP bytes missing or repeated in packet 5 at byte " +
                 std::to_string(blocks[5] - (blocks[4] - blocks[3]))},
            {[&](std::string* f) { SetStamp(f, blocks[5], Stamp(file, blocks[5]) + (1ULL << 48)); },
             "time stamp of packet 6 more than 1440 minutes after the first (longer than the "
             "bridge "
             "keeps)" +
                 at(5)},
            {[&](std::string* f) { SetStamp(f, blocks[6], Stamp(file, blocks[4])); },
             "time stamp goes back in packet 7" + at(6)},
            {[&](std::string* f) { SetStamp(f, blocks[0], ~0ULL); },
             "time stamp out of range in packet 1" + at(0)}};
        for (const auto& [damage, expected] : damages) {
            std::string damaged = file;
            damage(&damaged);
            QVERIFY(!capture::ReadPcapng(damaged, &chunks, &error));
            QCOMPARE(QString::fromStdString(error), QString::fromStdString(expected));
            QVERIFY(chunks.empty());
        }
    }
};

QTEST_GUILESS_MAIN(TestCapture)
#include "test_capture.moc"
