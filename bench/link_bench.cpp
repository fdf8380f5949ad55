// The bridge's links measured from outside, on loopback: robot round trip against a bare echo
// server, its cost of the traffic capture and of the history, freshness of joint data,
// joint-switch latency, idle cost, the history's cost at a busy cell's load, start-up and
// shutdown time, and what plant telemetry costs the robot and the CPU.
//
// Usage: link-bench RUN_DIR, where RUN_DIR holds a copy of tervian-bridge and its config.txt
// (ScannerIP=127.0.0.1, DebugLog=0). Prints table rows for run.sh.
#include "affinity.h"
#include "bench_report.h"
#include "bridge_runner.h"
#include "fake_broker.h"
#include "fake_vision.h"
#include "history_store.h"
#include "loopback.h"
#include "robot_protocol.h"
#include "socket_util.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr uint16_t kRobotPort = 5020;
constexpr int kRoundTripRuns = 5;
constexpr int kRoundTrips = 20000;
constexpr int kWarmUpRoundTrips = 1000;
constexpr int kFreshnessRuns = 3;
constexpr int kFreshnessSamples = 500;
constexpr int kSwitchRuns = 3;
constexpr int kSwitchSamples = 150;
constexpr int kIdleRuns = 3;
constexpr int kIdleSeconds = 10;
constexpr int kStartUpRuns = 5;
constexpr int kRestartRuns = 20;
constexpr int kShutdownRuns = 20;
constexpr int kCaptureRuns = 3; // of each kind
constexpr int kCaptureRoundTrips = 10000;
constexpr int kTelemetryCpuRuns = 2; // of each kind
constexpr int kTelemetryCpuSeconds = 10;
// A busy cell: the robot asks 50 times a second, the stream sends 200 records a second.
constexpr int kLoadSeconds = 30;
constexpr int kLoadRequestsPerSecond = 50;
constexpr int kLoadRecordsPerSecond = 200;

const char* const kStatusQuery = reinterpret_cast<const char*>(robot::kStatusRequest.data());
const char* const kJointDataQuery = reinterpret_cast<const char*>(robot::kJointDataRequest.data());
constexpr size_t kStatusReplyLength = 4;
constexpr size_t kJointDataReplyLength = 14;

double Milliseconds(int64_t ns)
{
    return double(ns) / 1e6;
}

// One request, one reply of known length; the time from send to the reply's last byte.
int64_t Exchange(int socket, const char* request, char* reply, size_t replyLength)
{
    const int64_t start = loopback::NowNs();
    if (!sockets::SendAll(socket, request, 4, capture::Tap()) ||
        !loopback::ReceiveExact(socket, reply, replyLength))
        loopback::Fail("a request got no reply");
    return loopback::NowNs() - start;
}

// The X field of a joint data reply, in hundredths of a millimetre.
int ReplyX(const char* reply)
{
    return int16_t(uint16_t(uint8_t(reply[4]) << 8 | uint8_t(reply[5])));
}

// The physical floor: a process of its own, like the bridge, that receives a block and sends
// it back.
class EchoServer
{
public:
    EchoServer()
    {
        const int listener = loopback::Listen(0);
        m_pid = fork();
        if (m_pid == 0)
            Serve(listener);
        m_socket = loopback::Connect(loopback::PortOf(listener));
        close(listener);
        if (m_pid == -1 || m_socket == -1)
            loopback::Fail("cannot start the echo server");
    }
    ~EchoServer()
    {
        close(m_socket);
        waitpid(m_pid, nullptr, 0);
    }
    int Socket() const { return m_socket; }
    pid_t Pid() const { return m_pid; }

private:
    [[noreturn]] static void Serve(int listener)
    {
        const int socket = loopback::Accept(listener, 5000);
        char buffer[512];
        ssize_t length;
        while ((length = recv(socket, buffer, sizeof buffer, 0)) > 0)
            send(socket, buffer, size_t(length), MSG_NOSIGNAL);
        _exit(0);
    }

    pid_t m_pid;
    int m_socket;
};

// Status and joint data queries in turn, appending microseconds to times; against the echo
// every reply is the 4 request bytes.
void TimeRoundTrips(int socket, bool echo, int count, std::vector<double>* times)
{
    char reply[kJointDataReplyLength];
    for (int i = 0; i < count; ++i) {
        const bool status = i % 2 == 0;
        const size_t replyLength = echo || status ? kStatusReplyLength : kJointDataReplyLength;
        const int64_t ns =
            Exchange(socket, status ? kStatusQuery : kJointDataQuery, reply, replyLength);
        if (times != nullptr)
            times->push_back(double(ns) / 1e3);
    }
}

