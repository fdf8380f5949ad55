// The history: what a started bridge keeps of a robot session, a writer killed while writing,
// damaged and newer files, a disk that takes no more, trimming, and tervian-history's answers.
#include "in_process.h"
#include "robot_client.h"
#include "sim_process.h"

#include <sqlite3.h>

#include <QDir>
#include <QProcessEnvironment>

#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <thread>

namespace
{

QString HistoryFile()
{
    return HistoryWriter::FileIn(TestDir());
}

// The rows of a query as text, one line a row, cells joined by blanks; empty on any error.
QStringList Rows(const QString& path, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    QStringList rows;
    if (sqlite3_open_v2(QFile::encodeName(path), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK)
        while (sqlite3_step(statement) == SQLITE_ROW) {
            QStringList cells;
            for (int i = 0; i < sqlite3_column_count(statement); ++i)
                cells << QString::fromUtf8(
                    reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
            rows << cells.join(' ');
        }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

void WriteJunk()
{
    QFile junk(HistoryFile());
    junk.open(QIODevice::WriteOnly);
    junk.write(QByteArray(8192, 'x'));
}

int Count(const char* table)
{
    const QStringList rows = Rows(HistoryFile(), QByteArray("SELECT count(*) FROM ") + table);
    return rows.isEmpty() ? -1 : rows[0].toInt();
}

// Every reply as the robot received it, rebuilt from the rows: joint data from its result code
// and values, the others from their bytes.
QByteArray ToldBytes()
{
    QByteArray told;
    for (const QString& row : Rows(HistoryFile(), "SELECT kind, result, y, z, gap, z_diff, area, "
                                                  "hex(told) FROM replies ORDER BY rowid")) {
        const QStringList cells = row.split(' ');
        if (cells[0] != "3") {
            told += QByteArray::fromHex(cells.last().toLatin1());
            continue;
        }
        told += char(0x82) + QByteArray(1, char(cells[1].toInt())) + QByteArray(2, 0);
        for (int i = 2; i < 7; ++i) {
            const int hundredths = cells[i].toInt();
            told += char(hundredths >> 8) + QByteArray(1, char(hundredths & 0xff));
        }
    }
    return told;
}

// A joint data reply numbered n (below 30000) in its Y and Z, in whole millimetres.
events::RobotReply NumberedReply(int n)
{
    robot::Snapshot state;
    state.jointResult = robot::kJointRecognised;
    state.values = {double(n % 300), double(n / 300), 0, 0, 0};
    events::RobotReply reply;
    reply.atMs = events::NowMs();
    reply.request = robot::Request::JointData;
    reply.reply = robot::Answer(robot::kJointDataRequest, state);
    return reply;
}

// The child that the kill test kills: numbered replies as fast as the writer takes them.
int WriteForever(const QString& folder)
{
    events::Feed feed;
    DebugLog log;
    HistoryWriter writer(feed, log, folder, {});
    writer.Start();
    for (int n = 0;; n = (n + 1) % 30000) {
        feed.Publish(NumberedReply(n));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// A writer alone on a feed of the test's, with the debug log on beside the test.
struct LoneWriter {
    events::Feed feed;
    DebugLog log;
    HistoryWriter writer{feed, log, TestDir(), {}};
    LoneWriter()
    {
        log.Open(TestDir());
        log.Configure(true, 0, false);
        writer.Start();
    }
};

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        for (const QString& name :
             QDir(TestDir()).entryList({"history*.sqlite*"}, QDir::Files | QDir::Hidden))
            QFile::remove(TestDir() + "/" + name);
    }

    // A robot session against a started bridge: the replies kept are, byte for byte, what the
    // robot received; the links, the wishes with who made them, and one row for each second of
    // the stream holding every record are kept too.
    void keepsWhatTheRobotWasTold()
    {
        SimProcess sim({"--command-port", "0", "--stream-port", "0"});
        QVERIFY(sim.started());
        std::unique_ptr<Bridge> bridge =
            MakeBridge({{"RobotPort", "0"},
                        {"CommandPort", QString::number(sim.commandPort())},
                        {"StreamPort", QString::number(sim.streamPort())}});
        bridge->Start();
        QTRY_VERIFY_WITH_TIMEOUT(bridge->Snapshot().link.visionReady, 10000);
        RobotClient robot;
        QVERIFY(robot.connectTo(bridge->Snapshot().link.robotPort));
        QByteArray received = robot.ask(Hex("02011301"), 1);
        for (int i = 0; i < 30; ++i) {
            received += robot.ask(Hex("01060000"), 14);
            QTest::qWait(40); // the asks span seconds of the stream
        }
        for (const auto& [request, length] :
             {std::pair("01010600", 4), {"01011000", 4}, {"02011003", 1}, {"02010600", 1}})
            received += robot.ask(Hex(request), length);
        robot.close();
        QTRY_VERIFY(!bridge->Snapshot().link.robotConnected);
        bridge->Stop(); // the writer's last batch goes when it stops
        const uint64_t records = bridge->Parts().record.StoredCount();
        bridge.reset();
        QCOMPARE(received.size(), 1 + 30 * 14 + 4 + 4 + 1 + 1);
        QCOMPARE(ToldBytes().toHex(' '), received.toHex(' '));
        QCOMPARE(Rows(HistoryFile(), "SELECT link, up FROM links WHERE link = 'robot'"),
                 QStringList({"robot 1", "robot 0"}));
        QCOMPARE(Rows(HistoryFile(), "SELECT origin, what, value FROM wishes"),
                 QStringList(
                     {"operator project 1", "robot laser 1", "robot project 3", "robot laser 0"}));
        QCOMPARE(Rows(HistoryFile(), "SELECT sum(records), count(*) = count(DISTINCT at_ms), "
                                     "min(at_ms % 1000) + max(at_ms % 1000) FROM stream"),
                 QStringList(QString("%1 1 0").arg(records)));
        QVERIFY(records > 0);
    }

    // Killed while writing, the writer leaves a file that checks whole and holds an unbroken
    // run of the replies from the first, and it writes on from there when started again.
    void killedWhileWriting()
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--write-forever", TestDir()});
        QVERIFY(child.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(Count("replies") >= 2000, 20000);
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished());
        QCOMPARE(Rows(HistoryFile(), "PRAGMA integrity_check"), QStringList("ok"));
        QCOMPARE(Rows(HistoryFile(),
                      "SELECT count(*) FROM replies WHERE z * 3 + y / 100 != (rowid - 1) % 30000"),
                 QStringList("0"));
        const int kept = Count("replies");
        {
            LoneWriter again;
            again.feed.Publish(NumberedReply(kept % 30000));
        }
        QCOMPARE(Count("replies"), kept + 1);
        QCOMPARE(Rows(HistoryFile(), "PRAGMA integrity_check"), QStringList("ok"));
    }

    // A file that is no database is moved aside with the time in its name and a fresh history
    // starts; one of a newer schema is left as it is and the history stops. Each says so once
    // in the log and once to the operator.
    void damagedSetAsideNewerLeftAlone()
    {
        WriteJunk();
        {
            LoneWriter lone;
            lone.feed.Publish(NumberedReply(7));
            QTRY_COMPARE(Count("replies"), 1);
            QCOMPARE(lone.writer.State(), HistoryState::Recording);
            const QStringList reports = lone.writer.TakeReports();
            QCOMPARE(reports.size(), 1);
            QVERIFY2(reports[0].contains("was damaged (file is not a database)"),
                     qPrintable(reports[0]));
        }
        const QStringList aside = QDir(TestDir()).entryList({"history-damaged-20*.sqlite"});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(TestDir() + "/" + aside[0]), QByteArray(8192, 'x'));
        QCOMPARE(TestDebugLog().count("was damaged (file is not a database); it was moved aside"),
                 1);

        Rows(HistoryFile(), "SELECT 1"); // settles the WAL into the file
        sqlite3* db = nullptr;
        sqlite3_open(QFile::encodeName(HistoryFile()), &db);
        QCOMPARE(sqlite3_exec(db, "PRAGMA user_version = 2", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        const QByteArray newer = readFile(HistoryFile());
        LoneWriter lone;
        QTRY_COMPARE(lone.writer.State(), HistoryState::Stopped);
        lone.feed.Publish(NumberedReply(8));
        QVERIFY(
            lone.writer.TakeReports().join("").contains("newer version of the bridge (schema 2)"));
        QVERIFY(TestDebugLog().contains("History off: history.sqlite was written by a newer "
                                        "version of the bridge (schema 2 is newer than 1)"));
        QCOMPARE(readFile(HistoryFile()), newer);
    }

    // A file size limit that the history's next writes cross makes the disk refuse them: the
    // history pauses with one log line, keeps what comes meanwhile, and resumes by itself once
    // the disk takes bytes again.
    void fullDiskPausesAndResumes()
    {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit unlimited{};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        LoneWriter lone;
        lone.feed.Publish(NumberedReply(0));
        QTRY_COMPARE(Count("replies"), 1);
        const qint64 largest =
            std::max(QFileInfo(HistoryFile()).size(), QFileInfo(HistoryFile() + "-wal").size());
        rlimit limited = unlimited;
        limited.rlim_cur = rlim_t(largest + 8192);
        setrlimit(RLIMIT_FSIZE, &limited);
        for (int n = 1; lone.writer.State() != HistoryState::Paused; ++n) {
            QVERIFY2(n < 20000, "the history never paused");
            lone.feed.Publish(NumberedReply(n % 30000));
            QTest::qWait(1);
        }
        lone.feed.Publish(NumberedReply(12345)); // while paused
        setrlimit(RLIMIT_FSIZE, &unlimited);
        QTRY_COMPARE_WITH_TIMEOUT(lone.writer.State(), HistoryState::Recording, 10000);
        QTRY_COMPARE(
            Rows(HistoryFile(), "SELECT count(*) FROM replies WHERE z * 3 + y / 100 = 12345"),
            QStringList("1"));
        lone.log.Flush();
        const QByteArray log = TestDebugLog();
        QCOMPARE(log.count("History paused: history.sqlite takes no more ("), 1);
        QCOMPARE(log.count("History resumed after a pause of "), 1);
        QCOMPARE(Rows(HistoryFile(), "PRAGMA integrity_check"), QStringList("ok"));
    }

    // Rows older than the days kept go a step at a time, every kind; over the size bound the
    // oldest replies go first, then the oldest stream seconds, while the rare rows stay.
    void trimsByAgeAndSize()
    {
        history::Store store;
        QCOMPARE(store.OpenForWriting(HistoryFile().toStdString()), history::Outcome::Done);
        history::Batch batch;
        for (int64_t ms = 0; ms < 20000; ++ms)
            batch.replies.push_back({ms * 1000, 3, 0, true, {1, 2, 3, 4, 5}, "", 1, 1, 10});
        for (int64_t s = 0; s < 300; ++s)
            batch.stream.push_back({s * 1000, 50, 0, {}, {}});
        batch.links = {{5000, "robot", true}, {9000000, "robot", false}};
        batch.faults = {{6000, "robot-link", "Robot server: failed to send"}};
        QCOMPARE(store.Write(batch), history::Outcome::Done);
        QVERIFY(store.TrimStep(5500, 0, 4)); // 4 replies, 4 seconds, the link before 5.5 s
        QCOMPARE(Count("replies"), 19996);
        QCOMPARE(Count("stream"), 296);
        QCOMPARE(Rows(HistoryFile(), "SELECT count(*) FROM links"), QStringList("1"));
        QVERIFY(!store.TrimStep(5500, 0, 4)); // the last 2 seconds and replies
        const int64_t bound = store.UsedBytes() / 2;
        while (store.TrimStep(0, bound, 500)) {
        }
        QVERIFY(store.UsedBytes() <= bound);
        QCOMPARE(Rows(HistoryFile(), "SELECT count(*), min(at_ms) FROM stream"),
                 QStringList("294 6000"));
        QVERIFY(Count("replies") < 19994 && Count("replies") > 0);
        QCOMPARE(Rows(HistoryFile(), "SELECT count(*) FROM faults"), QStringList("1"));
    }

    // The tool over a history of known rows, read in UTC: the range is half open, times are
    // local or ISO 8601 with a zone; a file it cannot read is exit 1, a bad argument exit 2.
    void toolAnswers()
    {
        history::Store store;
        QCOMPARE(store.OpenForWriting(HistoryFile().toStdString()), history::Outcome::Done);
        history::Batch batch;
        const int64_t at = 1773457920000; // 2026-03-14 03:12:00 UTC
        batch.replies = {{at, 3, 0x0C, true, {-150, 2, 0, 0, 32767}, "", 5, 4, 120},
                         {at + 1500, 1, 0x40, false, {}, Hex("82401800").toStdString(), 5, 4, 9},
                         {at + 3600000, 3, 0, true, {1, 1, 1, 1, 1}, "", 5, 5, 80}};
        batch.wishes = {{at - 10, "robot", "laser", 1}, {at + 1, "operator", "project", 5}};
        batch.links = {{at + 2, "stream", false}};
        QCOMPARE(store.Write(batch), history::Outcome::Done);
        store.Close();
        QProcessEnvironment utc = QProcessEnvironment::systemEnvironment();
        utc.insert("TZ", "UTC");
        const QString tool = builtProgram("tervian-history");
        const QStringList file{"--file", HistoryFile()};
        const auto run = [&](const QStringList& arguments) {
            return runProgram(tool, file + arguments, utc);
        };
        QCOMPARE(run({"--kind", "replies", "--from", "2026-03-14 03:12", "--to",
                      "2026-03-14T04:12:00+00:30"}),
                 ProgramRun(0,
                            "time                     request     result  y      z     gap   "
                            "z_diff  area    project_asked  project_loaded  answer_us  told\n"
                            "2026-03-14 03:12:00.000  joint_data  0C      -1.50  0.02  0.00  "
                            "0.00    327.67  5              4               120\n"
                            "2026-03-14 03:12:01.500  status      40                           "
                            "              5              4               9          82401800\n",
                            ""));
        QCOMPARE(
            run({"--csv", "--kind", "wishes", "--from", "2026-03-14 03:12", "--to", "2026-03-15"}),
            ProgramRun(0, "time,origin,what,value\n2026-03-14 03:12:00.001,operator,project,5\n",
                       ""));
        QCOMPARE(
            run({"--summary", "--csv", "--from", "2026-03-14 03:30", "--to", "2026-03-14 05:00"}),
            ProgramRun(0,
                       "hour,unrecognised,status,joint_id,joint_data,laser_on,laser_off,"
                       "laser_on_measure,set_joint_id,recognised,faults,link_drops\n"
                       "2026-03-14 03:00,0,1,0,1,0,0,0,0,0.0%,0,1\n"
                       "2026-03-14 04:00,0,0,0,1,0,0,0,0,100.0%,0,0\n",
                       ""));
        QCOMPARE(std::get<0>(run({"--from", "yesterday"})), 2);
        QCOMPARE(std::get<0>(run({"--kind", "summary"})), 2);
        QFile::resize(HistoryFile() + "-wal", 0);
        WriteJunk();
        const ProgramRun damaged = run({});
        QCOMPARE(std::get<0>(damaged), 1);
        QVERIFY2(std::get<2>(damaged).contains("it is damaged or no database"),
                 std::get<2>(damaged).constData());
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && QByteArray(argv[1]) == "--write-forever")
        return WriteForever(QString::fromLocal8Bit(argv[2]));
    QCoreApplication application(argc, argv);
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_history.moc"
