// The status refresh and the user manual, driven in-process on a window whose worker threads
// have been stopped, so the test alone writes the shared flags.
#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "window_test.h"

#include <QDesktopServices>

namespace
{

const QString kBrightGreen = "QLabel {background: rgb(0, 255, 0);}";
const QString kDarkGreen = "QLabel {background: rgb(30, 70, 30);}";
const QString kBrightRed = "QLabel {background: rgb(255, 0, 0);}";
const QString kDarkRed = "QLabel {background: rgb(70, 30, 30);}";
const QString kOrange = "QLabel {background: orange;}";

struct VisionState {
    bool ok = false, connected = false, running = false, error = false, laser = false;
    int program = 0;
};

} // namespace
Q_DECLARE_METATYPE(VisionState)

// Stands in for the desktop's opener of files.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QUrl url;
public slots:
    void open(const QUrl& u) { url = u; }
};

// Friend of MainWindow, so the tests write the shared flags and call the refresh directly.
class TestAccess : public QObject
{
    Q_OBJECT

    MainWindow* w = nullptr;
    Ui::MainWindow* ui = nullptr;

    void setVision(const VisionState& s)
    {
        w->m_bTervianOk = s.ok;
        w->m_bTervianClientConnected = s.connected;
        w->m_bTervianClientRunning = s.running;
        w->m_bError = s.error;
        w->m_bLaserOn = s.laser;
        w->m_iTervianProgram = s.program;
    }
    void showRecord(bool reading, bool recognised, QVector<double> v)
    {
        w->m_bReadingData = reading;
        w->m_bRecognitionOK = recognised;
        w->m_tRecordDecoded = MainWindow::SteadyClock::now();
        w->m_dX = v[0], w->m_dZ = v[1], w->m_dWidth = v[2], w->m_dZDiff = v[3], w->m_dArea = v[4];
        w->updateGui();
    }
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
        writeConfig(TestDir());
        w = new MainWindow;
        StopWorker(w->m_bExitRobotThread, w->pRobotThread);
        StopWorker(w->m_bExitScannerThread, w->pScannerThread);
        StopWorker(w->m_bExitValuesThread, w->pValuesThread);
        ui = w->ui;
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
        // Light every box first, so a row that leaves a widget alone shows up.
        setVision({true, true, true, true, true, 42});
        w->updateGui();
        setVision(state);
        w->updateGui();
        QTEST(visionLamps(), "expected");
    }

    void robotLampShowsConnectedThenListeningAndKeepsItWhenOffline()
    {
        const struct {
            bool online, connected;
            QStringList shown;
        } steps[] = {{true, true, {"Connected", kBrightGreen}},
                     {true, false, {"Listening", kDarkGreen}},
                     {false, true, {"Listening", kDarkGreen}}};
        for (const auto& step : steps) {
            w->m_bRobotServerOnline = step.online;
            w->m_bRobotServerConnected = step.connected;
            w->updateGui();
            QCOMPARE(
                QStringList({ui->labelRobotState->text(), ui->labelRobotConnected->styleSheet()}),
                step.shown);
        }
    }

    void valuesShowTwoDecimalsWhileReading()
    {
        setVision({true, true, true, false, true, 1});
        showRecord(true, true, {0, 12.345678, -1.5, 12345.6, -0.004});
        QCOMPARE(values(), QStringList({"Ok", "0.00", "12.35", "-1.50", "12345.60", "-0.00"}));
        setVision({true, true, true, false, false, 1});
        w->updateGui();
        QCOMPARE(ui->labelMeasureError->text(), QString("Error"));
        setVision({true, true, true, false, true, 1});
        showRecord(true, false, {1, 2, 3, 4, 5});
        QCOMPARE(values(), QStringList({"Error", "1.00", "2.00", "3.00", "4.00", "5.00"}));
        showRecord(false, true, {1, 2, 3, 4, 5});
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
        setVision(state);
        BoxWatcher watcher;
        for (int report = 0; report < 2; ++report) {
            w->m_bShowErrorOnce = true;
            for (int i = 0; i < 4; ++i)
                w->updateGui();
        }
        QCOMPARE(watcher.texts, QStringList({message, message}));
        QCOMPARE(ui->labelSensorError->styleSheet(), kBrightRed);
    }

    // While the box is open the event loop runs on: queued refreshes update the window inside
    // it, open no second box, and only a new report stacks one more box on top.
    void nestedRefreshesOpenNoSecondBoxUntilANewReport()
    {
        setVision({true, true, true, true, false, 5});
        int step = 0;
        BoxWatcher watcher([&](int openBoxes) {
            if (step == 0) {
                setVision({true, true, true, true, false, 6});
                QMetaObject::invokeMethod(w, "updateGui", Qt::QueuedConnection);
                step = 1;
            } else if (step == 1 && ui->labelSensorProgramNr->text() == "6") {
                w->m_bShowErrorOnce = true;
                QMetaObject::invokeMethod(w, "updateGui", Qt::QueuedConnection);
                step = 2;
            } else if (step == 2 && openBoxes == 2) {
                step = 3;
            }
            return step == 3;
        });
        w->m_bShowErrorOnce = true;
        w->updateGui();
        QCOMPARE(watcher.texts.size(), 2);
        QCOMPARE(watcher.mostOpenAtOnce, 2);
    }

    // Offscreen, Qt finds no viewer unless a handler stands in for the desktop's.
    void userManualOpensAsAFileOrSaysWhyNot()
    {
        const QString path = QDir::cleanPath(TestDir() + "/../help/KPLM604.pdf");
        UrlCatcher catcher;
        BoxWatcher boxes;
        ui->actionUser_manual->trigger();
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && QFile(path).open(QIODevice::WriteOnly));
        ui->actionUser_manual->trigger();
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        ui->actionUser_manual->trigger();
        QDesktopServices::unsetUrlHandler("file");
        QFile::remove(path);
        QCOMPARE(boxes.texts,
                 QStringList({"The user manual could not be opened: " + path + " is missing.",
                              "The user manual could not be opened: no viewer for " + path +
                                  " was found."}));
        QCOMPARE(catcher.url, QUrl::fromLocalFile(path));
    }
};

QTEST_MAIN(TestAccess)
#include "test_status_display.moc"
