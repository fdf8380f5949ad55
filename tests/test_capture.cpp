// The traffic recorder's ring without sockets: its bound under a flood, and its off switch. What
// a saved capture holds is checked through tshark by check_capture.sh.
#include "capture.h"

#include <QtTest>

#include <string>

class TestCapture : public QObject
{
    Q_OBJECT

private slots:
    // A stream that floods the ring with small records, the robot's requests among them: the
    // ring stays within its bound, full, and holds exactly the newest chunks in order.
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
        constexpr int kChunks = 50000;
        for (int i = 0; i < kChunks; ++i) {
            const std::string data = text(i);
            (isRobot(i) ? robot : stream)
                .Record(capture::Event::Received, data.data(), data.size());
            QVERIFY(recorder.HeldBytes() <= kBound);
        }
        const std::vector<capture::ChunkPtr> held = recorder.Snapshot();
        QVERIFY(held.size() > 100);
        QVERIFY(recorder.HeldBytes() > kBound - 2 * (held.back()->data.size() + 256));
        for (size_t k = 0; k < held.size(); ++k) {
            const int i = kChunks - int(held.size()) + int(k);
            QCOMPARE(held[k]->link, isRobot(i) ? capture::Link::Robot : capture::Link::Stream);
            QCOMPARE(held[k]->data, text(i));
        }
    }

    // CaptureMinutes=0: nothing is kept, so nothing is saved.
    void zeroMinutesRecordsNothing()
    {
        capture::Recorder recorder;
        recorder.Configure(0, 1024 * 1024);
        const capture::Tap tap{&recorder, capture::Link::Command};
        tap.Record(capture::Event::Sent, "<DIDE/>", 7);
        QVERIFY(recorder.Snapshot().empty());
        QCOMPARE(recorder.HeldBytes(), size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestCapture)
#include "test_capture.moc"
