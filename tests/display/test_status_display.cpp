// The status window over a bridge that was never started, so the test alone writes the link
// state it shows: lamps, values, boxes, texts, the buttons, the manual and the trend window.
#include "box_watcher.h"
#include "in_process.h"

#include "mainwindow.h"
#include "trend_view.h"

#include <QAction>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionButton>

namespace
{

struct State {
    bool ok, connected, running, error, laser;
    int program;
    bool robotOnline = true, robotConnected = true;
};

// The text a widget of the form shows and the width its style leaves for it.
std::pair<QString, int> TextAndRoom(QWidget* widget)
{
    QStyle* style = widget->style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, widget);
    if (auto* label = qobject_cast<QLabel*>(widget))
        return {label->text(), label->contentsRect().width() - 2 * label->margin()};
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        return {button->text(),
                style->subElementRect(QStyle::SE_PushButtonContents, &option, button).width()};
    }
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        return {edit->text(), edit->width() - 2 * (frame + 2)};
    if (auto* box = qobject_cast<QGroupBox*>(widget))
        return {box->title(), box->width()};
    return {};
}

// A lamp by its colour: G and g bright and dark green, R and r bright and dark red, O orange,
// nothing while unlit; any other style sheet as it stands.
QString Lamp(const QLabel* label)
{
    static const QMap<QString, QString> colours{{"rgb(0, 255, 0)", "G"},
                                                {"rgb(30, 70, 30)", "g"},
                                                {"rgb(255, 0, 0)", "R"},
                                                {"rgb(70, 30, 30)", "r"},
                                                {"orange", "O"}};
    for (auto colour = colours.begin(); colour != colours.end(); ++colour)
        if (label->styleSheet() == "QLabel {background: " + colour.key() + ";}")
            return colour.value();
    return label->styleSheet();
}

} // namespace

// Stands in for the desktop's opener of files.
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

    std::unique_ptr<Bridge> bridge;
    MainWindow* w = nullptr;

    template <typename Widget = QLabel> Widget* find(const char* name)
    {
        return w->findChild<Widget*>(name);
    }

    void change(const std::function<void(LinkSnapshot&)>& change)
    {
        bridge->Parts().link.Update(change);
    }
    void refresh() { QMetaObject::invokeMethod(w, "Refresh"); }
    void show(const State& s)
    {
        change([&](LinkSnapshot& l) {
            l.visionReady = s.ok, l.clientConnected = s.connected, l.clientRunning = s.running,
            l.visionError = s.error, l.laserOn = s.laser, l.loadedProject = s.program,
            l.robotServerOnline = s.robotOnline, l.robotConnected = s.robotConnected;
        });
        refresh();
    }
    QStringList showRecord(bool reading, bool recognised, double x, double z, double width,
                           double zDiff, double area)
    {
        change([&](LinkSnapshot& l) { l.streamReading = reading; });
        bridge->Parts().record.Store({recognised, 5, {x, z, width, zDiff, area}},
                                     measurement::Clock::now());
        refresh();
        QStringList texts;
        for (const char* label :
             {"labelMeasureError", "labelY", "labelZ", "labelGap", "labelMismatch", "labelArea"})
            texts << find(label)->text();
        return texts;
    }

