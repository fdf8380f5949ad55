// The trend history through its columns, with times of the test's own; and the CSV export.
#include "history_store.h"
#include "trend_model.h"
#include "trend_view.h"

#include <QtTest>

namespace
{

using trend::Column;
using trend::TrendModel;

void Add(TrendModel* model, int64_t ms, double z, bool recognised = true)
{
    model->AddRecord(ms, {1.0, z, 3.0, 4.0, 5.0}, recognised);
}

// Each column as "records/unrecognised gap replies zmin..zmax>zlast", empty as ".".
QStringList ShowAll(const std::vector<Column>& columns)
{
    QStringList shown;
    for (const Column& c : columns)
        shown << (c.records == 0 && c.replies == 0
                      ? QString(".")
                      : QString::asprintf("%d/%d%s %d %g..%g>%g", c.records, c.unrecognised,
                                          c.gapBefore ? " gap" : "", c.replies, double(c.min[1]),
                                          double(c.max[1]), double(c.last[1])));
    return shown;
}

} // namespace

class TestTrendModel : public QObject
{
    Q_OBJECT

private slots:
    // Slots of 10 ms merge their records (extremes and last), a silence longer than the gap
    // limit breaks the trace, replies are kept as bits even when they come late, and the range
    // end is excluded.
    void slotsGapsAndReplies()
    {
        TrendModel model;
        model.SetOpen(true);
        Add(&model, 100000, 2.0);
        Add(&model, 100004, -1.0, false);
        Add(&model, 100009, 0.5);
        Add(&model, 100009 + TrendModel::kGapMs, 7.0); // exactly the limit: joined
        Add(&model, 100520, 8.0);
        model.AddReply(100525, 0x00);
        model.AddReply(100526, 0x0C);
        model.AddReply(100001, 0x01);
        model.AddReply(100530, 0x0C);
        Add(&model, 100530, 9.0); // at the end of the range: left out
        const std::vector<Column> columns = model.Columns(100530, 530, 53);
        QCOMPARE(columns.front().startMs, int64_t(100000));
        QStringList expected;
        for (int i = 0; i < 53; ++i)
            expected << ".";
        expected[0] = "3/1 gap 4 -1..2>0.5";
        expected[25] = "1/0 0 7..7>7";
        expected[52] = "1/0 gap 3 8..8>8";
        QCOMPARE(ShowAll(columns), expected);
    }

    // Columns wider than a slot gather the slots that start in them; a range longer than the
    // history is cut to it; after the ring has come round, an old slot is no longer reported.
    void columnsAndTheBoundOfTheHistory()
    {
        TrendModel model;
        model.SetOpen(true);
        for (int64_t ms = 0; ms < 60000; ms += 5)
            Add(&model, 1000000 + ms, double(ms % 1000) / 10.0, ms % 20000 != 0);
        QCOMPARE(ShowAll(model.Columns(1060000, 60000, 3)),
                 QStringList({"4000/1 gap 0 0..99.5>99.5", "4000/1 0 0..99.5>99.5",
                              "4000/1 0 0..99.5>99.5"}));
        const std::vector<Column> all =
            model.Columns(1060000, 100 * TrendModel::kLongestRangeMs, 10);
        QCOMPARE(all.front().startMs, 1060000 - TrendModel::kLongestRangeMs);
        QCOMPARE(ShowAll(model.Columns(1000030, 10, 1)), QStringList({"2/0 0 2..2.5>2.5"}));
        for (int64_t ms = 0; ms < TrendModel::kLongestRangeMs + 1000; ms += TrendModel::kSlotMs)
            Add(&model, 1060000 + ms, 1.0);
        QCOMPARE(ShowAll(model.Columns(1060000, 60000, 1)), QStringList({"."}));
    }

    void csvHoldsTheShownRangeSlotBySlot()
    {
        TrendModel model;
        model.SetOpen(true);
        TrendView view(&model);
        view.SetRangeMs(10 * 1000);
        Add(&model, 90000, 1.25, false);
        Add(&model, 99995, 2.5);
        model.AddReply(99990, 0x0C);
        model.AddReply(99993, 0x01);
        model.AddReply(99996, 0x00);
        QCOMPARE(view.Csv(100000),
                 QString("seconds,records,unrecognised,Y_mm,Z_mm,gap_mm,Z_diff_mm,area,robot_told\n"
                         "-10.00,1,1,1.000,1.250,3.000,4.000,5.000,\n"
                         "-0.01,1,0,1.000,2.500,3.000,4.000,5.000,00 0C 01\n"));
    }

    // A past range from the history file: one CSV row per second that holds records or replies,
    // in local time, with the middle of each second's extremes; a file that is no history keeps
    // the live range.
    void pastRangeFromTheHistory()
    {
        const QString path = QCoreApplication::applicationDirPath() + "/history.sqlite";
        QFile::remove(path);
        {
            history::Store store;
            QCOMPARE(store.OpenForWriting(path.toStdString()), history::Outcome::Done);
            history::Batch batch;
            const int64_t at = QDateTime(QDate(2026, 3, 14), QTime(3, 12)).toMSecsSinceEpoch();
            batch.stream = {{at, 200, 3, {1, 2, 3, 4, 5}, {1.5, 2, 3, 4, 6}},
                            {at + 2000, 1, 0, {-1, 0, 0, 0, 0}, {-1, 0, 0, 0, 0}}};
            batch.replies = {{at + 1200, 3, 0x0C, true, {}, "", 1, 1, 9},
                             {at + 1300, 3, 0x01, true, {}, "", 1, 1, 9},
                             {at + 3000, 1, 0x00, false, {}, "\x82\0\0\0", 1, 1, 9}};
            QCOMPARE(store.Write(batch), history::Outcome::Done);
            TrendModel model;
            TrendView view(&model, path);
            QVERIFY(view.ShowPast(at, at + 4000));
            QCOMPARE(
                view.Csv(0),
                QString("time,records,unrecognised,Y_mm,Z_mm,gap_mm,Z_diff_mm,area,robot_told\n"
                        "2026-03-14 03:12:00,200,3,1.250,2.000,3.000,4.000,5.500,\n"
                        "2026-03-14 03:12:01,0,0,,,,,,0C 01\n"
                        "2026-03-14 03:12:02,1,0,-1.000,0.000,0.000,0.000,0.000,\n"));
        }
        QFile::resize(path + "-wal", 0);
        QFile::resize(path, 10);
        TrendModel model;
        TrendView view(&model, path);
        QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
        QVERIFY(!view.ShowPast(0, 1000));
        QCOMPARE(view.windowTitle(), QString("Trend: last 60 s"));
    }
};

QTEST_MAIN(TestTrendModel)
#include "test_trend_model.moc"