struct RoundTripRun {
    double echoP50, echoP99, bridgeP50, bridgeP99;
};

// Echo and bridge take turns in short blocks, so that whatever else the machine does at the
// time falls on both alike.
RoundTripRun TimeRoundTripRun(int echo, int robot)
{
    constexpr int kBlock = 1000;
    std::vector<double> echoTimes, bridgeTimes;
    TimeRoundTrips(echo, true, kWarmUpRoundTrips, nullptr);
    TimeRoundTrips(robot, false, kWarmUpRoundTrips, nullptr);
    for (int done = 0; done < kRoundTrips; done += kBlock) {
        TimeRoundTrips(echo, true, kBlock, &echoTimes);
        TimeRoundTrips(robot, false, kBlock, &bridgeTimes);
    }
    return {bench::Percentile(echoTimes, 50), bench::Percentile(echoTimes, 99),
            bench::Percentile(bridgeTimes, 50), bench::Percentile(bridgeTimes, 99)};
}

void MeasureRoundTrip(const EchoServer& echoServer, pid_t bridge, int robot)
{
    const int cpu = sched_getcpu();
    for (pid_t pid : {pid_t(0), echoServer.Pid(), bridge})
        affinity::PinToCpu(pid, cpu);
    std::vector<double> echoP50, echoP99, bridgeP50, bridgeP99, ratioP50, ratioP99;
    for (int run = 0; run < kRoundTripRuns; ++run) {
        const RoundTripRun times = TimeRoundTripRun(echoServer.Socket(), robot);
        echoP50.push_back(times.echoP50);
        echoP99.push_back(times.echoP99);
        bridgeP50.push_back(times.bridgeP50);
        bridgeP99.push_back(times.bridgeP99);
        ratioP50.push_back(times.bridgeP50 / times.echoP50);
        ratioP99.push_back(times.bridgeP99 / times.echoP99);
    }
    for (pid_t pid : {pid_t(0), bridge})
        affinity::Unpin(pid);
    const double p50Ratio = bench::Median(ratioP50);
    const double p99Ratio = bench::Median(ratioP99);
    bench::PrintRow("Robot round trip p50 (us, one CPU)",
                    bench::Format("%.1f", bench::Median(bridgeP50)),
                    bench::Format("%.1f echo", bench::Median(echoP50)),
                    bench::Format("%.2fx", p50Ratio), "<= 1.3x", bench::Judge(p50Ratio <= 1.3));
    bench::PrintRow("Robot round trip p99 (us, one CPU)",
                    bench::Format("%.1f", bench::Median(bridgeP99)),
                    bench::Format("%.1f echo", bench::Median(echoP99)),
                    bench::Format("%.2fx", p99Ratio), "<= 2x", bench::Judge(p99Ratio <= 2.0));
}

// From writing a record to the first joint data reply that carries it. X is a multiple of
// 0.25 mm, exact in binary, so its hundredths are known without rounding doubts.
double FreshnessP99Ms(FakeVision* vision, int robot, std::mt19937* random)
{
    std::uniform_int_distribution<int> pauseUs(1000, 4000);
    std::vector<double> latencies;
    char reply[kJointDataReplyLength];
    char record[64];
    for (int i = 0; i < kFreshnessSamples; ++i) {
        const int quarters = 1 + i % 1300;
        std::snprintf(record, sizeof record, "0,%.2f,1.00,0.50,0.10,2.00;", quarters * 0.25);
        const int64_t written = vision->WriteRecord(record);
        do
            Exchange(robot, kJointDataQuery, reply, kJointDataReplyLength);
        while (ReplyX(reply) != quarters * 25 && loopback::NowNs() - written < 1000000000);
        if (ReplyX(reply) != quarters * 25)
            loopback::Fail("a record never reached the joint data reply");
        latencies.push_back(Milliseconds(loopback::NowNs() - written));
        loopback::SleepUs(pauseUs(*random));
    }
    return bench::Percentile(latencies, 99);
}

