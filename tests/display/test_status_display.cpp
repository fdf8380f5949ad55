// The status refresh and the operator slots, driven in-process on a window whose worker threads
// have been stopped, so the test alone writes the shared flags.
#include "bridge_process.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QtTest>

#include <functional>

namespace
{

const QString kBrightGreen = "QLabel {background: rgb(0, 255, 0);}";
const QString kDarkGreen = "QLabel {background: rgb(30, 70, 30);}";
const QString kBrightRed = "QLabel {background: rgb(255, 0, 0);}";
const QString kDarkRed = "QLabel {background: rgb(70, 30, 30);}";
const QString kOrange = "QLabel {background: orange;}";

struct VisionState {
    bool ok = false;
    bool connected = false;
    bool running = false;
    bool error = false;
    bool laser = false;
    int program = 0;
};

} // namespace
Q_DECLARE_METATYPE(VisionState)

class TestAccess
{
public:
    static void stopWorkers(MainWindow& w)
    {
        w.m_bExitRobotThread = w.m_bExitScannerThread = w.m_bExitValuesThread = true;
        for (std::thread** thread : {&w.pRobotThread, &w.pScannerThread, &w.pValuesThread}) {
            if (*thread == nullptr)
                continue;
            (*thread)->join();
            delete *thread;
            *thread = nullptr;
        }
    }
    static void setVision(MainWindow& w, const VisionState& s)
    {
        w.m_bTervianOk = s.ok;
        w.m_bTervianClientConnected = s.connected;
        w.m_bTervianClientRunning = s.running;
        w.m_bError = s.error;
        w.m_bLaserOn = s.laser;
        w.m_iTervianProgram = s.program;
    }
    static void setRobot(MainWindow& w, bool online, bool connected)
    {
        w.m_bRobotServerOnline = online;
        w.m_bRobotServerConnected = connected;
    }
    static void setRecord(MainWindow& w, bool reading, bool recognised, QVector<double> v)
    {
        w.m_bReadingData = reading;
        w.m_bRecognitionOK = recognised;
        w.m_dX = v[0], w.m_dZ = v[1], w.m_dWidth = v[2], w.m_dZDiff = v[3], w.m_dArea = v[4];
    }
    static void reportFailure(MainWindow& w) { w.m_bShowErrorOnce = true; }
    static void refresh(MainWindow& w) { w.updateGui(); }
    static Ui::MainWindow* ui(MainWindow& w) { return w.ui; }
};

// Watches for the refresh's critical boxes: records each one, lets the test act while it is
// open (the callback, given the number of open boxes, returns true once the top one may
// close), then closes it. Past a deadline it closes whatever is open, so a fault fails the
// test instead of hanging it.
class BoxWatcher : public QObject
{
public:
    explicit BoxWatcher(std::function<bool(int)> whileOpen = [](int) { return true; })
        : m_whileOpen(std::move(whileOpen))
    {
        startTimer(10);
    }
    QStringList texts;
    int mostOpenAtOnce = 0;

protected:
    void timerEvent(QTimerEvent*) override
    {
        QList<QMessageBox*> open;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                open << box;
        mostOpenAtOnce = qMax(mostOpenAtOnce, open.size());
        for (QMessageBox* box : open) {
            // Marked on the box itself: the next box may be built at the same address.
            if (!box->property("seen").toBool()) {
                box->setProperty("seen", true);
                QCOMPARE(box->windowTitle(), QString("Error"));
                QCOMPARE(box->icon(), QMessageBox::Critical);
                QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
                texts << box->text();
            }
        }
        if (!open.isEmpty() && (m_whileOpen(open.size()) || m_giveUp.hasExpired()))
            open.last()->done(QMessageBox::Ok);
    }

private:
    std::function<bool(int)> m_whileOpen;
    QDeadlineTimer m_giveUp{10000}; // a refresh that waits for something that never comes
};

// Stands in for the desktop's opener of scheme-less URLs.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QUrl url;
public slots:
    void open(const QUrl& u) { url = u; }
};

class TestStatusDisplay : public QObject
{
    Q_OBJECT

    MainWindow* w = nullptr;
    Ui::MainWindow* ui = nullptr;

    QStringList visionLamps() const
    {
        return {ui->labelSensorConnected->styleSheet(), ui->labelSensorError->styleSheet(),
                ui->labelSensorLaserOn->styleSheet(), ui->labelSensorProgramNr->text()};
    }
    QStringList values() const
    {
        return {ui->labelMeasureError->text(), ui->labelY->text(),        ui->labelZ->text(),
                ui->labelGap->text(),          ui->labelMismatch->text(), ui->labelArea->text()};
    }

private slots:
    void initTestCase()
    {
        writeConfig(QCoreApplication::applicationDirPath());
        w = new MainWindow;
        TestAccess::stopWorkers(*w);
        ui = TestAccess::ui(*w);
    }
    void cleanupTestCase() { delete w; }

