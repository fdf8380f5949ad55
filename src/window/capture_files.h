// Saving the recorded traffic of the three links as a pcapng file.
#ifndef CAPTURE_FILES_H
#define CAPTURE_FILES_H

#include "capture.h"
#include "debug_log.h"

#include <QString>

// Writes what the ring held as fileName beside the program, or in the home folder where the
// program's folder takes no new files. Returns the path, or empty on failure.
QString WriteCapture(const capture::Held& held, const QString& fileName);

struct SavedCapture {
    enum Outcome { Saved, Off, Empty, Failed } outcome;
    QString path; // when Saved
};

// Writes the recorded traffic beside the debug log, for SIGUSR1 and the Help menu, and says so in
// the log and on stderr.
SavedCapture SaveDiagnostics(capture::Recorder& recorder, DebugLog& log);

// Writes the captures that the workers took at their faults, each kind over its own file.
void SaveFaultCaptures(capture::Recorder& recorder, DebugLog& log);

#endif // CAPTURE_FILES_H
