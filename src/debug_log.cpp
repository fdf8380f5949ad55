#include "debug_log.h"

#include <QFileInfo>

#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr qint64 kRepeatCountEveryMs = 60 * 1000;

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
    if (entry == m_lastEntry) {
        ++m_repeats;
        if (m_lastWritten.msecsTo(now) >= kRepeatCountEveryMs)
            WriteRepeatCount(now);
        return;
    }
    WriteRepeatCount(now);
    WriteLine(entry, now);
    m_lastEntry = entry;
}

void DebugLogFile::Flush(const QDateTime& now)
{
    if (m_repeats > 0 && m_lastWritten.msecsTo(now) >= kRepeatCountEveryMs)
        WriteRepeatCount(now);
    m_stream.flush();
}

void DebugLogFile::Close(const QDateTime& now)
{
    WriteRepeatCount(now);
    m_stream.flush();
    m_file.close();
    m_lastEntry.clear();
}

void DebugLogFile::WriteRepeatCount(const QDateTime& now)
{
    if (m_repeats == 0)
        return;
    WriteLine("last line repeated " + QString::number(m_repeats) + " times\n", now);
    m_repeats = 0;
}

void DebugLogFile::WriteLine(const QString& text, const QDateTime& now)
{
    m_lastWritten = now;
    if (!m_file.isOpen())
        return;
    const QString line = m_times ? Stamped(text, now) : text;
    if (m_maxBytes > 0 && m_bytes > 0 && m_bytes + line.size() > m_maxBytes)
        StartAfresh();
    m_stream << line;
    m_bytes += line.size();
}

// The bound holds even when the full file cannot be kept.
void DebugLogFile::StartAfresh()
{
    m_stream.flush();
    CopyInto(m_file, m_oldPath);
    m_file.resize(0);
    m_bytes = 0;
}
