#ifndef ROBOT_LOG_LINES_H
#define ROBOT_LOG_LINES_H

#include <QByteArray>
#include <QRegularExpression>

// The debug log entries of the robot thread, in order. The vision threads write to the same
// log, so robot tests compare only these.
inline QByteArray RobotLogLines(const QByteArray& log)
{
    static const QRegularExpression robotLine(
        "^(([0-9a-f]+ )+|Robot .*|m_bTervianOk=.*|m_dX=.*|bRecognitionOK .*|errno=.*"
        "|connected to the robot|Exiting the robot server|Closing Robot connection"
        "|Error in connection, trying to reconnect)$");
    QByteArray lines;
    for (const QByteArray& line : log.split('\n'))
        if (robotLine.match(QString::fromLatin1(line)).hasMatch())
            lines += line + "\n";
    return lines;
}

#endif // ROBOT_LOG_LINES_H
