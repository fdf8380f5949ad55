// The vision link of an in-process window: record decoding, and the command client, the stream
// reader and the operator's buttons against tervian-sim on 127.0.0.1.
#include "mainwindow.h"
#include "sim_process.h"
#include "ui_mainwindow.h"
#include "window_test.h"

#include <memory>

namespace
{

const QByteArray kSetUpLog = "Connected to Tervian\n"
                             "<DIDE DIR=\"Request\" CMD=\"Project_Load\" FILE=\"000002.t_p\"/>\n"
                             "<DIDE DIR=\"ReplyOk\" CMD=\"Project_Load\"/>\n"
                             "<DIDE DIR=\"Request\" CMD=\"Device_Acquisition\" STATE=\"off\" />\n"
                             "<DIDE DIR=\"ReplyOk\" CMD=\"Device_Acquisition\"/>\n"
                             "Tervian project is ready\n";

} // namespace

// Friend of MainWindow: the tests raise the robot's events and read the shared state directly.
class TestAccess : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> m_window;

    MainWindow& window()
    {
        m_window = std::make_unique<MainWindow>();
        return *m_window;
    }
    // X, Z, width, Z difference, area, then the arrival and recognition flags as 0 or 1.
    QVector<double> values()
    {
        MainWindow& w = *m_window;
        std::lock_guard<std::mutex> lock(w.m_mutex1);
        const QVector<double> record{w.m_dX, w.m_dZ, w.m_dWidth, w.m_dZDiff, w.m_dArea};
        return record + QVector<double>{double(w.m_bScannnerOk), double(w.m_bRecognitionOK)};
    }
    void switchProgram(int program)
    {
        m_window->m_iRobotProgram = program;
        events::SetEvent(m_window->m_EventSwitchProgram);
    }

