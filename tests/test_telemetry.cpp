// Plant telemetry against a real broker, seen as a SCADA host sees it: the payloads decoded with
// the bridge's own definition, the session's births, data and deaths, and the values beside what
// the robot was told.
#include "in_process.h"
#include "mqtt_broker.h"
#include "plant_metrics.h"
#include "robot_client.h"
#include "sim_process.h"

#include <QtTest>

#include <map>
#include <memory>

namespace
{

const char* const kRunBridge = "--run-bridge";
const QByteArray kStatus = Hex("01010600");
const QByteArray kJointData = Hex("01060000");
const QStringList kSteadySim{
    "--command-port", "0", "--stream-port", "0", "--values", "0,1.5,2.25,0.8,-0.1,3.2",
    "--stream-always"};

using Metric = sparkplug::Payload::Metric;

bool Is(const Seen& seen, const char* kind)
{
    return seen.topic == NodeTopic(kind);
}

uint64_t BdSeq(const Seen& seen)
{
    const Metric* bdSeq = FindMetric(seen.payload, "bdSeq");
    return bdSeq != nullptr && bdSeq->datatype() == 8 ? bdSeq->long_value() : 999;
}

// What a host knows after reading from the birth at `birth` on: each metric by name, with the
// data messages' aliases resolved through the birth.
std::map<std::string, Metric> HostView(const std::vector<Seen>& seen, size_t birth)
{
    std::map<uint64_t, std::string> names;
    std::map<std::string, Metric> view;
    for (const Metric& metric : seen[birth].payload.metrics()) {
        names[metric.alias()] = metric.name();
        view[metric.name()] = metric;
    }
    for (size_t i = birth + 1; i < seen.size() && !Is(seen[i], "NBIRTH"); ++i)
        if (Is(seen[i], "NDATA"))
            for (const Metric& metric : seen[i].payload.metrics())
                view[names[metric.alias()]] = metric;
    return view;
}

// A node command with one metric true: named, or by the rebirth's alias 0 when name is empty.
std::string Command(const std::string& name, bool asText = false)
{
    sparkplug::Payload command;
    Metric* metric = command.add_metrics();
    name.empty() ? metric->set_alias(0) : metric->set_name(name);
    asText ? metric->set_string_value("true") : metric->set_boolean_value(true);
    return command.SerializeAsString();
}

// A bridge with telemetry to the broker, a steady simulator and a robot.
struct Cell {
    std::unique_ptr<SimProcess> sim = std::make_unique<SimProcess>(kSteadySim);
    std::unique_ptr<Bridge> bridge;
    RobotClient robot;

    explicit Cell(const MqttBroker& broker, QMap<QString, QString> config = {})
    {
        sim->started();
        config.insert({{"RobotPort", "0"},
                       {"CommandPort", QString::number(sim->commandPort())},
                       {"StreamPort", QString::number(sim->streamPort())},
                       {"MqttBroker", broker.address()},
                       {"MqttNode", "cell"}});
        bridge = MakeBridge(config);
        bridge->Start();
    }
    LinkSnapshot state() { return bridge->Snapshot().link; }
    bool connectRobot()
    {
        return QTest::qWaitFor([&] { return state().robotPort != 0; }) &&
               robot.connectTo(state().robotPort) &&
               QTest::qWaitFor([&] { return state().robotConnected; });
    }
    int logged(const char* text) { return int(TestDebugLog().count(text)); }
};

} // namespace

