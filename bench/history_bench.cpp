// tervian-history over a month of a busy cell: a generator writes 30 days as the bridge would
// keep them with the default bounds (50 robot requests and 200 records a second; the replies of
// the newest days, as many as HistoryMaxMB=1024 holds; the stream, links, wishes, faults and
// hourly summary of all 30 days), then the tool's answers are timed as a user runs them.
//
// Usage: history-bench TERVIAN_HISTORY WORK_DIR. Prints table rows for run.sh.
#include "bench_report.h"
#include "history_store.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr int64_t kHourMs = 3600 * 1000;
constexpr int kDays = 30;
constexpr int kRequestsPerSecond = 50;
constexpr int64_t kMaxBytes = 1024LL * 1024 * 1024;
constexpr int kRuns = 5;

double NowSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// One hour of the cell from startMs; with replies or without.
history::Batch Hour(int64_t startMs, bool replies)
{
    history::Batch batch;
    if (replies)
        for (int i = 0; i < 3600 * kRequestsPerSecond; ++i) {
            history::Reply reply;
            reply.atMs = startMs + int64_t(i) * 1000 / kRequestsPerSecond;
            reply.answerMicros = 40 + i % 50;
            reply.projectAsked = reply.projectLoaded = 1 + (i / 30000) % 5;
            if (i % 10 == 0) { // a status request now and then
                reply.kind = 1;
                reply.result = 0;
                reply.told = std::string("\x82\x00\x18\x00", 4);
            } else {
                reply.kind = 3;
                reply.result = i % 97 == 0 ? 0x0C : 0x00;
                reply.hasValues = true;
                reply.hundredths = {int16_t(150 + i % 20), int16_t(220 - i % 30),
                                    int16_t(80 + i % 7), int16_t(-10 + i % 9),
                                    int16_t(320 + i % 40)};
            }
            batch.replies.push_back(reply);
        }
    for (int s = 0; s < 3600; ++s)
        batch.stream.push_back({startMs + s * 1000,
                                200,
                                s % 50 == 0 ? 3 : 0,
                                {1.4, 2.1, 0.7, -0.2, 3.0},
                                {1.7, 2.4, 0.9, 0.0, 3.5}});
    for (int m = 0; m < 60; m += 10)
        batch.wishes.push_back({startMs + m * 60000, "robot", "project", 1 + m / 10});
    if (startMs / kHourMs % 6 == 0) {
        batch.links = {{startMs + 1000, "stream", false}, {startMs + 3000, "stream", true}};
        batch.faults = {{startMs + 1000, "vision-link", "Stream: connection lost"}};
    }
    return batch;
}

// Runs the tool with its output thrown away; the seconds it took.
double TimeTool(const std::string& tool, const std::vector<std::string>& arguments)
{
    const double start = NowSeconds();
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(tool.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        if (freopen("/dev/null", "w", stdout) == nullptr)
            _exit(127);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "history-bench: %s failed\n", tool.c_str());
        std::exit(1);
    }
    return NowSeconds() - start;
}

std::string LocalTime(int64_t ms)
{
    const std::time_t seconds = std::time_t(ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

void RemoveHistory(const std::string& file)
{
    for (const char* suffix : {"", "-wal", "-shm"})
        std::remove((file + suffix).c_str());
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: history-bench TERVIAN_HISTORY WORK_DIR\n");
        return 2;
    }
    const std::string tool = argv[1];
    const std::string file = std::string(argv[2]) + "/history-30-days.sqlite";
    RemoveHistory(file);
    history::Store store;
    if (store.OpenForWriting(file) != history::Outcome::Done) {
        std::fprintf(stderr, "history-bench: cannot make %s\n", file.c_str());
        return 1;
    }
    const int64_t endMs = int64_t(std::time(nullptr)) / 3600 * kHourMs;
    const int64_t startMs = endMs - kDays * 24 * kHourMs;
    // How many of the newest hours of replies the bound holds beside 30 days of the rest, from
    // what one hour of each costs.
    const int64_t emptyBytes = store.UsedBytes();
    store.Write(Hour(endMs - 2 * kHourMs, false));
    const int64_t restBytes = store.UsedBytes() - emptyBytes;
    store.Write(Hour(endMs - kHourMs, true));
    const int64_t replyBytes = store.UsedBytes() - emptyBytes - 2 * restBytes;
    store.Close();
    RemoveHistory(file);
    store.OpenForWriting(file);
    const int64_t replyHours = (kMaxBytes - kDays * 24 * restBytes) / replyBytes;
    const double generated = NowSeconds();
    for (int64_t hour = startMs; hour < endMs; hour += kHourMs)
        if (store.Write(Hour(hour, (endMs - hour) / kHourMs <= replyHours)) !=
            history::Outcome::Done) {
            std::fprintf(stderr, "history-bench: %s\n", store.Error().c_str());
            return 1;
        }
    const double megabytes = double(store.UsedBytes()) / 1e6;
    store.Close();
    std::fprintf(stderr, "history-bench: generated %.0f MB in %.0f s\n", megabytes,
                 NowSeconds() - generated);

    std::vector<double> summary, hour;
    const std::vector<std::string> month = {"--file",           file,   "--summary",     "--from",
                                            LocalTime(startMs), "--to", LocalTime(endMs)};
    const std::vector<std::string> lastHour = {
        "--file",        file, "--kind", "replies", "--from", LocalTime(endMs - kHourMs), "--to",
        LocalTime(endMs)};
    for (int run = 0; run < kRuns; ++run) {
        summary.push_back(TimeTool(tool, month));
        hour.push_back(TimeTool(tool, lastHour));
    }
    const double summarySeconds = bench::Median(summary);
    bench::PrintRow("tervian-history --summary over 30 days (s)",
                    bench::Format("%.3f", summarySeconds),
                    bench::Format("%.0f MB, ", megabytes) +
                        bench::Format("replies of the newest %.1f days", double(replyHours) / 24),
                    "-", "< 2 s", bench::Judge(summarySeconds < 2.0));
    bench::PrintRow("tervian-history, one hour of replies as a table (s)",
                    bench::Format("%.3f", bench::Median(hour)),
                    bench::Format("%.0f rows", 3600.0 * kRequestsPerSecond), "-", "-",
                    bench::Verdict::NoTarget);
    RemoveHistory(file);
    return 0;
}
