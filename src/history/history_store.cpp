#include "history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <map>

namespace history
{

const char* const kRequestKinds[8] = {"unrecognised",     "status",      "joint_id",
                                      "joint_data",       "laser_on",    "laser_off",
                                      "laser_on_measure", "set_joint_id"};

namespace
{

constexpr int64_t kHourMs = 3600LL * 1000;
const char* const kValueNames[kValueCount] = {"y", "z", "gap", "z_diff", "area"};

std::string HourColumns(const char* type)
{
    std::string columns;
    for (const char* kind : kRequestKinds)
        columns += std::string(", ") + kind + " " + type;
    return columns + ", recognised " + type + ", faults " + type + ", link_drops " + type;
}

std::string StreamColumns()
{
    std::string columns;
    for (const char* name : kValueNames)
        columns += std::string(", ") + name + "_min REAL, " + name + "_max REAL";
    return columns;
}

std::string KindRows()
{
    std::string rows;
    for (int code = 0; code < 8; ++code)
        rows += (code ? ",(" : "(") + std::to_string(code) + ",'" + kRequestKinds[code] + "')";
    return rows;
}

// The first schema: times in milliseconds since the epoch; reply values in hundredths of a
// millimetre, as the robot decodes them; one stream row a second and one summary row an hour.
std::string FirstSchema()
{
    std::string sql = "CREATE TABLE request_kinds(code INTEGER PRIMARY KEY, name TEXT NOT NULL);";
    sql += "INSERT INTO request_kinds VALUES " + KindRows() + ";";
    sql += "CREATE TABLE replies(at_ms INTEGER NOT NULL, kind INTEGER NOT NULL, result INTEGER,"
           " y INTEGER, z INTEGER, gap INTEGER, z_diff INTEGER, area INTEGER,"
           " project_asked INTEGER, project_loaded INTEGER, answer_us INTEGER, told BLOB);"
           "CREATE INDEX replies_at ON replies(at_ms);"
           "CREATE TABLE links(at_ms INTEGER NOT NULL, link TEXT NOT NULL, up INTEGER NOT NULL);"
           "CREATE INDEX links_at ON links(at_ms);"
           "CREATE TABLE wishes(at_ms INTEGER NOT NULL, origin TEXT NOT NULL, what TEXT NOT NULL,"
           " value INTEGER NOT NULL);"
           "CREATE INDEX wishes_at ON wishes(at_ms);"
           "CREATE TABLE faults(at_ms INTEGER NOT NULL, kind TEXT NOT NULL, text TEXT NOT NULL);"
           "CREATE INDEX faults_at ON faults(at_ms);";
    sql += "CREATE TABLE stream(at_ms INTEGER PRIMARY KEY, records INTEGER NOT NULL,"
           " unrecognised INTEGER NOT NULL" +
           StreamColumns() + ");";
    return sql + "CREATE TABLE hours(at_ms INTEGER PRIMARY KEY" +
           HourColumns("INTEGER NOT NULL DEFAULT 0") + ");";
}

// kMigrations[n] takes a file from schema n to n + 1, in one transaction with the new version.
std::string (*const kMigrations[kSchemaVersion])() = {FirstSchema};

// Tables in the order that trimming for size empties them: the bulk first.
const char* const kTables[] = {"replies", "stream", "faults", "links", "wishes", "hours"};

// A prepared statement that finalises itself.
class Statement
{
public:
    Statement(sqlite3* db, const std::string& sql)
    {
        m_code = sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &m_statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int Prepared() const { return m_code; }
    Statement& Bind(int index, int64_t value)
    {
        sqlite3_bind_int64(m_statement, index, value);
        return *this;
    }
    Statement& Bind(int index, double value)
    {
        sqlite3_bind_double(m_statement, index, value);
        return *this;
    }
    Statement& Bind(int index, const std::string& text)
    {
        sqlite3_bind_text(m_statement, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int index, const std::string& bytes)
    {
        sqlite3_bind_blob(m_statement, index, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindNull(int index)
    {
        sqlite3_bind_null(m_statement, index);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() { return sqlite3_step(m_statement); }
    // Runs it to its end and makes it ready for the next values.
    int Run()
    {
        const int code = sqlite3_step(m_statement);
        sqlite3_reset(m_statement);
        return code == SQLITE_ROW ? SQLITE_DONE : code;
    }
    int64_t Int(int column) { return sqlite3_column_int64(m_statement, column); }
    double Real(int column) { return sqlite3_column_double(m_statement, column); }
    std::string Text(int column)
    {
        const unsigned char* text = sqlite3_column_text(m_statement, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }
    int Columns() { return sqlite3_column_count(m_statement); }
    const char* Name(int column) { return sqlite3_column_name(m_statement, column); }

private:
    sqlite3_stmt* m_statement = nullptr;
    int m_code = SQLITE_OK;
};

// A local time with milliseconds, as SQL.
const char* const kTime = "strftime('%Y-%m-%d %H:%M:%S', at_ms / 1000, 'unixepoch', 'localtime')"
                          " || printf('.%03d', at_ms % 1000) AS time";

std::string Hundredths(const char* column)
{
    return std::string("CASE WHEN ") + column + " IS NULL THEN '' ELSE printf('%.2f', " + column +
           " / 100.0) END AS " + column;
}

std::string SelectSql(const std::string& kind)
{
    const std::string range = " WHERE at_ms >= ?1 AND at_ms < ?2 ORDER BY at_ms";
    if (kind == "replies") {
        std::string sql = std::string("SELECT ") + kTime +
                          ", name AS request, CASE WHEN result IS NULL THEN '' ELSE "
                          "printf('%02X', result) END AS result";
        for (const char* value : kValueNames)
            sql += ", " + Hundredths(value);
        return sql +
               ", project_asked, project_loaded, answer_us, lower(hex(told)) AS told FROM replies "
               "JOIN request_kinds ON code = kind" +
               range;
    }
    if (kind == "links")
        return std::string("SELECT ") + kTime +
               ", link, CASE up WHEN 1 THEN 'up' ELSE 'down' END AS state FROM links" + range;
    if (kind == "wishes")
        return std::string("SELECT ") + kTime +
               ", origin, what, CASE WHEN what = 'laser' THEN CASE value WHEN 1 THEN 'on' ELSE "
               "'off' END ELSE value END AS value FROM wishes" +
               range;
    if (kind == "faults")
        return std::string("SELECT ") + kTime + ", kind, text FROM faults" + range;
    if (kind == "stream") {
        std::string sql = std::string("SELECT ") + kTime + ", records, unrecognised";
        for (const char* value : kValueNames)
            for (const char* end : {"_min", "_max"})
                sql += std::string(", printf('%.3f', ") + value + end + ") AS " + value + end;
        return sql + " FROM stream" + range;
    }
    std::string sql = "SELECT strftime('%Y-%m-%d %H:00', at_ms / 1000, 'unixepoch', 'localtime')"
                      " AS hour";
    for (const char* name : kRequestKinds)
        sql += std::string(", ") + name;
    return sql + ", CASE WHEN joint_data = 0 THEN '' ELSE printf('%.1f%%', 100.0 * recognised / "
                 "joint_data) END AS recognised, faults, link_drops FROM hours"
                 " WHERE at_ms >= ?1 / 3600000 * 3600000 AND at_ms < ?2 ORDER BY at_ms";
}

} // namespace

bool IsKind(const std::string& kind)
{
    for (const char* known : {"replies", "links", "wishes", "faults", "stream", "summary"})
        if (kind == known)
            return true;
    return false;
}

Outcome Store::Fail(int code)
{
    m_error = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
    switch (code & 0xff) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
        return Outcome::CannotWrite;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return Outcome::Damaged;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return Outcome::Busy;
    default:
        return Outcome::Failed;
    }
}

Outcome Store::Execute(const char* sql)
{
    const int code = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    return code == SQLITE_OK ? Outcome::Done : Fail(code);
}

Outcome Store::ExecuteAll(std::initializer_list<const char*> statements)
{
    for (const char* sql : statements)
        if (const Outcome outcome = Execute(sql); outcome != Outcome::Done)
            return outcome;
    return Outcome::Done;
}

Outcome Store::Open(const std::string& path, int flags)
{
    Close();
    const int code = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (code != SQLITE_OK)
        return Fail(code);
    sqlite3_extended_result_codes(m_db, 1);
    Statement version(m_db, "PRAGMA user_version");
    if (version.Prepared() != SQLITE_OK)
        return Fail(version.Prepared());
    const int step = version.Step();
    if (step != SQLITE_ROW)
        return Fail(step);
    m_foundVersion = int(version.Int(0));
    if (m_foundVersion > kSchemaVersion) {
        m_error = "schema " + std::to_string(m_foundVersion) + " is newer than " +
                  std::to_string(kSchemaVersion);
        return Outcome::Newer;
    }
    return Outcome::Done;
}

// A process killed while writing loses only the transaction under way: WAL with normal syncs
// keeps every committed batch (a power cut may lose the last ones, never the file).
Outcome Store::OpenForWriting(const std::string& path)
{
    Outcome opened = Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (opened != Outcome::Done)
        return opened;
    sqlite3_busy_timeout(m_db, 200);
    // The installed program's folder takes no new files, only the ones the package made: the
    // WAL and its index are kept when the file closes rather than deleted and made again.
    int persist = 1;
    sqlite3_file_control(m_db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    // Closing leaves the log to the next checkpoint rather than copying and syncing it then, so
    // the bridge stops at once; the next start reads it as it is.
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // A file not yet in WAL mode (a new one) is switched over with the rollback journal in
    // memory, as the folder may take no journal file.
    bool wal = false;
    {
        Statement mode(m_db, "PRAGMA journal_mode");
        if (mode.Step() != SQLITE_ROW)
            return Fail(sqlite3_errcode(m_db));
        wal = mode.Text(0) == "wal";
    }
    if (!wal && (opened = ExecuteAll({"PRAGMA journal_mode=MEMORY", "PRAGMA journal_mode=WAL"})) !=
                    Outcome::Done)
        return opened;
    opened = ExecuteAll({"PRAGMA synchronous=NORMAL", "PRAGMA journal_size_limit=8388608"});
    return opened == Outcome::Done ? Migrate() : opened;
}

Outcome Store::OpenForReading(const std::string& path)
{
    const Outcome opened = Open(path, SQLITE_OPEN_READONLY);
    if (opened == Outcome::Done && m_foundVersion == 0) {
        m_error = "it holds no history";
        return Outcome::Failed;
    }
    sqlite3_busy_timeout(m_db, 2000);
    return opened;
}

Outcome Store::Migrate()
{
    if (m_foundVersion == kSchemaVersion)
        return Outcome::Done;
    Outcome outcome = Execute("BEGIN IMMEDIATE");
    for (int version = m_foundVersion; version < kSchemaVersion && outcome == Outcome::Done;
         ++version)
        outcome = Execute(kMigrations[version]().c_str());
    if (outcome == Outcome::Done)
        outcome = Execute(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    if (outcome == Outcome::Done)
        outcome = Execute("COMMIT");
    if (outcome != Outcome::Done)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return outcome;
}

void Store::Close()
{
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

Outcome Store::Write(const Batch& batch)
{
    if (batch.Empty())
        return Outcome::Done;
    Outcome outcome = Execute("BEGIN IMMEDIATE");
    if (outcome != Outcome::Done)
        return outcome;
    outcome = WriteRows(batch);
    if (outcome == Outcome::Done)
        outcome = Execute("COMMIT");
    if (outcome != Outcome::Done) {
        const std::string error = m_error;
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_error = error;
    }
    return outcome;
}

Outcome Store::WriteRows(const Batch& batch)
{
    struct Hour {
        int64_t kinds[8] = {};
        int64_t recognised = 0, faults = 0, linkDrops = 0;
    };
    std::map<int64_t, Hour> hours;
    const auto hourOf = [&](int64_t atMs) -> Hour& { return hours[atMs / kHourMs * kHourMs]; };

    Statement reply(m_db, "INSERT INTO replies VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
                          "?11, ?12)");
    for (const Reply& row : batch.replies) {
        reply.Bind(1, row.atMs).Bind(2, int64_t(row.kind));
        row.result >= 0 ? reply.Bind(3, int64_t(row.result)) : reply.BindNull(3);
        for (int i = 0; i < kValueCount; ++i)
            row.hasValues ? reply.Bind(4 + i, int64_t(row.hundredths[size_t(i)]))
                          : reply.BindNull(4 + i);
        reply.Bind(9, int64_t(row.projectAsked)).Bind(10, int64_t(row.projectLoaded));
        reply.Bind(11, row.answerMicros);
        row.told.empty() ? reply.BindNull(12) : reply.BindBlob(12, row.told);
        if (const int code = reply.Run(); code != SQLITE_DONE)
            return Fail(code);
        Hour& hour = hourOf(row.atMs);
        ++hour.kinds[row.kind & 7];
        hour.recognised += row.hasValues && row.result == 0;
    }
    Statement link(m_db, "INSERT INTO links VALUES(?1, ?2, ?3)");
    for (const LinkChange& row : batch.links) {
        if (const int code =
                link.Bind(1, row.atMs).Bind(2, row.link).Bind(3, int64_t(row.up)).Run();
            code != SQLITE_DONE)
            return Fail(code);
        hourOf(row.atMs).linkDrops += !row.up;
    }
    Statement wish(m_db, "INSERT INTO wishes VALUES(?1, ?2, ?3, ?4)");
    for (const Wish& row : batch.wishes)
        if (const int code = wish.Bind(1, row.atMs)
                                 .Bind(2, row.origin)
                                 .Bind(3, row.what)
                                 .Bind(4, int64_t(row.value))
                                 .Run();
            code != SQLITE_DONE)
            return Fail(code);
    Statement fault(m_db, "INSERT INTO faults VALUES(?1, ?2, ?3)");
    for (const Fault& row : batch.faults) {
        if (const int code = fault.Bind(1, row.atMs).Bind(2, row.kind).Bind(3, row.text).Run();
            code != SQLITE_DONE)
            return Fail(code);
        ++hourOf(row.atMs).faults;
    }
    // A second seen again (the wall clock set back) is merged into the row it already has.
    std::string streamSql = "INSERT INTO stream VALUES(?1, ?2, ?3";
    std::string merge = " ON CONFLICT(at_ms) DO UPDATE SET records = records + excluded.records, "
                        "unrecognised = unrecognised + excluded.unrecognised";
    for (int i = 0; i < kValueCount; ++i) {
        streamSql += ", ?" + std::to_string(4 + 2 * i) + ", ?" + std::to_string(5 + 2 * i);
        const std::string name = kValueNames[i];
        merge += ", " + name + "_min = min(" + name + "_min, excluded." + name + "_min), " + name +
                 "_max = max(" + name + "_max, excluded." + name + "_max)";
    }
    Statement second(m_db, streamSql + ")" + merge);
    for (const StreamSecond& row : batch.stream) {
        second.Bind(1, row.atMs).Bind(2, int64_t(row.records)).Bind(3, int64_t(row.unrecognised));
        for (int i = 0; i < kValueCount; ++i)
            second.Bind(4 + 2 * i, row.min[size_t(i)]).Bind(5 + 2 * i, row.max[size_t(i)]);
        if (const int code = second.Run(); code != SQLITE_DONE)
            return Fail(code);
    }
    std::string hourSql = "INSERT INTO hours VALUES(?1";
    std::string sum = " ON CONFLICT(at_ms) DO UPDATE SET ";
    int parameter = 2;
    std::vector<std::string> counted(std::begin(kRequestKinds), std::end(kRequestKinds));
    counted.insert(counted.end(), {"recognised", "faults", "link_drops"});
    for (const std::string& name : counted) {
        hourSql += ", ?" + std::to_string(parameter++);
        sum += (parameter > 3 ? ", " : "") + name + " = " + name + " + excluded." + name;
    }
    Statement hour(m_db, hourSql + ")" + sum);
    for (const auto& [atMs, counts] : hours) {
        hour.Bind(1, atMs);
        for (int i = 0; i < 8; ++i)
            hour.Bind(2 + i, counts.kinds[i]);
        hour.Bind(10, counts.recognised).Bind(11, counts.faults).Bind(12, counts.linkDrops);
        if (const int code = hour.Run(); code != SQLITE_DONE)
            return Fail(code);
    }
    return Outcome::Done;
}

void Store::Checkpoint()
{
    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

int64_t Store::UsedBytes()
{
    int64_t pragmas[3] = {};
    const char* const names[3] = {"PRAGMA page_count", "PRAGMA freelist_count", "PRAGMA page_size"};
    for (int i = 0; i < 3; ++i) {
        Statement pragma(m_db, names[i]);
        if (pragma.Step() == SQLITE_ROW)
            pragmas[i] = pragma.Int(0);
    }
    return (pragmas[0] - pragmas[1]) * pragmas[2];
}

bool Store::TrimStep(int64_t beforeMs, int64_t maxBytes, int rowsPerStep)
{
    const auto deleteOldest = [&](const std::string& table, const std::string& condition) {
        Statement trim(m_db, "DELETE FROM " + table + " WHERE rowid IN (SELECT rowid FROM " +
                                 table + condition + " ORDER BY at_ms LIMIT ?2)");
        trim.Bind(1, beforeMs).Bind(2, int64_t(rowsPerStep)).Run();
        return sqlite3_changes(m_db);
    };
    if (Execute("BEGIN IMMEDIATE") != Outcome::Done)
        return false;
    bool more = false;
    for (const char* table : kTables)
        more = deleteOldest(table, " WHERE at_ms < ?1") == rowsPerStep || more;
    if (!more && maxBytes > 0 && UsedBytes() > maxBytes)
        for (const char* table : kTables)
            if (deleteOldest(table, " WHERE ?1 = ?1") > 0) {
                more = true;
                break;
            }
    if (Execute("COMMIT") != Outcome::Done) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return more;
}

Outcome Store::Select(const std::string& kind, int64_t fromMs, int64_t toMs,
                      const std::function<void(const std::vector<std::string>&)>& row)
{
    Statement select(m_db, SelectSql(kind));
    if (select.Prepared() != SQLITE_OK)
        return Fail(select.Prepared());
    select.Bind(1, fromMs).Bind(2, toMs);
    std::vector<std::string> cells(size_t(select.Columns()));
    for (size_t i = 0; i < cells.size(); ++i)
        cells[i] = select.Name(int(i));
    row(cells);
    int code;
    while ((code = select.Step()) == SQLITE_ROW) {
        for (size_t i = 0; i < cells.size(); ++i)
            cells[i] = select.Text(int(i));
        row(cells);
    }
    return code == SQLITE_DONE ? Outcome::Done : Fail(code);
}

std::vector<Column> Store::Columns(int64_t fromMs, int64_t rangeMs, int count)
{
    std::vector<Column> columns(size_t(std::max(count, 0)));
    if (columns.empty() || rangeMs <= 0 || m_db == nullptr)
        return columns;
    const std::string column = "(at_ms - ?1) * ?3 / ?2 AS c";
    const std::string range = " WHERE at_ms >= ?1 AND at_ms < ?1 + ?2";
    std::string sql = "SELECT " + column + ", sum(records), sum(unrecognised)";
    for (const char* name : kValueNames)
        sql += std::string(", min(") + name + "_min), max(" + name + "_max)";
    Statement stream(m_db, sql + " FROM stream" + range + " GROUP BY c");
    stream.Bind(1, fromMs).Bind(2, rangeMs).Bind(3, int64_t(count));
    while (stream.Step() == SQLITE_ROW) {
        Column& into = columns[size_t(stream.Int(0))];
        into.records = int(stream.Int(1));
        into.unrecognised = int(stream.Int(2));
        for (int i = 0; i < kValueCount; ++i) {
            into.min[size_t(i)] = stream.Real(3 + 2 * i);
            into.max[size_t(i)] = stream.Real(4 + 2 * i);
        }
    }
    Statement told(m_db, "SELECT " + column +
                             ", max(result = 0), max(result = 12), max(result NOT IN (0, 12))"
                             " FROM replies" +
                             range + " AND kind = 3 GROUP BY c");
    told.Bind(1, fromMs).Bind(2, rangeMs).Bind(3, int64_t(count));
    while (told.Step() == SQLITE_ROW) {
        Column& into = columns[size_t(told.Int(0))];
        into.recognisedTold = told.Int(1) != 0;
        into.notRecognisedTold = told.Int(2) != 0;
        into.notReadyTold = told.Int(3) != 0;
    }
    return columns;
}

} // namespace history