class TestPlantTelemetry : public QObject
{
    Q_OBJECT

private slots:
    // Birth with every metric, data by alias with seq counting on across its wrap, the counts
    // and the last joint data exactly as the robot got them, bad commands one log line each
    // with the robot served on, a rebirth, and the death of a clean stop.
    void sessionTellsWhatTheRobotWasTold()
    {
        MqttBroker broker;
        QVERIFY(broker.start());
        SparkplugWatch watch(broker);
        Cell cell(broker, {{"MqttRatePerSecond", "1000"}});
        const int birth = watch.next("NBIRTH");
        QVERIFY(birth >= 0);
        const Seen bornSeen = watch.seen()[size_t(birth)];
        const sparkplug::Payload& born = bornSeen.payload;
        QVERIFY(born.seq() == 0 && BdSeq(bornSeen) == 0);
        const Metric* rebirth = FindMetric(born, "Node Control/Rebirth");
        QVERIFY(rebirth && rebirth->datatype() == 11 && !rebirth->boolean_value());
        std::set<uint64_t> aliases;
        for (const Metric& metric : born.metrics())
            QVERIFY(metric.name() == "bdSeq" || (metric.has_alias() && metric.has_datatype() &&
                                                 metric.value_case() != Metric::VALUE_NOT_SET &&
                                                 aliases.insert(metric.alias()).second));
        QCOMPARE(int(aliases.size()), 38);

        // Polled until the data messages have wrapped seq.
        QVERIFY(cell.connectRobot());
        QByteArray reply;
        int jointAsks = 0;
        for (QDeadlineTimer deadline(60000); !deadline.hasExpired(); ++jointAsks) {
            reply = cell.robot.ask(kJointData, 14);
            QCOMPARE(reply.size(), 14);
            if (reply.at(1) == '\0' && watch.seen().size() > size_t(birth) + 270)
                break;
            QTest::qWait(2);
        }
        ++jointAsks;
        QCOMPARE(cell.robot.ask(kStatus, 4).size(), 4);
        const auto told = [&](const std::map<std::string, Metric>& view) {
            const char* const values[] = {"Y", "Z", "Gap", "Z Diff", "Area"};
            for (int i = 0; i < 5; ++i)
                if (view.at(std::string("Robot/Last Joint Data/") + values[i]).double_value() !=
                    robot::DecodeValue(reply.constData() + 4 + 2 * i) / 100.0)
                    return false;
            return view.at("Robot/Answered/Joint Data").long_value() == uint64_t(jointAsks) &&
                   view.at("Robot/Answered/Status").long_value() == 1 &&
                   view.at("Robot/Result Codes/0 Recognised").long_value() +
                           view.at("Robot/Result Codes/1 Vision Not Ready").long_value() ==
                       uint64_t(jointAsks) &&
                   view.at("Robot/Last Joint Data/Result Code").int_value() == 0 &&
                   view.at("Robot/Peer Address").string_value() == "127.0.0.1";
        };
        QVERIFY(QTest::qWaitFor([&] { return told(HostView(watch.seen(), size_t(birth))); }));
        uint64_t seq = 0;
        int wraps = 0;
        for (const Seen& seen : watch.seen())
            if (Is(seen, "NDATA")) {
                QCOMPARE(seen.payload.seq(), (seq + 1) % 256);
                seq = seen.payload.seq();
                wraps += seq == 0;
                for (const Metric& metric : seen.payload.metrics())
                    QVERIFY(!metric.has_name() && metric.has_alias());
            }
        QVERIFY(wraps >= 1);

        const std::string ncmd = NodeTopic("NCMD");
        watch.publish(ncmd, "not a payload \xff\xff\xff\xff");
        watch.publish(ncmd, Command("Node Control/Reboot"));
        watch.publish(ncmd, Command("Node Control/Rebirth", true));
        watch.publish(ncmd, std::string(70000, '\x08'));
        const size_t before = watch.seen().size();
        watch.publish(ncmd, Command("")); // by alias, as the birth gave it
        const int reborn = watch.next("NBIRTH", before);
        QVERIFY(reborn >= 0 && watch.seen()[size_t(reborn)].payload.seq() == 0);
        QCOMPARE(BdSeq(watch.seen()[size_t(reborn)]), 0u);
        QVERIFY(told(HostView(watch.seen(), size_t(reborn))));
        QCOMPARE(cell.robot.ask(kStatus, 4).size(), 4);
        QCOMPARE(cell.logged("Plant telemetry: NCMD ignored: not a Sparkplug B payload\n"), 1);
        QCOMPARE(cell.logged("NCMD ignored for the unknown metric Node Control/Reboot\n"), 1);
        QCOMPARE(cell.logged("NCMD ignored: Node Control/Rebirth is not a Boolean\n"), 1);
        QCOMPARE(cell.logged("NCMD ignored: longer than 64 KiB\n"), 1);
        QCOMPARE(cell.logged("Plant telemetry: rebirth asked\n"), 1);

        cell.bridge->Stop();
        const int death = watch.next("NDEATH");
        QVERIFY(death > reborn);
        const Seen died = watch.seen()[size_t(death)];
        // Its own death, stamped at the stop; the will would carry the time of the connect.
        QVERIFY(BdSeq(died) == 0 && !died.payload.has_seq() &&
                died.payload.timestamp() >= watch.seen()[size_t(reborn)].payload.timestamp());
    }

