// The bridge's start-up and shutdown in this process: settings file, debug log, the window's
// form and the orderly end of the worker threads.
#include "box_watcher.h"
#include "in_process.h"
#include "mainwindow.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <array>

#include <memory>

class TestLifecycle : public QObject
{
    Q_OBJECT

    const QString configPath = TestDir() + "/config.txt";
    const QString logPath = TestDir() + "/DebugLog.txt";

    static int threadCount() { return settledResources().second; }
    static QLineEdit* edit(MainWindow& w, const char* name)
    {
        return w.findChild<QLineEdit*>(name);
    }

private slots:
    // Empty keys get their defaults, present ones are never rewritten, leading zeros and all.
    // DebugLog and TrendView are read as QVariant reads them: any letter case, and more than "1"
    // switches them on.
    // Every start keeps the log of the run before as DebugLog.old.txt.
    void settingsAndThePreviousRunKept()
    {
        for (const auto& [value, on] : {std::pair{"", false}, {"FALSE", false}, {"yes", true}}) {
            QFile old(logPath);
            QVERIFY(old.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    old.write("left from an earlier run\n") && old.flush());
            {
                const auto bridge = MakeBridge({{"ProjectID", "000002"},
                                                {"DebugLog", value},
                                                {"TrendView", value},
                                                {"Other", "x"}});
                MainWindow w(*bridge);
                QCOMPARE(edit(w, "lineEditProjectID")->text(), QString("000002"));
                bridge->Parts().log.Write("an entry\n"); // written only while the log is on
                QCOMPARE(bridge->Parts().trend.IsOpen(), on);
                QVERIFY(!readFile(logPath).contains("earlier run"));
            }
            QCOMPARE(QStringList({Stored("DebugLog"), Stored("ProjectID"), Stored("StaleAfterMs"),
                                  Stored("Other")}),
                     QStringList({*value ? value : "0", "000002", "1000", "x"}));
            QCOMPARE(QFile(logPath).size() == 0, !on);
            QCOMPARE(readFile(TestDir() + "/DebugLog.old.txt"),
                     QByteArray("left from an earlier run\n"));
        }
    }

    // Hostile values, each checked on disk: who of 127.0.0.2 and 127.0.0.3 is admitted to the
    // robot port, the reports for the box, the log's first line when it names the key (a
    // settings value escaped like a peer's bytes), and the value as the file holds it after the
    // settings have been saved. Ports that are no port keep their defaults.
    void hostileSettingsNeitherOpenTheRobotPortNorOverflowTheBound()
    {
        const char* const fits = " is no bound from 1 to 1048576; the log is bound at ";
        const char* const none = " lists no IPv4 address or range: no robot is admitted";
        const std::array<QString, 3> rows[] = {
            {"RobotAllow", "@ByteArray(127.0.0.2)", "10 0 - @ByteArray(127.0.0.2)"},
            {"RobotAllow", "; 127.0.0.2",
             QString("00 1 RobotAllow=; 127.0.0.2") + none + " \"; 127.0.0.2\""},
            {"RobotAllow", "127.0.0.2, 127.0.0.300\t",
             "10 1 RobotAllow=127.0.0.2,127.0.0.300 has entries that admit no one: 127.0.0.300 "
             "127.0.0.2, 127.0.0.300"},
            {"RobotAllow", "\"\"", "11 0 - "},
            {"DebugLogMaxMB", "8796093022208", // overflows a 64-bit count of bytes
             QString("11 0 DebugLogMaxMB=8796093022208") + fits + "1048576 MiB 8796093022208"},
            {"DebugLogMaxMB", "-1\x1b[2J",
             QString("11 0 DebugLogMaxMB=-1\\x1b[2J") + fits + "100 MiB -1\\x1b[2J"},
            {"CaptureMinutes", "153722868", // overflows a 64-bit count of nanoseconds
             "11 0 CaptureMinutes=153722868 is no number from 0 to 1440; the capture keeps 1440 "
             "minutes 153722868"},
            {"CaptureMaxMB", "0",
             "11 0 CaptureMaxMB=0 is no bound from 1 to 512; the capture is bound at 32 MiB 0"},
            {"HistoryDays", "99999999999999999999",
             "11 0 HistoryDays=99999999999999999999 is no number from 1 to 3650; the history "
             "keeps 3650 days 99999999999999999999"},
            {"HistoryMaxMB", "0",
             "11 0 HistoryMaxMB=0 is no bound from 1 to 1048576; the history is bound at 1024 MiB "
             "0"},
            {"RobotPort", "65536", "5020 11 0 - 65536"},
            {"RobotPort", "0", "0 11 0 - 0"}};
        for (const auto& [key, value, expected] : rows) {
            QString seen;
            {
                const auto bridge = MakeBridge({{key, value}});
                Settings& settings = bridge->Config();
                if (key == "RobotPort") // the port the robot server will listen on
                    seen = QString::number(settings.Get().robotPort) + " ";
                for (uint32_t peer : {0x7f000002u, 0x7f000003u})
                    seen += robot_allow::Admits(settings.Get().robotAllow, peer) ? "1" : "0";
                const QStringList reports = settings.TakeReports();
                seen += " " + QString::number(reports.size());
                if (!reports.isEmpty()) // the box names the file and what is wrong with the value
                    QVERIFY(reports[0].startsWith("RobotAllow in " + configPath) &&
                            reports[0].endsWith(
                                value.contains("300")
                                    ? ": 127.0.0.300. They are ignored and admit no one."
                                    : "No robot may connect."));
                settings.Save({});
            }
            const QString first = TestDebugLog().split('\n').value(0);
            const QRegularExpression saved("\n" + key + "=(.*)\n");
            seen += " " + (first.startsWith(key) ? first : "-") + " " +
                    saved.match(readFile(configPath)).captured(1);
            QCOMPARE(seen, expected);
        }
    }