// From the robot's set-joint request to the load-project request reaching the vision side.
// Requests come at random moments, so every phase of the command loop's waits is sampled.
// Joints start at 2: project 1 is the default the bridge loads on connecting.
double SwitchP99Ms(FakeVision* vision, int robot, std::mt19937* random)
{
    std::uniform_int_distribution<int> pauseUs(1000, 35000);
    std::vector<double> latencies;
    for (int i = 0; i < kSwitchSamples; ++i) {
        loopback::SleepUs(pauseUs(*random));
        const int joint = 2 + i % 100;
        const robot::RequestFrame request = robot::SetJointIdRequest(uint8_t(joint));
        char reply;
        const int64_t sent = loopback::NowNs();
        Exchange(robot, reinterpret_cast<const char*>(request.data()), &reply, 1);
        const int64_t arrived = vision->WaitForProjectLoad(std::to_string(joint), 2000);
        if (arrived < 0)
            loopback::Fail("a joint switch never reached the vision side");
        latencies.push_back(Milliseconds(arrived - sent));
    }
    return bench::Percentile(latencies, 99);
}

void MeasureVisionPaths(FakeVision* vision, int robot)
{
    std::mt19937 random(42);
    std::vector<double> freshness, switching;
    for (int run = 0; run < kFreshnessRuns; ++run)
        freshness.push_back(FreshnessP99Ms(vision, robot, &random));
    for (int run = 0; run < kSwitchRuns; ++run)
        switching.push_back(SwitchP99Ms(vision, robot, &random));
    const double fresh = bench::Median(freshness);
    const double switched = bench::Median(switching);
    bench::PrintRow("Freshness p99 (ms)", bench::Format("%.3f", fresh), "-", "-", "<= 2 ms",
                    bench::Judge(fresh <= 2.0));
    bench::PrintRow("Joint switch p99 (ms)", bench::Format("%.2f", switched), "-", "-", "<= 1 ms",
                    bench::Judge(switched <= 1.0));
}

// Robot and vision connected, nothing sent.
void MeasureIdle(const BridgeRunner& bridge)
{
    loopback::SleepUs(1000000);
    std::vector<double> shares;
    for (int run = 0; run < kIdleRuns; ++run) {
        const double before = bridge.CpuSeconds();
        loopback::SleepUs(int64_t(kIdleSeconds) * 1000000);
        shares.push_back((bridge.CpuSeconds() - before) / kIdleSeconds * 100.0);
    }
    const double share = bench::Median(shares);
    bench::PrintRow("Idle CPU (% of one core, 10 s)", bench::Format("%.2f", share), "-", "-",
                    "<= 0.05%", bench::Judge(share <= 0.05));
    bench::PrintRow("Idle RSS (MB)", bench::Format("%.1f", bridge.RssMegabytes()), "-", "-", "-",
                    bench::Verdict::NoTarget);
}

void RequirePortFree(uint16_t port)
{
    const int socket = loopback::Connect(port);
    if (socket != -1) {
        close(socket);
        loopback::Fail("port " + std::to_string(port) + " is already served by another program");
    }
}

// From starting the process to the first accepted connection on the robot port.
void MeasureStartUp(const std::string& runDir)
{
    std::vector<double> times;
    for (int run = 0; run < kStartUpRuns; ++run) {
        RequirePortFree(kRobotPort);
        BridgeRunner bridge(runDir);
        const int64_t start = loopback::NowNs();
        bridge.Start();
        int robot;
        while ((robot = loopback::Connect(kRobotPort)) == -1) {
            if (loopback::NowNs() - start > 10000000000)
                loopback::Fail("the bridge never listened on port 5020");
            loopback::SleepUs(200);
        }
        times.push_back(Milliseconds(loopback::NowNs() - start));
        close(robot);
    }
    const double startUp = bench::Median(times);
    bench::PrintRow("Start-up to port 5020 accepting (ms)", bench::Format("%.1f", startUp), "-",
                    "-", "<= 300 ms", bench::Judge(startUp <= 300.0));
}

// A robot that polls the status until the bridge answers: the time until the reply.
double MillisecondsToFirstReply(int64_t start)
{
    char reply[kStatusReplyLength];
    for (;;) {
        if (loopback::NowNs() - start > 10000000000)
            loopback::Fail("the restarted bridge never answered the robot");
        const int robot = loopback::Connect(kRobotPort);
        if (robot == -1) {
            loopback::SleepUs(200);
            continue;
        }
        // A connection queued before the bridge listened anew is reset: connect again.
        const bool answered = sockets::SendAll(robot, kStatusQuery, 4, capture::Tap()) &&
                              loopback::ReceiveExact(robot, reply, kStatusReplyLength);
        close(robot);
        if (answered)
            return Milliseconds(loopback::NowNs() - start);
    }
}

