// The cell's history in an SQLite file: its schema and migrations, the writes of one batch,
// the trimming of old rows, and the look-ups of the tool and the trend window. One object is one
// connection, used by one thread at a time; no threads and no Qt here.
#ifndef HISTORY_STORE_H
#define HISTORY_STORE_H

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

struct sqlite3;

namespace history
{

// 1: the first schema. A migration from version n to n + 1 goes into kMigrations in the .cpp.
constexpr int kSchemaVersion = 1;
constexpr int kValueCount = 5;

// The robot's requests in the order of robot::Request; their codes are stored in replies.kind
// and named in the table request_kinds.
extern const char* const kRequestKinds[8];

struct Reply {
    int64_t atMs = 0;
    int kind = 0;
    int result = -1;        // byte 1 of the reply (the result code of joint data); -1: none
    bool hasValues = false; // joint data: the five values in hundredths, as the robot decodes them
    std::array<int16_t, kValueCount> hundredths{};
    std::string told; // the reply's bytes, for every reply but joint data, which the values carry
    int projectAsked = -1;
    int projectLoaded = 0;
    int64_t answerMicros = 0;
};
struct LinkChange {
    int64_t atMs = 0;
    std::string link; // robot, command, stream
    bool up = false;
};
struct Wish {
    int64_t atMs = 0;
    std::string origin; // robot, operator
    std::string what;   // laser, project
    int value = 0;
};
struct Fault {
    int64_t atMs = 0;
    std::string kind;
    std::string text;
};
// One second of the stream.
struct StreamSecond {
    int64_t atMs = 0; // the second's start
    int records = 0;
    int unrecognised = 0;
    std::array<double, kValueCount> min{};
    std::array<double, kValueCount> max{};
};

struct Batch {
    std::vector<Reply> replies;
    std::vector<LinkChange> links;
    std::vector<Wish> wishes;
    std::vector<Fault> faults;
    std::vector<StreamSecond> stream;
    bool Empty() const
    {
        return replies.empty() && links.empty() && wishes.empty() && faults.empty() &&
               stream.empty();
    }
};

// A stretch of the trend window's time axis, as the history holds it.
struct Column {
    int records = 0;
    int unrecognised = 0;
    std::array<double, kValueCount> min{};
    std::array<double, kValueCount> max{};
    bool recognisedTold = false, notRecognisedTold = false, notReadyTold = false;
};

enum class Outcome {
    Done,
    CannotWrite, // the disk is full or refuses the write: nothing of the batch was kept
    Damaged,     // the file is no database or a damaged one
    Newer,       // written by a newer version: left alone
    Busy,        // another program holds it locked
    Failed,      // any other error (the file cannot be opened, ...)
};

class Store
{
public:
    Store() = default;
    ~Store() { Close(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // For writing: creates the file or brings its schema up to date, in WAL mode.
    Outcome OpenForWriting(const std::string& path);
    // For looking up: never creates or changes the file.
    Outcome OpenForReading(const std::string& path);
    void Close();
    // The error of the last failed step, in SQLite's words.
    std::string Error() const { return m_error; }
    int FoundVersion() const { return m_foundVersion; }

    // The whole batch in one transaction, or nothing of it.
    Outcome Write(const Batch& batch);
    // One small step of trimming: rows older than beforeMs, then while the rows take more than
    // maxBytes, the oldest replies and stream seconds (the bulk; the hourly summary and the rare
    // rows stay for their days). True while there is more to trim.
    bool TrimStep(int64_t beforeMs, int64_t maxBytes, int rowsPerStep = 2000);
    // Copies the log into the file and syncs both, without waiting for readers.
    void Checkpoint();
    // The bytes that the rows take, without free pages.
    int64_t UsedBytes();

    // Look-ups over [fromMs, toMs): a header and text cells per row, times in local time.
    // kind is replies, links, wishes, faults, stream or summary (one row an hour).
    Outcome Select(const std::string& kind, int64_t fromMs, int64_t toMs,
                   const std::function<void(const std::vector<std::string>&)>& row);
    // The trend window's columns: [fromMs, fromMs + rangeMs) cut into count.
    std::vector<Column> Columns(int64_t fromMs, int64_t rangeMs, int count);

private:
    Outcome Open(const std::string& path, int flags);
    Outcome Migrate();
    Outcome Execute(const char* sql);
    Outcome ExecuteAll(std::initializer_list<const char*> statements);
    Outcome Fail(int code);
    Outcome WriteRows(const Batch& batch);

    sqlite3* m_db = nullptr;
    std::string m_error;
    int m_foundVersion = 0;
};

bool IsKind(const std::string& kind);

} // namespace history

#endif // HISTORY_STORE_H
