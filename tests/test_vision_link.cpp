// The vision link of an in-process window: record decoding, and the command client and stream
// reader against tervian-sim on 127.0.0.1.
#include "bridge_process.h"
#include "mainwindow.h"
#include "sim_process.h"
#include "ui_mainwindow.h"

#include <QtTest>

#include <memory>

class TestAccess
{
public:
    struct Vision {
        bool running, ok, error, showError, badName, laserOn, reading;
        int program;
    };
    static Vision vision(MainWindow& w)
    {
        return {w.m_bTervianClientRunning, w.m_bTervianOk, w.m_bError,       w.m_bShowErrorOnce,
                w.m_bBadprojectName,       w.m_bLaserOn,   w.m_bReadingData, w.m_iTervianProgram};
    }
    // X, Z, width, Z difference, area, then the arrival and recognition flags as 0 or 1.
    static QVector<double> values(MainWindow& w)
    {
        std::lock_guard<std::mutex> lock(w.m_mutex1);
        return {w.m_dX,
                w.m_dZ,
                w.m_dWidth,
                w.m_dZDiff,
                w.m_dArea,
                double(w.m_bScannnerOk),
                double(w.m_bRecognitionOK)};
    }
    static void decode(MainWindow& w, QByteArray block)
    {
        w.DecodeValuesBuffer(block.data(), block.size());
    }
    static void switchProgram(MainWindow& w, int program)
    {
        w.m_iRobotProgram = program;
        events::SetEvent(w.m_EventSwitchProgram);
    }
    static void laser(MainWindow& w, bool on)
    {
        events::SetEvent(on ? w.m_EventActivateLaser : w.m_EventDeactivateLaser);
    }
    static Ui::MainWindow* ui(MainWindow& w) { return w.ui; }
};

namespace
{

QByteArray debugLog()
{
    return readFile(QCoreApplication::applicationDirPath() + "/DebugLog.txt");
}

const QByteArray kSetUpLog = "Connected to Tervian\n"
                             "<DIDE DIR=\"Request\" CMD=\"Project_Load\" FILE=\"000002.t_p\"/>\n"
                             "<DIDE DIR=\"ReplyOk\" CMD=\"Project_Load\"/>\n"
                             "<DIDE DIR=\"Request\" CMD=\"Device_Acquisition\" STATE=\"off\" />\n"
                             "<DIDE DIR=\"ReplyOk\" CMD=\"Device_Acquisition\"/>\n"
                             "Tervian project is ready\n";

} // namespace

class TestVisionLink : public QObject
{
    Q_OBJECT

private slots:
    void init() { writeConfig(QCoreApplication::applicationDirPath(), {{"ProjectID", "000002"}}); }
    void cleanup() { m_window.reset(); }
    void decodesRecords();
    void setUpLaserExchangesAndProgramSwitches();
    void rejectedDefaultProjectStartsNoReader();
    void rejectedAcquisition();
    void reconnectsKeepingTheReaderThenDisconnectAndConnect();
    void stopEndsAWaitForAReplyThatNeverComes();

private:
    MainWindow& window()
    {
        m_window = std::make_unique<MainWindow>();
        return *m_window;
    }
    std::unique_ptr<MainWindow> m_window;
};

