#ifndef BENCH_REPORT_H
#define BENCH_REPORT_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

// Statistics of repeated runs and the table rows that the benchmark programs print. A row is
// one line of tab-separated cells: figure, measured, reference, ratio, target, verdict; run.sh
// lines the rows of all programs up into one table.
namespace bench
{

// Nearest-rank percentile, p in (0, 100].
inline double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
    return values[std::max<size_t>(rank, 1) - 1];
}

inline double Median(const std::vector<double>& values)
{
    return Percentile(values, 50.0);
}

inline std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

enum class Verdict { Met, Missed, NoTarget };

inline Verdict Judge(bool met)
{
    return met ? Verdict::Met : Verdict::Missed;
}

inline void PrintRow(const std::string& figure, const std::string& measured,
                     const std::string& reference, const std::string& ratio,
                     const std::string& target, Verdict verdict)
{
    const char* verdictText = verdict == Verdict::Met      ? "ok"
                              : verdict == Verdict::Missed ? "MISSED"
                                                           : "-";
    std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), measured.c_str(), reference.c_str(),
                ratio.c_str(), target.c_str(), verdictText);
    std::fflush(stdout);
}

} // namespace bench

#endif // BENCH_REPORT_H