private slots:
    void initTestCase()
    {
        // Nothing listens on port 1; the telemetry lamp is shown, as a broker is set.
        bridge = MakeBridge({{"CommandPort", "1"}, {"MqttBroker", "127.0.0.1:1"}});
        w = new MainWindow(*bridge);
    }
    void cleanupTestCase()
    {
        delete w;
        bridge.reset();
    }

    // The first matching row wins; every lamp is lit before each row, so a row that leaves a
    // widget alone shows up. An offline robot server keeps what its lamp showed.
    void lamps()
    {
        const std::pair<State, const char*> rows[] = {
            {{false, false, false, false, false, 0}, "  Connected G"},
            {{false, false, true, false, false, 0}, "O  Connected G"},
            {{false, true, true, false, false, 0, true, false}, "gr  Listening g"},
            {{false, true, true, true, false, 0, false, false}, "gR  Connected G"},
            {{true, true, true, false, false, 3}, "Grg 3 Connected G"},
            {{true, true, true, true, true, 0}, "GRG 0 Connected G"},
            {{true, false, false, false, false, -1}, "Grg -1 Connected G"}};
        for (const auto& [state, shown] : rows) {
            show({true, true, true, true, true, 42});
            show(state);
            QCOMPARE(Lamp(find("labelSensorConnected")) + Lamp(find("labelSensorError")) +
                         Lamp(find("labelSensorLaserOn")) + " " +
                         find("labelSensorProgramNr")->text() + " " +
                         find("labelRobotState")->text() + " " + Lamp(find("labelRobotConnected")),
                     QString(shown));
        }
    }

    // Lit while the edge node is connected to the broker.
    void telemetryLampFollowsTheBroker()
    {
        for (bool connected : {true, false}) {
            change([&](LinkSnapshot& l) { l.telemetryConnected = connected; });
            refresh();
            QCOMPARE(Lamp(find("labelTelemetry")), QString(connected ? "G" : ""));
        }
    }

    // "Ok" exactly where a joint data reply would carry 00: with the laser wanted off the last
    // record stands; wanted on, only one measured since acquisition went on.
    void valuesAndVerdictAsTheRobotHearsThem()
    {
        show({true, true, true, false, false, 1});
        QCOMPARE(showRecord(true, true, 0, 12.345678, -1.5, 12345.6, -0.004),
                 QStringList({"Ok", "0.00", "12.35", "-1.50", "12345.60", "-0.00"}));
        change([](LinkSnapshot& l) { l.laserWanted = true; });
        refresh();
        QCOMPARE(find("labelMeasureError")->text(), QString("Error"));
        change([](LinkSnapshot& l) {
            l.acquisitionOn = true;
            l.acquisitionSince = measurement::Clock::now() - std::chrono::seconds(1);
        });
        QCOMPARE(showRecord(true, true, 1, 2, 3, 4, 5).value(0), QString("Ok"));
        QCOMPARE(showRecord(true, false, 1, 2, 3, 4, 5),
                 QStringList({"Error", "1.00", "2.00", "3.00", "4.00", "5.00"}));
        show({false, true, true, false, true, 1}); // the robot hears "not ready"
        QCOMPARE(showRecord(true, true, 1, 2, 3, 4, 5).value(0), QString("Error"));
        QCOMPARE(showRecord(false, true, 1, 2, 3, 4, 5), QStringList({"", "", "", "", "", ""}));
    }

    // One box for each report, never one per refresh: while the box is open the event loop runs
    // on, queued refreshes update the window inside it and open no second box, and only a new
    // report stacks one more box on top.
    void nestedRefreshesOpenNoSecondBoxUntilANewReport()
    {
        show({true, true, true, true, false, 5});
        const auto fail = [this] { change([](LinkSnapshot& l) { ++l.visionFailures; }); };
        int step = 0;
        BoxWatcher watcher([&](int openBoxes) {
            if (step == 0) {
                change([](LinkSnapshot& l) { l.loadedProject = 6; });
                QMetaObject::invokeMethod(w, "Refresh", Qt::QueuedConnection);
                step = 1;
            } else if (step == 1 && find("labelSensorProgramNr")->text() == "6") {
                fail();
                QMetaObject::invokeMethod(w, "Refresh", Qt::QueuedConnection);
                step = 2;
            }
            step += step == 2 && openBoxes == 2;
            return step == 3;
        });
        fail();
        refresh();
        QCOMPARE(watcher.mostOpenAtOnce, 2);
        // A failure of the set-up, and a spell of the robot port held by another program.
        show({false, true, true, true, false, 0});
        fail();
        change([](LinkSnapshot& l) { ++l.robotPortBusySpells; });
        for (int i = 0; i < 3; ++i)
            refresh();
        QCOMPARE(watcher.texts,
                 QStringList({"Error in Tervian communication", "Error in Tervian communication",
                              "Error in loading or setting up the project",
                              "Port 5020 is held by another program: the robot cannot connect "
                              "until it is free. The bridge takes the port as soon as it is."}));
    }

    // The captures the workers took at their faults are written at the next refresh, each kind
    // over its own file.
    void faultCapturesWrittenAtTheNextRefresh()
    {
        const QString path = TestDir() + "/capture-last-fault-robot-link.pcapng";
        QFile::remove(path);
        capture::Recorder& recorder = bridge->Parts().capture;
        capture::Tap{&recorder, capture::Link::Robot}.Record(capture::Event::Received, "\x01", 1);
        recorder.NoteFault(capture::Fault::RobotLink);
        refresh();
        QVERIFY(QFile::exists(path));
        bridge->Parts().log.Flush();
        QVERIFY(TestDebugLog().contains("Fault capture saved to " + path.toUtf8() + "\n"));
    }

    // The Connect button toggles the client, and a press while a client just started stops it.
    void connectButtonStartsOneClientAtMost()
    {
        QPushButton* connect = find<QPushButton>("pushButtonConnect");
        change([](LinkSnapshot& l) { l.clientRunning = false; });
        const QString started = connect->text();
        connect->click();
        QVERIFY(bridge->Snapshot().link.clientRunning);
        QCOMPARE(connect->text(), QString("Disconnect"));
        connect->click();
        QCOMPARE(connect->text(), QString("Connect"));
        QTRY_VERIFY_WITH_TIMEOUT(!bridge->Snapshot().link.clientRunning, 5000);
        QCOMPARE(started, QString("Connect")); // the bridge had not been started
        // The laser buttons are wishes, each one ask.
        find<QPushButton>("pushButtonLaserOn")->click();
        QVERIFY(bridge->Snapshot().link.laserWanted);
        find<QPushButton>("pushButtonLaserOff")->click();
        QVERIFY(!bridge->Snapshot().link.laserWanted && bridge->Snapshot().link.laserAsks == 2);
    }

    // Every text of the form, with the widest that the refresh and the buttons put there, in
    // the font the form was laid out for.
    void everyTextFitsItsWidget()
    {
        QCOMPARE(QFontInfo(w->font()).family(), QString("Liberation Sans"));
        find<QPushButton>("pushButtonConnect")->setText(MainWindow::tr("Disconnect"));
        find("labelRobotState")->setText(MainWindow::tr("Listening"));
        for (QLabel* value : {find("labelY"), find("labelZ"), find("labelGap"),
                              find("labelMismatch"), find("labelArea")})
            value->setText("-327.68");
        QStringList cut;
        for (QWidget* widget : find<QWidget>("centralWidget")->findChildren<QWidget*>()) {
            const auto [text, room] = TextAndRoom(widget);
            const int width = QFontMetrics(widget->font()).horizontalAdvance(text);
            if (width > room)
                cut << QString("%1 \"%2\" %3 > %4")
                           .arg(widget->objectName(), text, QString::number(width),
                                QString::number(room));
        }
        QCOMPARE(cut, QStringList());
    }

    // Offscreen, Qt finds no viewer unless a handler stands in for the desktop's.
    void userManualOpensAsAFileOrSaysWhyNot()
    {
        const QString path = QDir::cleanPath(TestDir() + "/../help/KPLM604.pdf");
        UrlCatcher catcher;
        BoxWatcher boxes;
        find<QAction>("actionUser_manual")->trigger();
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && QFile(path).open(QIODevice::WriteOnly));
        find<QAction>("actionUser_manual")->trigger();
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        find<QAction>("actionUser_manual")->trigger();
        QDesktopServices::unsetUrlHandler("file");
        QFile::remove(path);
        QCOMPARE(boxes.texts,
                 QStringList({"The user manual could not be opened: " + path + " is missing.",
                              "The user manual could not be opened: no viewer for " + path +
                                  " was found."}));
        QCOMPARE(catcher.url, QUrl::fromLocalFile(path));
    }

    // The View menu opens the trend window and the setting follows it; the history records
    // only while it is shown, and closing the window unticks the menu. Last, as it closes the
    // bridge's window.
    void trendViewFollowsTheMenuAndTheWorkers()
    {
        QAction* trend = nullptr;
        for (QAction* action : w->findChildren<QAction*>())
            trend = action->text() == "Trend" ? action : trend;
        QCOMPARE(Stored("TrendView"), QString("0"));
        QVERIFY(!bridge->Parts().trend.IsOpen());
        trend->trigger();
        TrendView* view = w->findChild<TrendView*>();
        QVERIFY(view->isVisible() && bridge->Parts().trend.IsOpen());
        QCOMPARE(Stored("TrendView"), QString("1"));
        // An open trend window does not keep the bridge running when its window is closed.
        // Qt says so only inside its event loop.
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        w->show();
        QTimer::singleShot(0, w, &QWidget::close);
        QTimer::singleShot(5000, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
        QVERIFY(!lastClosed.isEmpty());
        view->close();
        QVERIFY(!trend->isChecked() && !bridge->Parts().trend.IsOpen());
        QCOMPARE(Stored("TrendView"), QString("0"));
    }
};

QTEST_MAIN(TestStatusDisplay)
#include "test_status_display.moc"
