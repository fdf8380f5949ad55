// The operator's acquisition buttons against the simulator: each click becomes one DIDE
// exchange, and the acquisition lamp follows the confirmed state at the next refresh.
#include "bridge_process.h"
#include "mainwindow.h"
#include "sim_process.h"
#include "status_lamps.h"
#include "ui_mainwindow.h"

#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

class TestAccess
{
public:
    static bool projectReady(MainWindow& w) { return w.m_bTervianOk; }
    static Ui::MainWindow* ui(MainWindow& w) { return w.ui; }
};

class TestOperatorCommands : public QObject
{
    Q_OBJECT

private slots:
    void acquisitionButtonsReachTheVisionApplication()
    {
        SimProcess sim;
        QVERIFY2(sim.started(), "tervian-sim did not start");
        writeConfig(QCoreApplication::applicationDirPath());
        MainWindow w;
        Ui::MainWindow* ui = TestAccess::ui(w);
        QTRY_VERIFY_WITH_TIMEOUT(TestAccess::projectReady(w), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(ui->labelSensorLaserOn->styleSheet(), QString(lamp::kDarkGreen),
                                  5000);

        ui->pushButtonLaserOn->click();
        QVERIFY(sim.waitFor("acquisition on", 5000));
        QTRY_COMPARE_WITH_TIMEOUT(ui->labelSensorLaserOn->styleSheet(), QString(lamp::kBrightGreen),
                                  5000);
        QTRY_COMPARE_WITH_TIMEOUT(ui->labelMeasureError->text(), QString("Ok"), 5000);

        ui->pushButtonLaserOff->click();
        QVERIFY(sim.waitFor("acquisition off", 5000, 2)); // the first came with the set-up
        QTRY_COMPARE_WITH_TIMEOUT(ui->labelSensorLaserOn->styleSheet(), QString(lamp::kDarkGreen),
                                  5000);
        QCOMPARE(sim.count("request: <DIDE DIR=\"Request\" CMD=\"Device_Acquisition\""), 3);
    }

    // A rejected default project raises its box; the window shows a connected link with a
    // bright red error lamp and no project number, because the set-up never completed.
    void rejectedDefaultProjectRaisesItsBoxOnce()
    {
        SimProcess sim({"--reject-project", "1"});
        QVERIFY2(sim.started(), "tervian-sim did not start");
        writeConfig(QCoreApplication::applicationDirPath());
        QStringList boxes;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                    boxes << box->text();
                    box->done(QMessageBox::Ok);
                }
        });
        closer.start(20);
        MainWindow w;
        Ui::MainWindow* ui = TestAccess::ui(w);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), 1, 15000);
        QCOMPARE(boxes.first(), QString("Error in loading or setting up the project"));
        QTRY_COMPARE_WITH_TIMEOUT(ui->labelSensorConnected->styleSheet(), QString(lamp::kDarkGreen),
                                  5000);
        QCOMPARE(ui->labelSensorError->styleSheet(), QString(lamp::kBrightRed));
        QCOMPARE(ui->labelSensorProgramNr->text(), QString());
    }
};

QTEST_MAIN(TestOperatorCommands)
#include "test_operator_commands.moc"
