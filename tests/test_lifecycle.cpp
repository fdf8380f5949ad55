// The window's start-up and shutdown in this process: settings file, debug log, form and the
// orderly end of the worker threads.
#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "window_test.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

// Friend of MainWindow, so the tests read the form and the log switch directly.
class TestAccess : public QObject
{
    Q_OBJECT

    const QString configPath = TestDir() + "/config.txt";
    const QString logPath = TestDir() + "/DebugLog.txt";

    QString stored(const char* key) const
    {
        return QSettings(configPath, QSettings::IniFormat).value(key).toString();
    }
    static int threadCount() { return settledResources().second; }

private slots:
    // Empty keys get their defaults, present ones are never rewritten, leading zeros and all.
    // DebugLog is read as QVariant reads it: any letter case, and more than "1" switches it on.
    // Every start keeps the log of the run before as DebugLog.old.txt.
    void settingsAndThePreviousRunKept()
    {
        for (const auto& [value, on] : {std::pair{"", false}, {"FALSE", false}, {"yes", true}}) {
            writeConfig(TestDir(), {{"ProjectID", "000002"}, {"DebugLog", value}, {"Other", "x"}});
            QFile old(logPath);
            QVERIFY(old.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    old.write("left from an earlier run\n") && old.flush());
            {
                MainWindow w;
                QCOMPARE(w.ui->lineEditProjectID->text(), QString("000002"));
                QCOMPARE(w.m_bdebugLog, on);
                QVERIFY(!readFile(logPath).contains("earlier run"));
            }
            QCOMPARE(QStringList({stored("DebugLog"), stored("ProjectID"), stored("StaleAfterMs"),
                                  stored("Other")}),
                     QStringList({*value ? value : "0", "000002", "1000", "x"}));
            QCOMPARE(QFile(logPath).size() == 0, !on);
            QCOMPARE(readFile(TestDir() + "/DebugLog.old.txt"),
                     QByteArray("left from an earlier run\n"));
        }
    }

    // Hostile values, each checked on disk: the one log line saying what is used (a settings
    // value escaped like a peer's bytes), the report for the box, who is admitted to the robot
    // port, and the value as the file holds it after the window has saved the settings.
    void hostileSettingsNeitherOpenTheRobotPortNorOverflowTheBound()
    {
        struct Row {
            const char* key;
            const char* value;
            const char* logLine; // nullptr: no line names the key
            const char* admitted; // of 127.0.0.2 and 127.0.0.3
            const char* saved;
        };
        const char* const tooLarge = " is no bound from 1 to 1048576; the log is bound at ";
        // clang-format off
        const Row rows[] = {
            {"RobotAllow", "@ByteArray(127.0.0.2)", nullptr, "10", "@ByteArray(127.0.0.2)"},
            {"RobotAllow", "; 127.0.0.2", "RobotAllow=; 127.0.0.2 lists no IPv4 address or range: "
             "no robot is admitted\n", "00", "\"; 127.0.0.2\""},
            {"RobotAllow", " , ", "RobotAllow=, lists no IPv4 address or range: no robot is "
             "admitted\n", "00", ", "},
            {"RobotAllow", "127.0.0.2, 10.0.0.300\t", "RobotAllow=127.0.0.2,10.0.0.300 has entries "
             "that admit no one: 10.0.0.300\n", "10", "127.0.0.2, 10.0.0.300"},
            {"RobotAllow", "\"\"", nullptr, "11", ""},
            {"DebugLogMaxMB", "8796093022208", "1048576 MiB\n", "11", "8796093022208"},
            {"DebugLogMaxMB", "99999999999999999999", "1048576 MiB\n", "11", "99999999999999999999"},
            {"DebugLogMaxMB", "-1\x1b[2J", "DebugLogMaxMB=-1\\x1b[2J is no bound from 1 to 1048576; "
             "the log is bound at 100 MiB\n", "11", nullptr},
        };
        // clang-format on
        for (const Row& row : rows) {
            writeConfig(TestDir(), {{row.key, row.value}});
            QString admitted;
            int reports = 0;
            {
                MainWindow w;
                for (uint32_t peer : {0x7f000002u, 0x7f000003u})
                    admitted += robot_allow::Admits(w.m_robotAllow, peer) ? "1" : "0";
                reports = w.m_pendingReports.size();
                w.m_pendingReports.clear();
            }
            const QByteArray log = TestDebugLog();
            QCOMPARE(admitted, QString(row.admitted));
            QCOMPARE(reports, row.logLine && row.key[0] == 'R' ? 1 : 0);
            QCOMPARE(log.count(QByteArray("\n") + row.key + "="), 0);
            QCOMPARE(log.startsWith(QByteArray(row.key) + "="), row.logLine != nullptr);
            QVERIFY2(!row.logLine || log.contains(row.logLine), log.constData());
            QVERIFY2(!row.logLine || row.key[0] == 'R' || log.contains(tooLarge), log.constData());
            QByteArray saved;
            for (const QByteArray& line : readFile(configPath).split('\n'))
                if (line.startsWith(QByteArray(row.key) + "="))
                    saved = line.mid(int(strlen(row.key)) + 1);
            QVERIFY2(!row.saved || saved == row.saved, saved.constData());
        }
    }

