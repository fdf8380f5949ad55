// tervian-history: looks up the bridge's history.sqlite from the command line.
#include "history_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <getopt.h>
#include <unistd.h>

namespace
{

// Also the source of the manual page.
const char kUsage[] =
    R"(Usage: tervian-history [--from TIME] [--to TIME] [--kind KIND] [--csv] [--file PATH]
       tervian-history --summary [--from TIME] [--to TIME] [--csv] [--file PATH]
Looks up what the bridge kept in its history: every reply the robot was told, the ups and
downs of the robot, command and stream links, every wish (robot or operator), every fault,
and one row a second of the measurement stream. Prints an aligned table, or CSV.

Options:
  --from TIME   start of the range (default: one hour before --to)
  --to TIME     end of the range, not included (default: now)
  --kind KIND   replies, links, wishes, faults or stream (default: each in turn)
  --summary     one row an hour: requests by kind, share of joint data replies that
                were recognised, faults and link drops
  --csv         comma-separated values with a header line instead of a table
  --file PATH   the history file (default: history.sqlite beside this program, where
                the bridge keeps it)
  --help        show this text and exit

TIME is local time, "2026-03-14 03:12", "2026-03-14 03:12:30.250" or just "03:12" for
today, or ISO 8601, "2026-03-14T03:12:30Z", "2026-03-14T03:12:30+01:00"; a date alone
is its midnight.

A reply's values are what the robot was told, in millimetres; result is the reply's
second byte in hex (joint data: 00 recognised, 0C not recognised, 01 vision not
ready); told holds the bytes of the other replies. The file may be read while the
bridge runs; to copy it safely then, use sqlite3 history.sqlite ".backup copy.sqlite".

Exit status: 0 looked up (also when nothing is in the range), 1 the history cannot be
read (missing, locked, damaged or of a newer version), 2 bad argument.
)";

constexpr int kCannotRead = 1;
constexpr int kBadArgument = 2;

