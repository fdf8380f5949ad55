// The trend window's cost: the GUI thread's CPU with the window open while a feeder thread
// stores 200 records and 50 robot replies a second, for each range, over a full history; and
// what one record costs the Stream thread with the window closed and open.
#include "trend_view.h"

#include "bench_report.h"

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <thread>
#include <time.h>

namespace
{

constexpr int kRuns = 3;
constexpr int kRunMs = 2000;
constexpr int64_t kRecordEveryMs = 5; // 200 records a second
constexpr int64_t kReplyEveryMs = 20;

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

int64_t NowMs()
{
    return trend::Ms(std::chrono::steady_clock::now());
}

void Store(trend::TrendModel* model, int64_t ms)
{
    const double t = double(ms) / 1000.0;
    model->AddRecord(ms, {t, 2.0 + (ms / 7000) % 2, 0.8 + t * 1e-3, -0.1, 3.2}, ms % 3000 > 100);
    if (ms % kReplyEveryMs == 0)
        model->AddReply(ms, ms % 3000 > 100 ? 0x00 : 0x0C);
}

// Share of one core that the GUI thread spent, in percent, over one run of the open window.
double GuiShare(int64_t rangeMs)
{
    trend::TrendModel model;
    model.SetOpen(true);
    const int64_t start = NowMs();
    for (int64_t ms = start - trend::TrendModel::kLongestRangeMs; ms < start; ms += kRecordEveryMs)
        Store(&model, ms);
    TrendView view(&model);
    view.SetRangeMs(rangeMs);
    view.resize(1280, 720);
    view.show();
    QApplication::processEvents(); // the first paint and the window's set-up are not counted

    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        auto next = std::chrono::steady_clock::now();
        while (!stop) {
            next += std::chrono::milliseconds(kRecordEveryMs);
            std::this_thread::sleep_until(next);
            Store(&model, NowMs());
        }
    });
    const double cpuBefore = ThreadCpuSeconds();
    QTimer::singleShot(kRunMs, qApp, &QApplication::quit);
    QApplication::exec();
    const double cpu = ThreadCpuSeconds() - cpuBefore;
    stop = true;
    feeder.join();
    return 100.0 * cpu / (kRunMs / 1000.0);
}

// Nanoseconds that one record costs the thread that stores it.
double FeedNs(bool open)
{
    trend::TrendModel model;
    model.SetOpen(open);
    const int count = open ? 1000000 : 20000000;
    const measurement::Values values = {1, 2, 3, 4, 5};
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
        model.NoteRecord(begin + std::chrono::microseconds(i), values, i % 7 != 0);
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - begin;
    return spent.count() / count;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    for (const int64_t rangeMs : {10 * 1000, 60 * 1000, 10 * 60 * 1000}) {
        std::vector<double> shares;
        for (int run = 0; run < kRuns; ++run)
            shares.push_back(GuiShare(rangeMs));
        const double share = bench::Median(shares);
        bench::PrintRow("Trend open, GUI thread, 200 rec/s, last " +
                            std::to_string(rangeMs / 1000) + " s (% of one core)",
                        bench::Format("%.2f", share), "-", "-", "< 2%", bench::Judge(share < 2.0));
    }
    std::vector<double> closed, open;
    for (int run = 0; run < kRuns; ++run) {
        closed.push_back(FeedNs(false));
        open.push_back(FeedNs(true));
    }
    bench::PrintRow(
        "Trend feed per record, window closed (ns)", bench::Format("%.2f", bench::Median(closed)),
        bench::Format("%.1f open", bench::Median(open)), "-", "-", bench::Verdict::NoTarget);
    return 0;
}