// The service after a watchdog's kill: SIGKILL while a robot is served, the service manager's
// new start at once, and the robot's first reply from the new process.
void MeasureRestartAfterKill(const std::string& runDir)
{
    std::vector<double> times;
    BridgeRunner bridge(runDir);
    bridge.Start("--service");
    MillisecondsToFirstReply(loopback::NowNs());
    for (int run = 0; run < kRestartRuns; ++run) {
        bridge.Kill();
        const int64_t start = loopback::NowNs();
        bridge.Start("--service");
        times.push_back(MillisecondsToFirstReply(start));
    }
    const double p99 = bench::Percentile(times, 99.0);
    bench::PrintRow("Service restart after kill -9: start to first robot reply, p50 of 20 (ms)",
                    bench::Format("%.1f", bench::Median(times)), "-", "-", "-",
                    bench::Verdict::NoTarget);
    bench::PrintRow("Service restart after kill -9: start to first robot reply, p99 of 20 (ms)",
                    bench::Format("%.1f", p99), "-", "-", "< 1000 ms", bench::Judge(p99 < 1000.0));
}

// A robot that is connected and served, so that the robot server is inside its connection.
int ConnectRobot()
{
    int robot = -1;
    for (int attempt = 0; attempt < 1000 && robot == -1; ++attempt) {
        robot = loopback::Connect(kRobotPort);
        loopback::SleepUs(5000);
    }
    if (robot == -1)
        loopback::Fail("the bridge did not accept the robot");
    char reply[kStatusReplyLength];
    Exchange(robot, kStatusQuery, reply, kStatusReplyLength);
    return robot;
}

// Starts the bridge, waits until it has set up the vision link, and connects the robot.
int StartAndConnect(BridgeRunner* bridge, FakeVision* vision)
{
    bridge->Start();
    if (!vision->WaitUntilBridgeReady(10000))
        loopback::Fail("the bridge did not set up the vision link");
    return ConnectRobot();
}

// Sets a key in the run folder's config.txt, keeping the rest.
void SetSetting(const std::string& runDir, const std::string& key, const std::string& value)
{
    const std::string path = runDir + "/config.txt";
    std::ifstream in(path);
    std::ostringstream kept;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) == 0)
            continue;
        kept << line << "\n";
        if (line == "[General]")
            kept << key << "=" << value << "\n";
    }
    in.close();
    std::ofstream(path) << kept.str();
}

// Medians of the robot round trip p50 with key set to on and to off: the bridge is started
// anew for each, the two taking turns, so that the machine's other load falls on both alike.
std::pair<double, double> RoundTripOnAndOff(const std::string& runDir, const std::string& key,
                                            const std::string& onValue, const std::string& offValue)
{
    std::vector<double> on, off;
    const int cpu = sched_getcpu();
    for (int run = 0; run < 2 * kCaptureRuns; ++run) {
        const bool recording = run % 2 == 0;
        SetSetting(runDir, key, recording ? onValue : offValue);
        RequirePortFree(kRobotPort);
        FakeVision vision;
        BridgeRunner bridge(runDir);
        const int robot = StartAndConnect(&bridge, &vision);
        for (pid_t pid : {pid_t(0), bridge.Pid()})
            affinity::PinToCpu(pid, cpu);
        std::vector<double> times;
        TimeRoundTrips(robot, false, kWarmUpRoundTrips, nullptr);
        TimeRoundTrips(robot, false, kCaptureRoundTrips, &times);
        affinity::Unpin(0);
        (recording ? on : off).push_back(bench::Percentile(times, 50));
        close(robot);
    }
    return {bench::Median(on), bench::Median(off)};
}

// A feature on (its default) and off, by the robot's round trip: the capture records every
// request and reply, the history writes every reply, some thousands a second, on the robot's CPU.
void MeasureRoundTripCost(const std::string& runDir, const char* key, const char* onValue,
                          const std::string& feature, double limit)
{
    const auto [on, off] = RoundTripOnAndOff(runDir, key, onValue, "0");
    SetSetting(runDir, key, onValue);
    const double ratio = on / off;
    bench::PrintRow("Robot round trip p50, " + feature + " on (us, one CPU)",
                    bench::Format("%.1f", on), bench::Format("%.1f off", off),
                    bench::Format("%.2fx", ratio), bench::Format("<= %.2fx", limit),
                    bench::Judge(ratio <= limit));
}