    // Killed, the bridge cannot say goodbye: the broker delivers the will with the session's
    // bdSeq. The bridge runs in a process of this program's own (see main), as the built
    // program would take the one-bridge-per-machine guard from other work on this machine.
    void killedBridgeDiesByItsWill()
    {
        MqttBroker broker;
        QVERIFY(broker.start());
        SparkplugWatch watch(broker);
        QProcess bridge;
        bridge.start(QCoreApplication::applicationFilePath(), {kRunBridge, broker.address()});
        const int birth = watch.next("NBIRTH");
        QVERIFY(birth >= 0);
        bridge.kill();
        QVERIFY(bridge.waitForFinished(5000));
        const int death = watch.next("NDEATH");
        QVERIFY(death > birth);
        QCOMPARE(BdSeq(watch.seen()[size_t(death)]), BdSeq(watch.seen()[size_t(birth)]));
    }

    // A broker restart: the node reconnects with the next bdSeq, births with the values of now,
    // then sends what changed meanwhile as history.
    void brokerRestartStartsANewSessionWithHistory()
    {
        MqttBroker broker;
        QVERIFY(broker.start());
        auto watch = std::make_unique<SparkplugWatch>(broker);
        Cell cell(broker);
        QVERIFY(watch->next("NBIRTH") >= 0);
        QVERIFY(cell.connectRobot());
        watch.reset();
        broker.stop();
        QVERIFY(QTest::qWaitFor([&] { return !cell.state().telemetryConnected; }));
        for (int ask = 0; ask < 3; ++ask) {
            QCOMPARE(cell.robot.ask(kStatus, 4).size(), 4);
            QTest::qWait(150); // each ask its own data message
        }
        QVERIFY(broker.start());
        watch = std::make_unique<SparkplugWatch>(broker);
        const int birth = watch->waitFor(
            [](const Seen& s) { return Is(s, "NBIRTH") && BdSeq(s) == 1; }, 0, 15000);
        QVERIFY(birth >= 0);
        const std::vector<Seen> seen = watch->seen();
        QCOMPARE(HostView(seen, size_t(birth)).at("Robot/Answered/Status").long_value(), 3u);
        const uint64_t statusAlias =
            FindMetric(seen[size_t(birth)].payload, "Robot/Answered/Status")->alias();
        QVERIFY(watch->waitFor(
                    [&](const Seen& s) {
                        const Metric* asked = FindMetric(s.payload, "", statusAlias);
                        return Is(s, "NDATA") && asked && asked->is_historical() &&
                               asked->long_value() == 3;
                    },
                    size_t(birth)) > birth);
        QCOMPARE(cell.logged("Plant telemetry: lost the MQTT broker at "), 1);
    }

    // The store of data kept while the broker is away stays within its bound, oldest out first.
    void heldDataKeepsItsBound()
    {
        HeldData held(4096);
        for (uint64_t i = 0; i < 1000; ++i)
            held.Keep({{1, sparkplug::DataType::UInt64, i, 0}});
        QVERIFY(held.HeldBytes() <= 4096 && held.HeldBytes() > 2048);
        QCOMPARE(std::get<uint64_t>(held.TakeOldest()[0].value), held.TakeDropped());
    }