private slots:
    void init() { writeConfig(TestDir(), {{"ProjectID", "000002"}}); }
    void cleanup() { m_window.reset(); }

    void decodesRecords()
    {
        MainWindow& w = window();
        auto decoded = [&](QByteArray block) {
            w.DecodeValuesBuffer(block.data(), block.size());
            return values();
        };
        using V = QVector<double>;
        QCOMPARE(decoded("0,1.5,2.25,0.8,-0.1,3.2;"), (V{1.5, 2.25, 0.8, -0.1, 3.2, 1, 1}));
        QCOMPARE(decoded("0,1,2,3,4,5;0,6,7,8,9,10;"), (V{6, 7, 8, 9, 10, 1, 1}));
        QCOMPARE(decoded("1,1,2,3,4,5;"), (V{1, 2, 3, 4, 5, 1, 0}));
        QCOMPARE(decoded("1,1,2,3,4,5;\n"), (V{1, 2, 3, 4, 5, 1, 1})); // line feed: status 0
        QCOMPARE(decoded("0,1,2,3,4,5;;"), (V{1, 2, 3, 4, 5, 1, 0}));
        QCOMPARE(decoded("false,1,3,3,4,5,6,7"), (V{1, 3, 3, 4, 5, 1, 1}));
        QCOMPARE(decoded("0,1.5,0,0.8,-0.1,3.2;"), (V{1.5, 0, 0.8, -0.1, 3.2, 1, 0}));
        QCOMPARE(decoded("0,1.5,2."), (V{1.5, 2, 0.8, -0.1, 3.2, 1, 1}));
        QCOMPARE(decoded("25,0.8,-0.1,3.2;"), (V{0.8, -0.1, 3.2, -0.1, 3.2, 1, 0}));
    }

    void setUpButtonsAndProgramSwitches()
    {
        SimProcess sim({"--values", "0,1.5,2.25,0.8,-0.1,3.2", "--reject-project", "7"});
        MainWindow& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(w.m_bTervianOk && sim.count("stream client connected"), 10000);
        QVERIFY(w.m_iTervianProgram == 2 && !w.m_bError && w.m_bReadingData);
        QVERIFY(TestDebugLog().contains(kSetUpLog));
        QTRY_VERIFY(TestDebugLog().contains("Connected to TCP device\n"));

        w.ui->pushButtonLaserOn->click(); // each click is one exchange
        QTRY_VERIFY(w.m_bLaserOn && sim.count("acquisition on"));
        QTRY_COMPARE(values(), (QVector<double>{1.5, 2.25, 0.8, -0.1, 3.2, 1, 1}));
        w.ui->pushButtonLaserOff->click();
        QTRY_VERIFY(!w.m_bLaserOn && sim.count("acquisition off") == 2);
        QCOMPARE(sim.count(R"(request: <DIDE DIR="Request" CMD="Device_Acquisition")"), 3);

        switchProgram(3);
        QTRY_COMPARE(w.m_iTervianProgram, 3);
        QVERIFY(sim.count(R"(<DIDE DIR="Request" CMD="Project_Load" FILE="3.t_p"/>)"));
        switchProgram(7);
        QTRY_VERIFY(w.m_bBadprojectName);
        QVERIFY(TestDebugLog().contains("Bad project name\n"));
        QVERIFY(w.m_iTervianProgram == 3 && !w.m_bError && !w.m_bShowErrorOnce);
        switchProgram(-4);
        QTRY_COMPARE(w.m_iTervianProgram, -4);
        QVERIFY(!w.m_bBadprojectName);
        QCOMPARE(sim.count("command client connected"), 1);
    }

    void rejectedDefaultProjectIsReportedOnceAndStartsNoReader()
    {
        SimProcess sim({"--reject-project", "000002"});
        BoxWatcher boxes;
        MainWindow& w = window();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts,
                                  QStringList{"Error in loading or setting up the project"}, 10000);
        QVERIFY(TestDebugLog().contains("Loading default project NOT OK\n"));
        w.ui->pushButtonLaserOn->click(); // still served on the same connection
        QTRY_VERIFY(w.m_bLaserOn);
        switchProgram(3);
        QTRY_COMPARE(w.m_iTervianProgram, 3);
        QVERIFY(!w.m_bTervianOk && !w.m_bReadingData);
        QCOMPARE(boxes.texts.size(), 1);
        QCOMPARE(sim.count("command client connected"), 1);
        QCOMPARE(sim.count("stream client connected"), 0);
    }

    // Both buttons pressed while the set-up waits for a reply: laser on is served first.
    void rejectedAcquisitionAndLaserOnServedBeforeOff()
    {
        SimProcess sim({"--reject-acquisition", "--delay-ms", "200"});
        BoxWatcher boxes;
        MainWindow& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(sim.count("request: "), 10000);
        w.ui->pushButtonLaserOff->click();
        w.ui->pushButtonLaserOn->click();
        QTRY_VERIFY_WITH_TIMEOUT(TestDebugLog().contains("Setting Project off NOT OK\n"), 10000);
        const QByteArray log = TestDebugLog();
        QVERIFY(log.indexOf("Switching project off NOT OK\n") <
                    log.indexOf("Setting Project on NOT OK\n") &&
                log.indexOf("Setting Project on NOT OK\n") <
                    log.indexOf("Setting Project off NOT OK\n"));
        QVERIFY(w.m_bError && !w.m_bTervianOk && !w.m_bLaserOn && !w.m_bReadingData);
    }

    void reconnectsKeepingTheReaderThenDisconnectAndConnect()
    {
        auto sim = std::make_unique<SimProcess>();
        MainWindow& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(w.m_bTervianOk && sim->count("stream client connected"), 10000);
        const Resources before = settledResources();
        sim.reset();
        sim = std::make_unique<SimProcess>();
        QTRY_VERIFY(sim->count("stream client connected"));
        switchProgram(3); // finds the old command connection closed
        QTRY_VERIFY(sim->count(R"(FILE="000002.t_p"/>)") && w.m_bTervianOk);
        QCOMPARE(settledResources(), before); // no second reader, no socket left
        const QByteArray log = TestDebugLog();
        QVERIFY(log.contains("Tervian client: failed to recv. Reconnecting\n"));
        QVERIFY(log.contains("Error (recv) in TCP device. Reconnecting\n"));
        QVERIFY(!log.contains("Disconnecting from TCP device\n"));
        QCOMPARE(log.count(kSetUpLog), 2);

        QPushButton* connect = w.ui->pushButtonConnect;
        connect->click();
        QCOMPARE(connect->text(), QString("Connect"));
        QTRY_VERIFY_WITH_TIMEOUT(!w.m_bTervianClientRunning, 5000);
        connect->click();
        connect->click(); // the client just started counts as running: a stop, not a second client
        QCOMPARE(connect->text(), QString("Connect"));
        QTRY_VERIFY_WITH_TIMEOUT(!w.m_bTervianClientRunning, 5000);

        const int streams = sim->count("stream client connected");
        w.ui->lineEditProjectID->setText("5");
        connect->click();
        QCOMPARE(connect->text(), QString("Disconnect"));
        QTRY_VERIFY_WITH_TIMEOUT(w.m_bTervianOk && w.m_iTervianProgram == 5, 10000);
        QVERIFY(sim->count(R"(FILE="5.t_p"/>)"));
        QTRY_VERIFY(sim->count("stream client connected") > streams);
        QVERIFY(
            TestDebugLog().contains("Disconnecting from TCP device\nDisconnecting from Tervian\n"));
    }

    void stopEndsAWaitForAReplyThatNeverComes()
    {
        SimProcess sim({"--no-reply"});
        MainWindow& w = window();
        QTRY_VERIFY_WITH_TIMEOUT(sim.count("request: "), 10000);
        w.ui->pushButtonConnect->click();
        QTRY_VERIFY_WITH_TIMEOUT(!w.m_bTervianClientRunning, 5000);
        m_window.reset(); // the last lines reach the file at shutdown
        QVERIFY(TestDebugLog().contains("Disconnecting from Tervian\n"));
        QVERIFY(!TestDebugLog().contains("failed to recv"));
    }
};

QTEST_MAIN(TestAccess)
#include "test_vision_link.moc"
