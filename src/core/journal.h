// Lines on stderr that the journal files by severity.
#ifndef JOURNAL_H
#define JOURNAL_H

#include <QString>

#include <cstdio>

namespace journal
{

// The syslog priorities that journald reads from a "<N>" at the start of a line.
enum class Priority { Error = 3, Warning = 4, Info = 6 };

// One line, "tervian-bridge: " and text after the priority.
inline void Print(Priority priority, const QString& text)
{
    std::fprintf(stderr, "<%d>tervian-bridge: %s\n", int(priority), qPrintable(text));
}

} // namespace journal

#endif // JOURNAL_H
