// Saving the recorded traffic of the three links as a pcapng file.
#ifndef CAPTURE_FILES_H
#define CAPTURE_FILES_H

#include "capture.h"

#include <QString>

// Writes what the ring held as fileName beside the program, or in the home folder where the
// program's folder takes no new files. Returns the path, or empty on failure.
QString WriteCapture(const capture::Held& held, const QString& fileName);

#endif // CAPTURE_FILES_H