// Plant telemetry to a broker that took the connection and then stopped reading, against
// telemetry off: the robot must not notice.
void MeasureTelemetryCost(const std::string& runDir)
{
    const FakeBroker hung(false);
    const std::string broker = "127.0.0.1:" + std::to_string(hung.Port());
    const auto [on, off] = RoundTripOnAndOff(runDir, "MqttBroker", broker, "");
    SetSetting(runDir, "MqttBroker", "");
    const double ratio = on / off;
    bench::PrintRow("Robot round trip p50, telemetry to a broker that does not read (us, one CPU)",
                    bench::Format("%.1f", on), bench::Format("%.1f off", off),
                    bench::Format("%.2fx", ratio), "<= 1.05x", bench::Judge(ratio <= 1.05));
}

// The bridge's CPU while the stream brings 200 records a second and the robot asks for joint
// data 50 times a second, with telemetry to a broker that reads and without.
void MeasureTelemetryCpu(const std::string& runDir)
{
    const FakeBroker reading(true);
    std::vector<double> shares[2];
    for (int run = 0; run < 2 * kTelemetryCpuRuns; ++run) {
        const bool telemetry = run % 2 == 0;
        SetSetting(runDir, "MqttBroker",
                   telemetry ? "127.0.0.1:" + std::to_string(reading.Port()) : "");
        RequirePortFree(kRobotPort);
        FakeVision vision;
        BridgeRunner bridge(runDir);
        const int robot = StartAndConnect(&bridge, &vision);
        char reply[kJointDataReplyLength];
        const double before = bridge.CpuSeconds();
        const int64_t start = loopback::NowNs();
        for (int record = 0; record < kTelemetryCpuSeconds * 200; ++record) {
            vision.WriteRecord("0," + std::to_string(record % 100) + ".25,2.00,0.50,0.10,2.00;");
            if (record % 4 == 0)
                Exchange(robot, kJointDataQuery, reply, kJointDataReplyLength);
            const int64_t due = start + int64_t(record + 1) * 5000000;
            loopback::SleepUs(std::max<int64_t>(0, (due - loopback::NowNs()) / 1000));
        }
        const double seconds = double(loopback::NowNs() - start) / 1e9;
        shares[telemetry].push_back((bridge.CpuSeconds() - before) / seconds * 100.0);
        close(robot);
    }
    SetSetting(runDir, "MqttBroker", "");
    const double on = bench::Median(shares[1]), off = bench::Median(shares[0]);
    bench::PrintRow("CPU at 200 records/s, telemetry on (% of one core)", bench::Format("%.2f", on),
                    bench::Format("%.2f off", off), bench::Format("%+.2f", on - off), "-",
                    bench::Verdict::NoTarget);
}

// CPU seconds of the process's thread of that name, 0 when it has none.
double ThreadCpuSeconds(pid_t pid, const std::string& name)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* folder = opendir(tasks.c_str());
    double seconds = 0;
    for (dirent* entry; folder != nullptr && (entry = readdir(folder)) != nullptr;) {
        const std::string task = tasks + "/" + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm != name)
            continue;
        std::string stat;
        std::getline(std::ifstream(task + "/stat"), stat);
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string skip;
        unsigned long user = 0, system = 0;
        for (int field = 3; field < 14; ++field)
            fields >> skip;
        fields >> user >> system;
        seconds = double(user + system) / double(sysconf(_SC_CLK_TCK));
    }
    if (folder != nullptr)
        closedir(folder);
    return seconds;
}

int64_t HistoryBytes(const std::string& runDir)
{
    history::Store store;
    return store.OpenForReading(runDir + "/history.sqlite") == history::Outcome::Done
               ? store.UsedBytes()
               : 0;
}

