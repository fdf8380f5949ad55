// Saving the recorded traffic of the three links as a pcapng file.
#ifndef CAPTURE_FILES_H
#define CAPTURE_FILES_H

#include "capture.h"
#include "debug_log.h"

#include <QString>

#include <chrono>

// Writes what the recorder holds as fileName beside the program, or in the home folder where the
// program's folder takes no new files. Returns the path, or empty on failure.
QString WriteCapture(capture::Recorder& recorder, const QString& fileName);

// Writes capture-YYYY-MM-DD_HH-MM-SS.pcapng and says where in the log and on stderr, for SIGUSR1
// and the Help menu alike. Returns the path, or empty when it could not be written.
QString SaveDiagnostics(capture::Recorder& recorder, DebugLog& log);

// capture-last-fault.pcapng, written when a link was lost or a request rejected since the last
// look, at most once an hour, so that a flapping link cannot keep the disk busy.
class FaultCaptures
{
public:
    void SaveIfDue(capture::Recorder& recorder, DebugLog& log);

private:
    std::chrono::steady_clock::time_point m_saved = std::chrono::steady_clock::time_point::min();
};

#endif // CAPTURE_FILES_H