// Seconds and milliseconds of a time as the usage describes it, or -1.
int64_t ParseTime(const std::string& text)
{
    std::tm tm{};
    tm.tm_isdst = -1;
    int millis = 0, consumed = 0;
    const char* s = text.c_str();
    const std::time_t now = std::time(nullptr);
    if (std::sscanf(s, "%d-%d-%d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &consumed) == 3) {
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        s += consumed;
        if (*s == 'T' || *s == ' ')
            ++s;
        else if (*s != '\0')
            return -1;
    } else {
        localtime_r(&now, &tm);
        tm.tm_isdst = -1;
    }
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    if (*s != '\0') {
        consumed = 0;
        if (std::sscanf(s, "%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &consumed) != 2)
            return -1;
        s += consumed;
        if (*s == ':') {
            if (std::sscanf(s, ":%2d%n", &tm.tm_sec, &consumed) != 1)
                return -1;
            s += consumed;
        }
        if (*s == '.' || *s == ',') {
            char digits[4] = "000";
            int n = 0;
            for (++s; *s >= '0' && *s <= '9'; ++s, ++n)
                if (n < 3)
                    digits[n] = *s;
            millis = std::atoi(digits);
        }
    }
    if (*s == '\0')
        return tm.tm_mon < 0 || tm.tm_mon > 11 ? -1 : int64_t(std::mktime(&tm)) * 1000 + millis;
    int offsetMinutes = 0;
    if (*s != 'Z') {
        int hours = 0, minutes = 0;
        const int sign = *s == '-' ? -1 : *s == '+' ? 1 : 0;
        if (sign == 0 || (std::sscanf(s + 1, "%2d:%2d%n", &hours, &minutes, &consumed) != 2 &&
                          std::sscanf(s + 1, "%2d%2d%n", &hours, &minutes, &consumed) != 2))
            return -1;
        s += 1 + consumed;
        offsetMinutes = sign * (hours * 60 + minutes);
    } else {
        ++s;
    }
    if (*s != '\0')
        return -1;
    return (int64_t(timegm(&tm)) - int64_t(offsetMinutes) * 60) * 1000 + millis;
}

std::string CsvCell(const std::string& cell)
{
    if (cell.find_first_of(",\"\n\r") == std::string::npos)
        return cell;
    std::string quoted = "\"";
    for (const char c : cell)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// Rows as CSV at once, or gathered and printed as a table whose columns are as wide as needed.
class Printer
{
public:
    explicit Printer(bool csv) : m_csv(csv) {}
    void Row(const std::vector<std::string>& cells)
    {
        if (!m_csv) {
            m_rows.push_back(cells);
            return;
        }
        std::string line;
        for (size_t i = 0; i < cells.size(); ++i)
            line += (i ? "," : "") + CsvCell(cells[i]);
        std::puts(line.c_str());
    }
    void Finish()
    {
        std::vector<size_t> widths;
        for (const auto& row : m_rows)
            for (size_t i = 0; i < row.size(); ++i) {
                widths.resize(std::max(widths.size(), row.size()));
                widths[i] = std::max(widths[i], row[i].size());
            }
        for (const auto& row : m_rows) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i)
                line += (i ? "  " : "") +
                        (i + 1 < row.size() ? row[i] + std::string(widths[i] - row[i].size(), ' ')
                                            : row[i]);
            line.erase(line.find_last_not_of(' ') + 1);
            std::puts(line.c_str());
        }
        m_rows.clear();
    }

private:
    bool m_csv;
    std::vector<std::vector<std::string>> m_rows;
};

std::string DefaultFile()
{
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "history.sqlite";
    std::string exe(path, size_t(length));
    return exe.substr(0, exe.rfind('/') + 1) + "history.sqlite";
}

int Fail(const std::string& file, const history::Store& store, history::Outcome outcome)
{
    const char* why = outcome == history::Outcome::Busy      ? "it is locked by another program"
                      : outcome == history::Outcome::Damaged ? "it is damaged or no database"
                      : outcome == history::Outcome::Newer   ? "it was written by a newer bridge"
                                                             : "it cannot be read";
    std::fprintf(stderr, "tervian-history: %s: %s (%s)\n", file.c_str(), why,
                 store.Error().c_str());
    return kCannotRead;
}

int BadArgument(const std::string& message)
{
    std::fprintf(stderr, "tervian-history: %s\nTry tervian-history --help.\n", message.c_str());
    return kBadArgument;
}

} // namespace

int main(int argc, char* argv[])
{
    const option options[] = {
        {"from", required_argument, nullptr, 'f'}, {"to", required_argument, nullptr, 't'},
        {"kind", required_argument, nullptr, 'k'}, {"summary", no_argument, nullptr, 's'},
        {"csv", no_argument, nullptr, 'c'},        {"file", required_argument, nullptr, 'F'},
        {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0}};
    std::string from, to, kind, file = DefaultFile();
    bool csv = false, summary = false;
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        switch (option) {
        case 'f':
            from = optarg;
            break;
        case 't':
            to = optarg;
            break;
        case 'k':
            kind = optarg;
            break;
        case 's':
            summary = true;
            break;
        case 'c':
            csv = true;
            break;
        case 'F':
            file = optarg;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        default:
            return BadArgument(std::string("unknown option or missing value: ") + argv[optind - 1]);
        }
    }
    if (optind < argc)
        return BadArgument(std::string("unexpected argument: ") + argv[optind]);
    if (!kind.empty() && (!history::IsKind(kind) || kind == "summary"))
        return BadArgument("--kind is replies, links, wishes, faults or stream, not " + kind);
    if (summary && !kind.empty())
        return BadArgument("--summary and --kind do not go together");
    const int64_t toMs = to.empty() ? int64_t(std::time(nullptr) + 1) * 1000 : ParseTime(to);
    if (toMs < 0)
        return BadArgument("--to " + to + " is no time such as \"2026-03-14 03:12\"");
    const int64_t fromMs = from.empty() ? toMs - 3600LL * 1000 : ParseTime(from);
    if (fromMs < 0)
        return BadArgument("--from " + from + " is no time such as \"2026-03-14 03:12\"");

    if (::access(file.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "tervian-history: %s: %s\n", file.c_str(), std::strerror(errno));
        return kCannotRead;
    }
    history::Store store;
    if (const history::Outcome opened = store.OpenForReading(file);
        opened != history::Outcome::Done)
        return Fail(file, store, opened);
    std::vector<std::string> kinds = {"replies", "links", "wishes", "faults", "stream"};
    if (summary || !kind.empty())
        kinds = {summary ? std::string("summary") : kind};
    Printer printer(csv);
    for (size_t i = 0; i < kinds.size(); ++i) {
        if (kinds.size() > 1 && i > 0)
            std::putchar('\n');
        if (kinds.size() > 1 && !csv)
            std::puts(kinds[i].c_str());
        const history::Outcome looked =
            store.Select(kinds[i], fromMs, toMs, [&](const auto& row) { printer.Row(row); });
        printer.Finish();
        if (looked != history::Outcome::Done)
            return Fail(file, store, looked);
    }
    return 0;
}
