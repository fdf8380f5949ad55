// The window's start-up and shutdown in this process: settings file, debug log, form and the
// orderly end of the worker threads.
#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "window_test.h"

#include <QElapsedTimer>
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
    // DebugLog and TrendView are read as QVariant reads them: any letter case, and more than "1"
    // switches them on.
    // Every start keeps the log of the run before as DebugLog.old.txt.
    void settingsAndThePreviousRunKept()
    {
        for (const auto& [value, on] : {std::pair{"", false}, {"FALSE", false}, {"yes", true}}) {
            writeConfig(TestDir(), {{"ProjectID", "000002"},
                                    {"DebugLog", value},
                                    {"TrendView", value},
                                    {"Other", "x"}});
            QFile old(logPath);
            QVERIFY(old.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    old.write("left from an earlier run\n") && old.flush());
            {
                MainWindow w;
                QCOMPARE(w.ui->lineEditProjectID->text(), QString("000002"));
                QCOMPARE(w.m_bdebugLog, on);
                QCOMPARE(w.m_trend.IsOpen(), on);
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

    // Through the log file alone, with a clock of the test's own.
    void logKeepsItsBoundCollapsesRepeatsAndStampsTimes()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/log", oldPath = dir.path() + "/old";
        const QDateTime start(QDate(2026, 12, 7), QTime(1, 2, 3, 4));
        DebugLogFile log;
        QVERIFY(log.Open(path, oldPath));
        log.Configure(40, false);
        for (int second : {0, 1, 2, 61, 62})
            log.Write("Retry\n", start.addSecs(second));
        log.Write("Other\n", start.addSecs(63));
        log.Flush(start.addSecs(63));
        QCOMPARE(readFile(oldPath), QByteArray("Retry\nlast line repeated 3 times\n"));
        QCOMPARE(readFile(path), QByteArray("last line repeated 1 times\nOther\n"));
        log.Configure(0, true);
        log.Write("A\nB\n", start);
        log.Close(start);
        QVERIFY(readFile(path).endsWith("Other\n2026-12-07 01:02:03.004 A\n"
                                        "2026-12-07 01:02:03.004 B\n"));
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
        bool afterRetry = false; // identical lines in a row are logged as a repeat count
        for (const QByteArray& line : readFile(logPath).split('\n')) {
            if (line.contains("to Tervian. Retry"))
                ++attempts, afterRetry = true;
            else if (afterRetry && line.startsWith("last line repeated "))
                attempts += line.split(' ').value(3).toInt();
            else
                afterRetry = false;
        }
        QVERIFY2(attempts >= 1 && attempts <= running.elapsed() / 100 + 1,
                 qPrintable(QString::number(attempts)));
    }
};

QTEST_MAIN(TestAccess)
#include "test_lifecycle.moc"