// The history writer's CPU and the history's growth while a busy cell runs: joint data asked
// 50 times a second, 200 records a second, the laser on.
void MeasureHistoryAtLoad(const std::string& runDir)
{
    for (const char* suffix : {"", "-wal", "-shm"})
        std::remove((runDir + "/history.sqlite" + suffix).c_str());
    RequirePortFree(kRobotPort);
    FakeVision vision;
    BridgeRunner bridge(runDir);
    const int robot = StartAndConnect(&bridge, &vision);
    char reply[kJointDataReplyLength];
    Exchange(robot, reinterpret_cast<const char*>(robot::kLaserOnRequest.data()), reply, 1);
    const int64_t emptyBytes = HistoryBytes(runDir);
    const double cpuBefore = ThreadCpuSeconds(bridge.Pid(), "history writer");
    const double bridgeBefore = bridge.CpuSeconds();
    const int64_t start = loopback::NowNs();
    const int64_t recordEveryNs = 1000000000 / kLoadRecordsPerSecond;
    const int recordsPerRequest = kLoadRecordsPerSecond / kLoadRequestsPerSecond;
    char record[64];
    for (int64_t i = 0; i < int64_t(kLoadSeconds) * kLoadRecordsPerSecond; ++i) {
        const int64_t due = start + i * recordEveryNs;
        while (loopback::NowNs() < due)
            loopback::SleepUs((due - loopback::NowNs()) / 1000 + 1);
        std::snprintf(record, sizeof record, "0,%.2f,2.00,0.50,0.10,2.00;",
                      1.0 + (i % 100) / 100.0);
        vision.WriteRecord(record);
        if (i % recordsPerRequest == 0)
            Exchange(robot, kJointDataQuery, reply, kJointDataReplyLength);
    }
    const double seconds = double(loopback::NowNs() - start) / 1e9;
    const double share =
        (ThreadCpuSeconds(bridge.Pid(), "history writer") - cpuBefore) / seconds * 100.0;
    const double bridgeShare = (bridge.CpuSeconds() - bridgeBefore) / seconds * 100.0;
    close(robot);
    bridge.Stop(); // its last batch written
    const double megabytesPerDay =
        double(HistoryBytes(runDir) - emptyBytes) / seconds * 86400.0 / 1e6;
    bench::PrintRow("History writer CPU, 50 requests/s and 200 records/s (% of one core)",
                    bench::Format("%.2f", share), bench::Format("%.2f whole bridge", bridgeShare),
                    "-", "<= 1%", bench::Judge(share <= 1.0));
    bench::PrintRow("History bytes a day at that load (MB)", bench::Format("%.0f", megabytesPerDay),
                    "-", "-", "-", bench::Verdict::NoTarget);
}

// From SIGTERM to the end of the process, with the robot connected and the stream running.
void MeasureShutdown(const std::string& runDir)
{
    std::vector<double> times;
    for (int run = 0; run < kShutdownRuns; ++run) {
        RequirePortFree(kRobotPort);
        FakeVision vision;
        BridgeRunner bridge(runDir);
        const int robot = StartAndConnect(&bridge, &vision);
        vision.WriteRecord("0,1.00,2.00,0.50,0.10,2.00;");
        const int64_t start = loopback::NowNs();
        bridge.Stop();
        times.push_back(Milliseconds(loopback::NowNs() - start));
        close(robot);
    }
    const double shutdown = bench::Percentile(times, 99);
    bench::PrintRow("Shutdown, SIGTERM to exit p99 (ms)", bench::Format("%.1f", shutdown), "-", "-",
                    "<= 100 ms", bench::Judge(shutdown <= 100.0));
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: link-bench RUN_DIR\n");
        return 2;
    }
    const std::string runDir = argv[1];
    // Forked first, so that it holds none of the sockets opened below.
    EchoServer echoServer;
    RequirePortFree(kRobotPort);
    {
        FakeVision vision; // gone before the shutdown runs, which play the vision side anew
        BridgeRunner bridge(runDir);
        const int robot = StartAndConnect(&bridge, &vision);

        MeasureRoundTrip(echoServer, bridge.Pid(), robot);
        MeasureVisionPaths(&vision, robot);
        MeasureIdle(bridge);
        close(robot);
    }

    MeasureRoundTripCost(runDir, "CaptureMinutes", "10", "capture", 1.1);
    MeasureTelemetryCost(runDir);
    MeasureTelemetryCpu(runDir);
    MeasureRoundTripCost(runDir, "History", "1", "history", 1.05);
    MeasureHistoryAtLoad(runDir);
    MeasureStartUp(runDir);
    MeasureRestartAfterKill(runDir);
    MeasureShutdown(runDir);
    return 0;
}
