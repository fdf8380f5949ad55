// The window's start-up and shutdown in this process: settings file, debug log, form and the
// orderly end of the worker threads.
#include "bridge_process.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMenuBar>
#include <QSettings>
#include <QtTest>

class TestAccess
{
public:
    static Ui::MainWindow* ui(MainWindow& w) { return w.ui; }
    static bool debugLog(MainWindow& w) { return w.m_bdebugLog; }
};

class TestLifecycle : public QObject
{
    Q_OBJECT

    QString dir() const { return QCoreApplication::applicationDirPath(); }
    QString configPath() const { return dir() + "/config.txt"; }
    QString logPath() const { return dir() + "/DebugLog.txt"; }
    QVariant stored(const char* key) const
    {
        return QSettings(configPath(), QSettings::IniFormat).value(key);
    }

    static int threadCount()
    {
        return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    }

private slots:
    void init() { QFile::remove(configPath()); }

    void emptyKeysGetDefaultsAndLeadingZerosStay()
    {
        QFile file(configPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\nScannerIP=127.0.0.1\nProjectID=000002\nDebugLog=\nOther=kept\n");
        file.close();
        {
            MainWindow w;
            QCOMPARE(TestAccess::ui(w)->lineEditProjectID->text(), QString("000002"));
            QCOMPARE(TestAccess::debugLog(w), false);
        }
        QCOMPARE(stored("DebugLog").toString(), QString("0"));
        QCOMPARE(stored("ProjectID").toString(), QString("000002"));
        QCOMPARE(stored("Other").toString(), QString("kept"));
    }

    void debugLogTruthRules_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("on");
        QTest::newRow("0") << "0" << false;
        QTest::newRow("false") << "false" << false;
        QTest::newRow("FALSE") << "FALSE" << false;
        QTest::newRow("1") << "1" << true;
        QTest::newRow("true") << "true" << true;
        QTest::newRow("yes") << "yes" << true;
    }

    void debugLogTruthRules()
    {
        QFETCH(QString, value);
        QFETCH(bool, on);
        writeConfig(dir(), {{"DebugLog", value}});
        MainWindow w;
        QCOMPARE(TestAccess::debugLog(w), on);
        QCOMPARE(stored("DebugLog").toString(), value); // never rewritten once present
    }

    void logIsRecreatedAndStaysEmptyWhenOff()
    {
        QFile old(logPath());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("left from an earlier run\n");
        old.close();
        writeConfig(dir(), {{"DebugLog", "0"}});
        {
            MainWindow w;
            QVERIFY(QFile::exists(logPath()));
            QCOMPARE(QFile(logPath()).size(), qint64(0));
        }
        QVERIFY(QFile::exists(logPath()));
        QCOMPARE(QFile(logPath()).size(), qint64(0));
    }

    void everyKeystrokeWritesAndShutdownWritesTexts()
    {
        writeConfig(dir(), {{"ProjectID", "7"}});
        {
            MainWindow w;
            QLineEdit* project = TestAccess::ui(w)->lineEditProjectID;
            project->clear(); // programmatic changes do not write
            QCOMPARE(stored("ProjectID").toString(), QString("7"));
            for (const QString& typed : {QString("1"), QString("12"), QString("123")}) {
                QTest::keyClick(project, typed.back().toLatin1());
                QCOMPARE(stored("ProjectID").toString(), typed);
            }
            QLineEdit* ip = TestAccess::ui(w)->lineEditIP;
            ip->selectAll();
            QTest::keyClick(ip, Qt::Key_Delete);
            QCOMPARE(stored("ScannerIP").toString(), QString(""));
            ip->setText("127.0.0.2"); // never edited by the operator, still saved at close
        }
        QCOMPARE(stored("ScannerIP").toString(), QString("127.0.0.2"));
        QCOMPARE(stored("ProjectID").toString(), QString("123"));
    }

    void windowForm()
    {
        writeConfig(dir());
        MainWindow w;
        w.show();
        QCOMPARE(w.windowTitle(), QString("Tervian Yaskawa Interface V2.0.1"));
        QCOMPARE(w.size(), QSize(420, 378));
        QCOMPARE(w.minimumSize(), QSize(420, 378));
        QCOMPARE(w.maximumSize(), QSize(420, 378));
        QVERIFY(!w.windowIcon().isNull());
        QList<QAction*> menus = w.menuBar()->actions();
        QCOMPARE(menus.size(), 1);
        QCOMPARE(menus[0]->text(), QString("Help"));
        QCOMPARE(menus[0]->menu()->actions().size(), 1);
        QCOMPARE(menus[0]->menu()->actions()[0]->text(), QString("User manual"));
        QCOMPARE(TestAccess::ui(w)->labelY->text(), QString(""));
        QCOMPARE(TestAccess::ui(w)->pushButtonConnect->text(), QString("Disconnect"));
        QCOMPARE(TestAccess::ui(w)->pushButtonLaserOn->font().pointSize(), 10);
        QCOMPARE(TestAccess::ui(w)->pushButtonConnect->font().pointSize(), 8);
    }

    void shutdownJoinsEveryThreadPromptly()
    {
        writeConfig(dir()); // nobody listens on the vision ports: the client keeps retrying
        const int threadsBefore = threadCount();
        auto* w = new MainWindow;
        QVERIFY(threadCount() > threadsBefore);
        QTest::qWait(300);
        QElapsedTimer clock;
        clock.start();
        delete w;
        // A hang guard, not a timing target: the loops check their flags about once a second.
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(threadCount(), threadsBefore);
    }
};

QTEST_MAIN(TestLifecycle)
#include "test_lifecycle.moc"