    void visionLampsFollowFirstMatchingRow_data()
    {
        QTest::addColumn<VisionState>("state");
        QTest::addColumn<QStringList>("expected");
        auto row = [](const char* name, VisionState s, QStringList expected) {
            QTest::newRow(name) << s << expected;
        };
        row("stopped", {}, {"", "", "", ""});
        row("connecting", {false, false, true}, {kOrange, "", "", ""});
        row("connected, project not ready", {false, true, true}, {kDarkGreen, kDarkRed, "", ""});
        row("connected, setup failed", {false, true, true, true}, {kDarkGreen, kBrightRed, "", ""});
        row("ready, acquisition off", {true, true, true, false, false, 3},
            {kBrightGreen, kDarkRed, kDarkGreen, "3"});
        row("ready, acquisition on, error", {true, true, true, true, true, 0},
            {kBrightGreen, kBrightRed, kBrightGreen, "0"});
        row("ready, negative project", {true, false, false, false, false, -1},
            {kBrightGreen, kDarkRed, kDarkGreen, "-1"});
    }
    void visionLampsFollowFirstMatchingRow()
    {
        QFETCH(VisionState, state);
        QFETCH(QStringList, expected);
        // Light every box first, so a row that leaves a widget alone shows up.
        TestAccess::setVision(*w, {true, true, true, true, true, 42});
        TestAccess::refresh(*w);
        TestAccess::setVision(*w, state);
        TestAccess::refresh(*w);
        QCOMPARE(visionLamps(), expected);
    }

    void robotLampShowsConnectedThenListeningAndKeepsItWhenOffline()
    {
        TestAccess::setRobot(*w, true, true);
        TestAccess::refresh(*w);
        QCOMPARE(ui->labelRobotState->text(), QString("Connected"));
        QCOMPARE(ui->labelRobotConnected->styleSheet(), kBrightGreen);

        TestAccess::setRobot(*w, true, false);
        TestAccess::refresh(*w);
        QCOMPARE(ui->labelRobotState->text(), QString("Listening"));
        QCOMPARE(ui->labelRobotConnected->styleSheet(), kDarkGreen);

        TestAccess::setRobot(*w, false, true);
        TestAccess::refresh(*w);
        QCOMPARE(ui->labelRobotState->text(), QString("Listening"));
        QCOMPARE(ui->labelRobotConnected->styleSheet(), kDarkGreen);
    }

    void valuesShowTwoDecimalsWhileReading()
    {
        TestAccess::setVision(*w, {true, true, true, false, true, 1});
        TestAccess::setRecord(*w, true, true, {0, 12.345678, -1.5, 12345.6, -0.004});
        TestAccess::refresh(*w);
        QCOMPARE(values(), QStringList({"Ok", "0.00", "12.35", "-1.50", "12345.60", "-0.00"}));

        TestAccess::setVision(*w, {true, true, true, false, false, 1});
        TestAccess::refresh(*w);
        QCOMPARE(ui->labelMeasureError->text(), QString("Error"));

        TestAccess::setVision(*w, {true, true, true, false, true, 1});
        TestAccess::setRecord(*w, true, false, {1, 2, 3, 4, 5});
        TestAccess::refresh(*w);
        QCOMPARE(values(), QStringList({"Error", "1.00", "2.00", "3.00", "4.00", "5.00"}));

        TestAccess::setRecord(*w, false, true, {1, 2, 3, 4, 5});
        TestAccess::refresh(*w);
        QCOMPARE(values(), QStringList({"", "", "", "", "", ""}));
    }

    void oneBoxPerReportedFailure_data()
    {
        QTest::addColumn<VisionState>("state");
        QTest::addColumn<QString>("message");
        QTest::newRow("set-up failed")
            << VisionState{false, true, true, true} << "Error in loading or setting up the project";
        QTest::newRow("ready, request failed")
            << VisionState{true, true, true, true} << "Error in Tervian communication";
    }
    void oneBoxPerReportedFailure()
    {
        QFETCH(VisionState, state);
        QFETCH(QString, message);
        TestAccess::setVision(*w, state);
        BoxWatcher watcher;
        TestAccess::reportFailure(*w);
        for (int i = 0; i < 4; ++i)
            TestAccess::refresh(*w);
        TestAccess::reportFailure(*w);
        for (int i = 0; i < 4; ++i)
            TestAccess::refresh(*w);
        QCOMPARE(watcher.texts, QStringList({message, message}));
        QCOMPARE(ui->labelSensorError->styleSheet(), kBrightRed);
    }

    // While the box is open the event loop runs on: queued refreshes update the window inside
    // it, open no second box, and only a new report stacks one more box on top.
    void nestedRefreshesOpenNoSecondBoxUntilANewReport()
    {
        TestAccess::setVision(*w, {true, true, true, true, false, 5});
        int step = 0;
        BoxWatcher watcher([&](int openBoxes) {
            if (step == 0) {
                TestAccess::setVision(*w, {true, true, true, true, false, 6});
                QMetaObject::invokeMethod(w, "updateGui", Qt::QueuedConnection);
                step = 1;
            } else if (step == 1 && ui->labelSensorProgramNr->text() == "6") {
                TestAccess::reportFailure(*w);
                QMetaObject::invokeMethod(w, "updateGui", Qt::QueuedConnection);
                step = 2;
            } else if (step == 2 && openBoxes == 2) {
                step = 3;
            }
            return step == 3;
        });
        TestAccess::reportFailure(*w);
        TestAccess::refresh(*w);
        QCOMPARE(watcher.texts.size(), 2);
        QCOMPARE(watcher.mostOpenAtOnce, 2);
    }

    void userManualOpensThePathBesideTheProgramUnchanged()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("", &catcher, "open");
        ui->actionUser_manual->trigger();
        QDesktopServices::unsetUrlHandler("");
        QCOMPARE(catcher.url.toString(),
                 QCoreApplication::applicationDirPath() + "/../help/KPLM604.pdf");
        QVERIFY(catcher.url.scheme().isEmpty());
    }
};

QTEST_MAIN(TestStatusDisplay)
#include "test_status_display.moc"