    // Through the log file alone, with a clock of the test's own: repeats counted per entry
    // within a minute in a table of bounded size, the bound counted in bytes of UTF-8, and a day
    // of two alternating retry loops (each failing ten times a second) kept far below 1 MB even
    // with time stamps.
    void logKeepsItsBoundInBytesAndCountsRepeatsPerEntry()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/log", oldPath = dir.path() + "/old";
        const QDateTime start(QDate(2026, 12, 7), QTime(1, 2, 3, 4));
        DebugLogFile log;
        QVERIFY(log.Open(path, oldPath));
        const char* const entries[] = {"A\n", "B\n", "A\n", "B\n", "C\nD\n", "C\nD\n", "A\n"};
        for (int second = 0; second < 7; ++second)
            log.Write(entries[second], start.addSecs(second < 6 ? second : 61));
        log.Flush(start.addSecs(61));
        QCOMPARE(readFile(path),
                 QByteArray("A\nB\nrepeated 1 more times: A\nrepeated 1 more times: "
                            "B\nC\nD\nrepeated 1 more times: C\\nD\nA\n"));
        // Large entries (a peer's 64 KiB element, escaped) fill the table's text bound: the
        // minute starts afresh before the third, so the first is written whole again.
        const QString big[] = {QString(1 << 18, 'x') + "\n", QString(1 << 18, 'y') + "\n",
                               QString(1 << 18, 'z') + "\n"};
        for (int i : {0, 0, 1, 2, 0})
            log.Write(big[i], start.addSecs(61));
        log.Flush(start.addSecs(61));
        QVERIFY(readFile(path).endsWith(
            (big[0] + "repeated 1 more times: " + big[0] + big[1] + big[2] + big[0]).toUtf8()));
        const QString accents(5, QChar(0xe9)); // two bytes each in UTF-8
        log.Configure(30, false);
        for (const char* number : {" 1\n", " 2\n", " 3\n"})
            log.Write(accents + number, start.addSecs(62));
        log.Flush(start.addSecs(62));
        QCOMPARE(readFile(path), (accents + " 3\n").toUtf8());
        QCOMPARE(readFile(oldPath), (accents + " 1\n" + accents + " 2\n").toUtf8());