    // Through the log file alone, with a clock of the test's own: repeats counted per entry
    // within a minute, the bound counted in bytes of UTF-8, and a day of two alternating retry
    // loops (each failing ten times a second) kept far below 1 MB even with time stamps.
    void logKeepsItsBoundInBytesAndCountsRepeatsPerEntry()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/log", oldPath = dir.path() + "/old";
        const QDateTime start(QDate(2026, 12, 7), QTime(1, 2, 3, 4));
        DebugLogFile log;
        QVERIFY(log.Open(path, oldPath));
        for (const auto& [second, entry] : {std::pair{0, "A\n"}, {1, "B\n"}, {2, "A\n"}, {3, "B\n"},
                                            {4, "C\nD\n"}, {5, "C\nD\n"}, {61, "A\n"}})
            log.Write(entry, start.addSecs(second));
        log.Flush(start.addSecs(61));
        QCOMPARE(readFile(path), QByteArray("A\nB\nrepeated 1 more times: A\nrepeated 1 more times: "
                                            "B\nC\nD\nrepeated 1 more times: C\\nD\nA\n"));
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
            for (const char* retry : {"Failed to build a connection to Tervian. Retry 111 -1 111\n",
                                      "Failed to build a connection to TCP device. Retry 111 -1 111\n"})
                log.Write(retry, utc.addMSecs(100 * tenth + 62000));
        log.Close(utc.addDays(1));
        const qint64 day = QFileInfo(path).size();
        qInfo("a day of two alternating retry loops: %lld bytes", day);
        QVERIFY2(day < 1000 * 1000, qPrintable(QString::number(day)));
        QVERIFY(QString::fromUtf8(readFile(path))
                    .contains(QRegularExpression("^" + accents + " 3\n2026-12-07 \\d\\d:03:05.004 Failed")));
        QVERIFY(readFile(path).endsWith("more times: Failed to build a connection to TCP device. "
                                        "Retry 111 -1 111\n"));
    }

    // Every keystroke writes the settings, programmatic changes only the shutdown does. A spell
    // of failed writes is reported once, and what failed is written once it can be.
    void settingsWrittenPerKeystrokeAndFailuresReportedOncePerSpell()
    {
        writeConfig(TestDir(), {{"ProjectID", "7"}});
        BoxWatcher boxes;
        {
            MainWindow w;
            QLineEdit* project = w.ui->lineEditProjectID;
            project->clear();
            QCOMPARE(stored("ProjectID"), QString("7"));
            for (const QString& typed : {QString("1"), QString("12")}) {
                QTest::keyClick(project, typed.back().toLatin1());
                QCOMPARE(stored("ProjectID"), typed);
            }
            QLineEdit* ip = w.ui->lineEditIP;
            ip->selectAll();
            QTest::keyClick(ip, Qt::Key_Delete);
            QCOMPARE(stored("ScannerIP"), QString(""));
            ip->setText("127.0.0.2");  // never edited by the operator, still saved at close
            QFile::remove(configPath); // a folder in its place fails to open even for root
            QVERIFY(QDir(TestDir()).mkdir("config.txt"));
            for (char typed : {'5', '6'})
                QTest::keyClick(project, typed);
            QTRY_COMPARE(boxes.texts.size(), 1);
            QVERIFY(boxes.texts[0].startsWith("The settings could not be saved to " + configPath));
            QTest::qWait(600);
            QCOMPARE(boxes.texts.size(), 1);
        }
        QVERIFY(QDir(TestDir()).rmdir("config.txt"));
        QSettings(configPath, QSettings::IniFormat).sync();
        QCOMPARE(QStringList({stored("ProjectID"), stored("ScannerIP")}),
                 QStringList({"1256", "127.0.0.2"}));
    }

    void formAtStartAndEveryThreadJoinedPromptlyAtShutdown()
    {
        writeConfig(TestDir()); // nobody listens on the vision ports: the client keeps retrying
        const int threadsBefore = threadCount();
        QElapsedTimer running;
        running.start();
        auto w = std::make_unique<MainWindow>();
        QVERIFY(threadCount() > threadsBefore);
        QCOMPARE(w->windowTitle(), QString("Tervian Yaskawa Interface V" BRIDGE_VERSION));
        QVERIFY(w->minimumSize() == QSize(420, 378) && w->maximumSize() == QSize(420, 378));
        QCOMPARE(w->windowIcon().availableSizes(), (QList<QSize>{{48, 48}, {16, 16}}));
        QCOMPARE(w->ui->pushButtonConnect->text(), QString("Disconnect"));
        QTest::qWait(300);
        QElapsedTimer clock;
        clock.start();
        w.reset();
        // A hang guard, not a timing target: the loops check their flags about once a second.
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

QTEST_MAIN(TestAccess)
#include "test_lifecycle.moc"