void TestVisionLink::decodesRecords()
{
    MainWindow& w = window();
    auto decoded = [&](const char* block) {
        TestAccess::decode(w, block);
        return TestAccess::values(w);
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

void TestVisionLink::setUpLaserExchangesAndProgramSwitches()
{
    SimProcess sim({"--values", "0,1.5,2.25,0.8,-0.1,3.2", "--reject-project", "7"});
    MainWindow& w = window();
    QTRY_VERIFY_WITH_TIMEOUT(TestAccess::vision(w).ok && sim.count("stream client connected"),
                             10000);
    QCOMPARE(TestAccess::vision(w).program, 2);
    QVERIFY(!TestAccess::vision(w).error && TestAccess::vision(w).reading);
    QVERIFY(debugLog().contains(kSetUpLog));
    QTRY_VERIFY(debugLog().contains("Connected to TCP device\n"));

    TestAccess::laser(w, true);
    QTRY_VERIFY(TestAccess::vision(w).laserOn && sim.count("acquisition on"));
    QTRY_COMPARE(TestAccess::values(w), (QVector<double>{1.5, 2.25, 0.8, -0.1, 3.2, 1, 1}));
    TestAccess::laser(w, false);
    QTRY_VERIFY(!TestAccess::vision(w).laserOn && sim.count("acquisition off") == 2);

    TestAccess::switchProgram(w, 3);
    QTRY_COMPARE(TestAccess::vision(w).program, 3);
    QVERIFY(sim.count(R"(<DIDE DIR="Request" CMD="Project_Load" FILE="3.t_p"/>)"));
    TestAccess::switchProgram(w, 7);
    QTRY_VERIFY(TestAccess::vision(w).badName);
    QVERIFY(debugLog().contains("Bad project name\n"));
    QCOMPARE(TestAccess::vision(w).program, 3);
    QVERIFY(!TestAccess::vision(w).error && !TestAccess::vision(w).showError);
    TestAccess::switchProgram(w, -4);
    QTRY_COMPARE(TestAccess::vision(w).program, -4);
    QVERIFY(!TestAccess::vision(w).badName);
    QCOMPARE(sim.count("command client connected"), 1);
}

void TestVisionLink::rejectedDefaultProjectStartsNoReader()
{
    SimProcess sim({"--reject-project", "000002"});
    MainWindow& w = window();
    QTRY_VERIFY_WITH_TIMEOUT(debugLog().contains("Loading default project NOT OK\n"), 10000);
    QVERIFY(TestAccess::vision(w).error && TestAccess::vision(w).showError);
    TestAccess::laser(w, true); // still served on the same connection
    QTRY_VERIFY(TestAccess::vision(w).laserOn);
    TestAccess::switchProgram(w, 3);
    QTRY_COMPARE(TestAccess::vision(w).program, 3);
    QVERIFY(!TestAccess::vision(w).ok && !TestAccess::vision(w).reading);
    QCOMPARE(sim.count("command client connected"), 1);
    QCOMPARE(sim.count("stream client connected"), 0);
}

void TestVisionLink::rejectedAcquisition()
{
    SimProcess sim({"--reject-acquisition"});
    MainWindow& w = window();
    QTRY_VERIFY_WITH_TIMEOUT(debugLog().contains("Switching project off NOT OK\n"), 10000);
    TestAccess::laser(w, true);
    TestAccess::laser(w, false);
    QTRY_VERIFY(debugLog().contains("Setting Project off NOT OK\n"));
    QVERIFY(debugLog().contains("Setting Project on NOT OK\n"));
    QVERIFY(TestAccess::vision(w).error && !TestAccess::vision(w).ok);
    QVERIFY(!TestAccess::vision(w).laserOn && !TestAccess::vision(w).reading);
}

void TestVisionLink::reconnectsKeepingTheReaderThenDisconnectAndConnect()
{
    auto sim = std::make_unique<SimProcess>();
    MainWindow& w = window();
    QTRY_VERIFY_WITH_TIMEOUT(TestAccess::vision(w).ok && sim->count("stream client connected"),
                             10000);
    sim.reset();
    sim = std::make_unique<SimProcess>();
    QTRY_VERIFY(sim->count("stream client connected"));
    TestAccess::switchProgram(w, 3); // finds the old command connection closed
    QTRY_VERIFY(sim->count(R"(FILE="000002.t_p"/>)") && TestAccess::vision(w).ok);
    const QByteArray log = debugLog();
    QVERIFY(log.contains("Tervian client: failed to recv. Reconnecting\n"));
    QVERIFY(log.contains("Error (recv) in TCP device. Reconnecting\n"));
    QVERIFY(!log.contains("Disconnecting from TCP device\n"));
    QCOMPARE(log.count(kSetUpLog), 2);

    QPushButton* connect = TestAccess::ui(w)->pushButtonConnect;
    connect->click();
    QCOMPARE(connect->text(), QString("Connect"));
    QTRY_VERIFY_WITH_TIMEOUT(!TestAccess::vision(w).running, 5000);

    TestAccess::ui(w)->lineEditProjectID->setText("5");
    connect->click();
    QCOMPARE(connect->text(), QString("Disconnect"));
    QTRY_VERIFY_WITH_TIMEOUT(TestAccess::vision(w).ok && TestAccess::vision(w).program == 5, 10000);
    QVERIFY(sim->count(R"(FILE="5.t_p"/>)"));
    QTRY_COMPARE(sim->count("stream client connected"), 2);
    QVERIFY(debugLog().contains("Disconnecting from TCP device\nDisconnecting from Tervian\n"));
}

void TestVisionLink::stopEndsAWaitForAReplyThatNeverComes()
{
    SimProcess sim({"--no-reply"});
    MainWindow& w = window();
    QTRY_VERIFY_WITH_TIMEOUT(sim.count("request: "), 10000);
    TestAccess::ui(w)->pushButtonConnect->click();
    QTRY_VERIFY_WITH_TIMEOUT(!TestAccess::vision(w).running, 5000);
    m_window.reset(); // the last lines reach the file at shutdown
    QVERIFY(debugLog().contains("Disconnecting from Tervian\n"));
    QVERIFY(!debugLog().contains("failed to recv"));
}

QTEST_MAIN(TestVisionLink)
#include "test_vision_link.moc"