    // TLS with the test CA and a login through a password file, and a robot asking 200 times a
    // second heard of 10 times a second; a wrong password and a CA that did not sign the broker
    // each give one log line and leave the robot served.
    void tlsLoginAndRefusals()
    {
        MqttBroker broker(true, "plant");
        QVERIFY(broker.start());
        SparkplugWatch watch(broker);
        QVERIFY(std::get<0>(runProgram("sh", {"-c", "echo secret > " + broker.dir() + "/pw"})) ==
                0);
        QMap<QString, QString> tls{{"MqttCaFile", broker.dir() + "/ca.pem"},
                                   {"MqttUser", "plant"},
                                   {"MqttPasswordFile", broker.dir() + "/pw"}};
        {
            Cell cell(broker, tls);
            const int birth = watch.next("NBIRTH");
            QVERIFY(birth >= 0 && cell.connectRobot());
            for (QDeadlineTimer deadline(1500); !deadline.hasExpired(); QTest::qWait(5))
                QCOMPARE(cell.robot.ask(kStatus, 4).size(), 4);
            const uint64_t asked =
                HostView(watch.seen(), size_t(birth)).at("Robot/Answered/Status").alias();
            std::vector<uint64_t> sent;
            for (const Seen& seen : watch.seen())
                if (Is(seen, "NDATA") && FindMetric(seen.payload, "", asked))
                    sent.push_back(seen.payload.timestamp());
            QVERIFY(sent.size() >= 3 && sent.size() <= 17);
            for (size_t i = 1; i < sent.size(); ++i)
                QVERIFY(sent[i] - sent[i - 1] >= 99);
        }
        const std::pair<QString, QString> wrongs[] = {
            {"MqttPasswordFile", broker.dir() + "/ext.cnf"},
            {"MqttCaFile", broker.dir() + "/server.pem"}};
        for (const auto& [key, value] : wrongs) {
            QMap<QString, QString> config = tls;
            config[key] = value;
            Cell cell(broker, config);
            QVERIFY(cell.connectRobot());
            for (QDeadlineTimer deadline(1500); !deadline.hasExpired(); QTest::qWait(100))
                QCOMPARE(cell.robot.ask(kStatus, 4).size(), 4);
            QCOMPARE(cell.logged("Plant telemetry: cannot connect to the MQTT broker"), 1);
            QVERIFY(!cell.state().telemetryConnected);
        }
    }

    // Settings that cannot be used leave telemetry off, each said in the log and for a box.
    void unusableSettingsLeaveTelemetryOff()
    {
        const std::array<QString, 3> rows[] = {
            {"MqttBroker", "host:70000", "MqttBroker=host:70000 is no host or host:port"},
            {"MqttNode", "cell/7", "MqttNode=cell/7 is empty or holds +, # or /"},
            {"MqttPasswordFile", "/nonexistent", "MqttPasswordFile=/nonexistent cannot be read"}};
        for (const auto& [key, value, line] : rows) {
            {
                const auto bridge = MakeBridge({{"MqttBroker", "127.0.0.1"}, {key, value}});
                QVERIFY(!bridge->Snapshot().telemetry);
                QCOMPARE(bridge->Config().TakeReports().size(), 1);
            }
            QCOMPARE(TestDebugLog(), line.toUtf8() + "; plant telemetry is off\n");
        }
    }

    // With a primary host, births wait for its STATE online; offline, the node dies and waits
    // again on a new connection.
    void primaryHostGatesTheBirths()
    {
        MqttBroker broker;
        QVERIFY(broker.start());
        SparkplugWatch watch(broker);
        Cell cell(broker, {{"MqttPrimaryHost", "scada"}});
        QVERIFY(QTest::qWaitFor([&] { return cell.state().telemetryConnected; }));
        watch.publish("spBv1.0/STATE/scada", R"({"online": true, "timestamp": 1})", true);
        const int birth = watch.next("NBIRTH");
        QVERIFY(birth > watch.waitFor([](const Seen& s) {
            return s.topic.find("STATE") != std::string::npos;
        }));
        QCOMPARE(BdSeq(watch.seen()[size_t(birth)]), 0u);
        watch.publish("spBv1.0/STATE/scada", R"({"online": false, "timestamp": 2})", true);
        const int death = watch.next("NDEATH");
        QVERIFY(death > birth);
        watch.publish("spBv1.0/STATE/scada", R"({"online": true, "timestamp": 3})", true);
        const int again = watch.next("NBIRTH", size_t(death));
        QVERIFY(again > death);
        QCOMPARE(BdSeq(watch.seen()[size_t(again)]), 1u);
    }
};

// With kRunBridge BROKER: a bridge with telemetry to BROKER, until it is killed.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && argv[1] == QString(kRunBridge)) {
        const auto bridge = MakeBridge({{"RobotPort", "0"},
                                        {"CommandPort", "1"},
                                        {"MqttBroker", argv[2]},
                                        {"MqttNode", "cell"}});
        bridge->Start();
        for (;;)
            ::pause();
    }
    TestPlantTelemetry test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_telemetry.moc"