        log.Configure(0, true);
        const QDateTime utc = start.toUTC(); // the local clock's conversions would take minutes
        for (qint64 tenth = 0; tenth < 24 * 36000; ++tenth)
            for (const char* retry :
                 {"Failed to build a connection to Tervian. Retry 111 -1 111\n",
                  "Failed to build a connection to TCP device. Retry 111 -1 111\n"})
                log.Write(retry, utc.addMSecs(100 * tenth + 62000));
        log.Close(utc.addDays(1));
        const qint64 day = QFileInfo(path).size();
        QVERIFY2(day < 1000 * 1000, qPrintable(QString::number(day)));
        QVERIFY(QString::fromUtf8(readFile(path))
                    .contains(QRegularExpression("^" + accents +
                                                 " 3\n2026-12-07 \\d\\d:03:05.004 Failed")));
    }

    // Every keystroke writes the settings, programmatic changes only the shutdown does. A spell
    // of failed writes is reported once, and what failed is written once it can be.
    void settingsWrittenPerKeystrokeAndFailuresReportedOncePerSpell()
    {
        BoxWatcher boxes;
        {
            const auto bridge = MakeBridge({{"ProjectID", "7"}});
            MainWindow w(*bridge);
            QLineEdit* project = edit(w, "lineEditProjectID");
            project->clear();
            QCOMPARE(Stored("ProjectID"), QString("7"));
            for (const QString& typed : {QString("1"), QString("12")}) {
                QTest::keyClick(project, typed.back().toLatin1());
                QCOMPARE(Stored("ProjectID"), typed);
            }
            QLineEdit* ip = edit(w, "lineEditIP");
            ip->selectAll();
            QTest::keyClick(ip, Qt::Key_Delete);
            QCOMPARE(Stored("ScannerIP"), QString(""));
            ip->setText("127.0.0.2");  // never edited by the operator, still saved at close
            QFile::remove(configPath); // a folder in its place fails to open even for root
            QVERIFY(QDir(TestDir()).mkdir("config.txt"));
            for (char typed : {'5', '6'})
                QTest::keyClick(project, typed);
            QTRY_COMPARE(boxes.texts.size(), 1); // at the next refresh
            QVERIFY(boxes.texts[0].startsWith("The settings could not be saved to " + configPath));
            QTest::qWait(600);
            QCOMPARE(boxes.texts.size(), 1);
        }
        QVERIFY(QDir(TestDir()).rmdir("config.txt"));
        QSettings(configPath, QSettings::IniFormat).sync();
        QCOMPARE(QStringList({Stored("ProjectID"), Stored("ScannerIP")}),
                 QStringList({"1256", "127.0.0.2"}));
    }

    void formAtStartAndEveryThreadJoinedPromptlyAtShutdown()
    {
        const int threadsBefore = threadCount();
        QElapsedTimer running;
        running.start();
        // Nobody listens on port 1: the client keeps retrying.
        auto bridge = MakeBridge({{"RobotPort", "0"}, {"CommandPort", "1"}});
        auto w = std::make_unique<MainWindow>(*bridge);
        QCOMPARE(threadCount(), threadsBefore); // nothing started yet
        bridge->Start();
        QVERIFY(threadCount() > threadsBefore);
        QCOMPARE(w->windowTitle(), QString("Tervian Yaskawa Interface V" BRIDGE_VERSION));
        QVERIFY(w->minimumSize() == QSize(420, 378) && w->maximumSize() == QSize(420, 378));
        QCOMPARE(w->windowIcon().availableSizes(), (QList<QSize>{{48, 48}, {16, 16}}));
        QTRY_COMPARE(w->findChild<QPushButton*>("pushButtonConnect")->text(),
                     QString("Disconnect"));
        QTest::qWait(300);
        QElapsedTimer clock;
        clock.start();
        w.reset();
        bridge.reset();
        // A hang guard, not a timing target.
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(threadCount(), threadsBefore);
        // Refused attempts are at least 100 ms apart: no more than the time since the start allows.
        int attempts = 0;
        for (const QByteArray& line : readFile(logPath).split('\n'))
            if (line.contains("to Tervian. Retry"))
                attempts += line.startsWith("repeated ") ? line.split(' ').value(1).toInt() : 1;
        QVERIFY2(attempts >= 1 && attempts <= running.elapsed() / 100 + 1,
                 qPrintable(QString::number(attempts)));
    }
};

QTEST_MAIN(TestLifecycle)
#include "test_lifecycle.moc"
