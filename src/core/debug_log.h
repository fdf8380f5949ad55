#ifndef DEBUG_LOG_H
#define DEBUG_LOG_H

#include "progress.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QString>
#include <QTextStream>
#include <QVector>

#include <atomic>
#include <mutex>
#include <string>

// Bytes a peer sent, as the log writes them: printable ASCII as it is, the backslash doubled,
// tab, carriage return and line feed as \t \r \n, every other byte as \xNN (two lower-case hex
// digits). So no peer can start a line of its own in the log, send a terminal that shows it a
// control sequence, or make the file grow by more than four bytes for each byte it sent.
std::string EscapePeerBytes(const std::string& bytes);

// The debug log file, kept so that it can run for months: the previous run's log and each full
// file are kept as one older file, so at most about twice the bound is on disk, and an entry
// that retry loops write again and again is written once a minute and otherwise counted. The
// caller serialises every call; the caller's clock is passed in, so the file never reads one.
//
// Both files are kept by copying and emptying rather than by renaming: an installed bin/ is
// not the operators' to write, only the two files in it are.
class DebugLogFile
{
public:
    // Opens path for appending. A non-empty file left by an earlier run is first copied to
    // oldPath and then emptied; when it cannot be copied it is kept and appended to.
    // False when path cannot be opened.
    bool Open(const QString& path, const QString& oldPath);
    // maxBytes, counted in bytes on disk, 0 leaves the file unbounded; times prefixes every
    // line with the local time.
    void Configure(qint64 maxBytes, bool times);

    // entry is one or more whole lines, each ending in "\n", written as UTF-8. An entry already
    // written in the current minute is counted instead; the counts are written when the minute
    // ends and before the next entry that is written.
    void Write(const QString& entry, const QDateTime& now);
    // Writes the counts of a minute that has ended, then the buffered text.
    void Flush(const QDateTime& now);
    void Close(const QDateTime& now);

private:
    void EndMinuteIfDue(const QDateTime& now);
    void WriteRepeatCounts(const QDateTime& now);
    void ForgetEntries();
    void WriteLine(const QString& text, const QDateTime& now);
    void StartAfresh();

    QFile m_file;
    QString m_oldPath;
    qint64 m_maxBytes = 0;
    bool m_times = false;
    qint64 m_bytes = 0;
    // The entries written since m_minuteStarted, in order, and how often each came again since
    // its count was last written; m_counted is the sum of those counts, m_chars the length of
    // those entries together.
    QVector<QString> m_written;
    QHash<QString, int> m_repeats;
    int m_counted = 0;
    qsizetype m_chars = 0;
    QDateTime m_minuteStarted;
};

// The bridge's debug log, DebugLog.txt beside the program: one object that every thread
// writes through, one lock, so that entries of different threads never mix within a line.
// While the log is off every write costs one load.
class DebugLog
{
public:
    // The previous run's log is kept as DebugLog.old.txt, whether or not the log is on now.
    void Open(const QString& folder);
    void Configure(bool on, qint64 maxBytes, bool times);
    bool On() const { return m_on; }

    // One entry of one or more whole lines. The system's own texts are literals and numbers;
    // a std::string piece holds bytes that came from a peer or a settings file, escaped so
    // that they can never make a line of their own.
    template <typename... Pieces> void Write(const Pieces&... pieces)
    {
        if (m_on)
            WriteEntry(Compose(pieces...));
    }
    // Written and flushed at once, so the file shows it even if the bridge dies right after.
    void WriteFlushed(const QString& entry);
    void WriteEntry(const QString& entry);
    // Every worker flushes before it sleeps, so that the file is up to date while nothing
    // happens.
    void Flush();
    void Close();
    // Busy while a thread writes the file: a hung disk or a full pipe holds every thread that
    // logs next.
    const Progress& Liveness() const { return m_writing; }

    template <typename... Pieces> static QString Compose(const Pieces&... pieces)
    {
        QString entry;
        QTextStream text(&entry);
        (Append(text, pieces), ...);
        text.flush();
        return entry;
    }

private:
    template <typename Piece> static void Append(QTextStream& text, const Piece& piece)
    {
        text << piece;
    }
    static void Append(QTextStream& text, const std::string& piece)
    {
        text << QString::fromStdString(EscapePeerBytes(piece));
    }

    // Runs change on the file under the lock, busy while it does.
    template <typename Change> void WithFile(Change change)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writing.Busy();
        change(QDateTime::currentDateTime());
        m_writing.Idle();
    }

    std::atomic<bool> m_on{false};
    std::mutex m_mutex;
    DebugLogFile m_file;
    Progress m_writing{"log writer", std::chrono::seconds(3)};
};

// A file the bridge creates in a setgid folder (the installed bin/) belongs to the folder's
// group; this makes it the group's to write too, so that a run as root never leaves the
// operators a settings file or log they cannot write. Anywhere else it changes nothing.
void ShareWithFolderGroup(const QString& path);

#endif // DEBUG_LOG_H
