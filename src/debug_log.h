#ifndef DEBUG_LOG_H
#define DEBUG_LOG_H

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTextStream>

// The debug log file, kept so that it can run for months: the previous run's log and each full
// file are kept as one older file, so at most about twice the bound is on disk, and an entry
// that a retry loop writes again and again is written once and then counted. The caller
// serialises every call; the caller's clock is passed in, so the file never reads one itself.
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
    // maxBytes 0 leaves the file unbounded; times prefixes every line with the local time.
    void Configure(qint64 maxBytes, bool times);

    // entry is one or more whole lines, each ending in "\n".
    void Write(const QString& entry, const QDateTime& now);
    // Writes a repeat count that has waited a minute, then the buffered text.
    void Flush(const QDateTime& now);
    void Close(const QDateTime& now);

private:
    void WriteRepeatCount(const QDateTime& now);
    void WriteLine(const QString& text, const QDateTime& now);
    void StartAfresh();

    QFile m_file;
    QTextStream m_stream{&m_file};
    QString m_oldPath;
    qint64 m_maxBytes = 0;
    bool m_times = false;
    qint64 m_bytes = 0;
    QString m_lastEntry;
    int m_repeats = 0;
    QDateTime m_lastWritten;
};

// A file the bridge creates in a setgid folder (the installed bin/) belongs to the folder's
// group; this makes it the group's to write too, so that a run as root never leaves the
// operators a settings file or log they cannot write. Anywhere else it changes nothing.
void ShareWithFolderGroup(const QString& path);

#endif // DEBUG_LOG_H
