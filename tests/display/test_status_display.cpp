// The status refresh and the user manual, driven in-process on a window whose worker threads
// have been stopped, so the test alone writes the shared flags.
#include "window_test.h"

#include "trend_view.h"

#include <QDesktopServices>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
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

    WindowFixture* w = nullptr;
    Ui::MainWindow* ui = nullptr;

    void show(const State& s)
    {
        w->m_bTervianOk = s.ok;
        w->m_bTervianClientConnected = s.connected;
        w->m_bTervianClientRunning = s.running;
        w->m_bError = s.error;
        w->m_bLaserOn = s.laser;
        w->m_iTervianProgram = s.program;
        w->m_bRobotServerOnline = s.robotOnline;
        w->m_bRobotServerConnected = s.robotConnected;
        w->updateGui();
    }
    QStringList showRecord(bool reading, bool recognised, double x, double z, double width,
                           double zDiff, double area)
    {
        w->m_bReadingData = reading;
        w->m_measurement.Store({recognised, 5, {x, z, width, zDiff, area}},
                               measurement::Clock::now());
        w->updateGui();
        return {ui->labelMeasureError->text(), ui->labelY->text(),        ui->labelZ->text(),
                ui->labelGap->text(),          ui->labelMismatch->text(), ui->labelArea->text()};
    }

private slots:
    void initTestCase()
    {
        writeConfig(TestDir());
        w = new WindowFixture;
        w->StopWorkers();
        ui = w->ui;
    }
    void cleanupTestCase() { delete w; }

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
            QCOMPARE(Lamp(ui->labelSensorConnected) + Lamp(ui->labelSensorError) +
                         Lamp(ui->labelSensorLaserOn) + " " + ui->labelSensorProgramNr->text() +
                         " " + ui->labelRobotState->text() + " " + Lamp(ui->labelRobotConnected),
                     QString(shown));
        }
    }

    // "Ok" exactly where a joint data reply would carry 00: with the laser wanted off the last
    // record stands; wanted on, only one measured since acquisition went on.
    void valuesAndVerdictAsTheRobotHearsThem()
    {
        show({true, true, true, false, false, 1});
        QCOMPARE(showRecord(true, true, 0, 12.345678, -1.5, 12345.6, -0.004),
                 QStringList({"Ok", "0.00", "12.35", "-1.50", "12345.60", "-0.00"}));
        w->m_bLaserWanted = true;
        w->updateGui();
        QCOMPARE(ui->labelMeasureError->text(), QString("Error"));
        w->m_bAcquisitionOn = true;
        w->m_tLaserSwitchedOn = measurement::Clock::now() - std::chrono::seconds(1);
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
        int step = 0;
        BoxWatcher watcher([&](int openBoxes) {
            if (step == 0) {
                w->m_iTervianProgram = 6;
                QMetaObject::invokeMethod(w, "updateGui", Qt::QueuedConnection);
                step = 1;
            } else if (step == 1 && ui->labelSensorProgramNr->text() == "6") {
                w->m_bShowErrorOnce = true;
                QMetaObject::invokeMethod(w, "updateGui", Qt::QueuedConnection);
                step = 2;
            }
            step += step == 2 && openBoxes == 2;
            return step == 3;
        });
        w->m_bShowErrorOnce = true;
        w->updateGui();
        QCOMPARE(watcher.texts,
                 QStringList({"Error in Tervian communication", "Error in Tervian communication"}));
        QCOMPARE(watcher.mostOpenAtOnce, 2);
    }

    // Every text of the form, with the widest that the refresh and the buttons put there, in
    // the font the form was laid out for.
    void everyTextFitsItsWidget()
    {
        QCOMPARE(QFontInfo(w->font()).family(), QString("Liberation Sans"));
        ui->pushButtonConnect->setText(MainWindow::tr("Disconnect"));
        ui->labelRobotState->setText(MainWindow::tr("Listening"));
        for (QLabel* value :
             {ui->labelY, ui->labelZ, ui->labelGap, ui->labelMismatch, ui->labelArea})
            value->setText("-327.68");
        QStringList cut;
        for (QWidget* widget : ui->centralWidget->findChildren<QWidget*>()) {
            const auto [text, room] = TextAndRoom(widget);
            const int width = QFontMetrics(widget->font()).horizontalAdvance(text);
            if (width > room)
                cut << QString("%1 \"%2\" %3 > %4")
                           .arg(widget->objectName(), text)
                           .arg(width)
                           .arg(room);
        }
        QCOMPARE(cut, QStringList());
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

    // The View menu opens the trend window and the setting follows it; records and joint data
    // replies reach its model only while it is shown, and closing the window unticks the menu.
    // Last, as it closes the bridge's window.
    void trendViewFollowsTheMenuAndTheWorkers()
    {
        const auto stored = [] {
            return QSettings(TestDir() + "/config.txt", QSettings::IniFormat).value("TrendView");
        };
        const auto feedAndShow = [this] {
            char records[] = "0,1,2,3,4,5;1,1,0,3,4,5;";
            w->DecodeValuesBuffer(records, int(sizeof records) - 1);
            w->m_bTervianOk = true;
            w->AskRobot(Hex("01060000"));
            const trend::Column all =
                w->m_trend.Columns(trend::Ms(std::chrono::steady_clock::now()) + 1, 600000, 1)[0];
            return std::tuple{all.records, all.unrecognised, int(all.replies),
                              all.min[1],  all.max[1],       all.last[4]};
        };
        QCOMPARE(stored(), QVariant("0"));
        QVERIFY(feedAndShow() == std::tuple(0, 0, 0, 0.f, 0.f, 0.f));
        w->m_trendAction->trigger();
        QVERIFY(w->m_trendView->isVisible());
        QCOMPARE(stored(), QVariant("1"));
        QVERIFY(feedAndShow() == std::tuple(2, 1, int(trend::kReplyNotRecognised), 0.f, 2.f, 5.f));
        // An open trend window does not keep the bridge running when its window is closed.
        // Qt says so only inside its event loop.
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        w->show();
        QTimer::singleShot(0, w, &QWidget::close);
        QTimer::singleShot(5000, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
        QVERIFY(!lastClosed.isEmpty());
        w->m_trendView->close();
        QVERIFY(!w->m_trendAction->isChecked() && !w->m_trend.IsOpen());
        QCOMPARE(stored(), QVariant("0"));
    }
};

QTEST_MAIN(TestStatusDisplay)
#include "test_status_display.moc"
