#include "debug_log.h"

#include <QDebug>
#include <QFileInfo>

#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr qint64 kRepeatCountEveryMs = 60 * 1000;
// A minute with more different entries than this ends early, so that entries that never repeat
// (measured values) cannot make the table of the minute grow without bound.
constexpr int kMaxEntriesPerMinute = 256;
// The same for the text the table holds, so that large entries (a peer's 64 KiB element escaped
// to four characters a byte) cannot fill the memory either. An entry alone above it is still
// counted against itself.
constexpr qsizetype kMaxCharsPerMinute = 512 * 1024;

// Copies the whole of from into the file at toPath, which keeps its owner and mode.
bool CopyInto(QFile& from, const QString& toPath)
{
    QFile to(toPath);
    const bool existed = to.exists();
    if (!to.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (!existed)
        ShareWithFolderGroup(toPath);
    const qint64 size = from.size();
    off_t offset = 0;
    while (offset < size)
        if (::sendfile(to.handle(), from.handle(), &offset, size_t(size - offset)) <= 0)
            return false;
    return true;
}

// Every line of text starts with the local time to the millisecond.
QString Stamped(const QString& text, const QDateTime& now)
{
    const QString stamp = now.toString("yyyy-MM-dd HH:mm:ss.zzz ");
    QString body = text.left(text.size() - 1);
    return stamp + body.replace('\n', "\n" + stamp) + "\n";
}

} // namespace

std::string EscapePeerBytes(const std::string& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\')
            text += "\\\\";
        else if (byte >= 0x20 && byte < 0x7f)
            text += c;
        else if (byte == '\n')
            text += "\\n";
        else if (byte == '\r')
            text += "\\r";
        else if (byte == '\t')
            text += "\\t";
        else
            text += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    }
    return text;
}

void ShareWithFolderGroup(const QString& path)
{
    struct stat folder;
    struct stat file;
    const QByteArray name = QFile::encodeName(path);
    if (::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &folder) != 0 ||
        ::stat(name.constData(), &file) != 0 || (folder.st_mode & S_ISGID) == 0)
        return;
    if (file.st_gid != folder.st_gid && ::chown(name.constData(), uid_t(-1), folder.st_gid) != 0)
        return;
    ::chmod(name.constData(), (file.st_mode & 07777) | S_IRGRP | S_IWGRP);
}

bool DebugLogFile::Open(const QString& path, const QString& oldPath)
{
    m_oldPath = oldPath;
    m_file.setFileName(path);
    const bool existed = m_file.exists();
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Append))
        return false;
    if (!existed)
        ShareWithFolderGroup(path);
    if (m_file.size() > 0 && CopyInto(m_file, m_oldPath))
        m_file.resize(0);
    m_bytes = m_file.size();
    return true;
}

void DebugLogFile::Configure(qint64 maxBytes, bool times)
{
    m_maxBytes = maxBytes;
    m_times = times;
}

void DebugLogFile::Write(const QString& entry, const QDateTime& now)
{
    EndMinuteIfDue(now);
    const auto seen = m_repeats.find(entry);
    if (seen != m_repeats.end()) {
        ++*seen;
        ++m_counted;
        return;
    }
    // The counts so far come before the new entry, so the file still reads in order.
    WriteRepeatCounts(now);
    if (m_written.size() >= kMaxEntriesPerMinute || m_chars + entry.size() > kMaxCharsPerMinute)
        ForgetEntries();
    if (m_written.isEmpty())
        m_minuteStarted = now;
    m_written.append(entry);
    m_chars += entry.size();
    m_repeats.insert(entry, 0);
    WriteLine(entry, now);
}

void DebugLogFile::Flush(const QDateTime& now)
{
    EndMinuteIfDue(now);
    m_file.flush();
}

void DebugLogFile::Close(const QDateTime& now)
{
    WriteRepeatCounts(now);
    m_file.close();
    ForgetEntries();
}

// At the end of a minute the counts are written and every entry is forgotten: its next
// occurrence is written whole again, so each minute of a retry loop shows its text.
void DebugLogFile::EndMinuteIfDue(const QDateTime& now)
{
    if (m_written.isEmpty() || m_minuteStarted.msecsTo(now) < kRepeatCountEveryMs)
        return;
    WriteRepeatCounts(now);
    ForgetEntries();
}

void DebugLogFile::ForgetEntries()
{
    m_written.clear();
    m_repeats.clear();
    m_chars = 0;
}

void DebugLogFile::WriteRepeatCounts(const QDateTime& now)
{
    if (m_counted == 0)
        return;
    m_counted = 0;
    for (const QString& entry : m_written) {
        int& count = m_repeats[entry];
        if (count == 0)
            continue;
        QString body = entry.left(entry.size() - 1);
        WriteLine("repeated " + QString::number(count) +
                      " more times: " + body.replace('\n', "\\n") + "\n",
                  now);
        count = 0;
    }
}

void DebugLogFile::WriteLine(const QString& text, const QDateTime& now)
{
    if (!m_file.isOpen())
        return;
    const QByteArray line = (m_times ? Stamped(text, now) : text).toUtf8();
    if (m_maxBytes > 0 && m_bytes > 0 && m_bytes + line.size() > m_maxBytes)
        StartAfresh();
    m_file.write(line);
    m_bytes += line.size();
}

// The bound holds even when the full file cannot be kept.
void DebugLogFile::StartAfresh()
{
    m_file.flush();
    CopyInto(m_file, m_oldPath);
    m_file.resize(0);
    m_bytes = 0;
}

void DebugLog::Open(const QString& folder)
{
    if (!m_file.Open(folder + "/DebugLog.txt", folder + "/DebugLog.old.txt"))
        qDebug() << "Error: Cannnot open the log file";
}

void DebugLog::Configure(bool on, qint64 maxBytes, bool times)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_file.Configure(maxBytes, times);
    m_on = on;
}

void DebugLog::WriteEntry(const QString& entry)
{
    WithFile([&](const QDateTime& now) { m_file.Write(entry, now); });
}

void DebugLog::WriteFlushed(const QString& entry)
{
    if (!m_on)
        return;
    WithFile([&](const QDateTime& now) {
        m_file.Write(entry, now);
        m_file.Flush(now);
    });
}

void DebugLog::Flush()
{
    if (!m_on)
        return;
    WithFile([&](const QDateTime& now) { m_file.Flush(now); });
}

void DebugLog::Close()
{
    WithFile([&](const QDateTime& now) { m_file.Close(now); });
}
