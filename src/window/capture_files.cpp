#include "capture_files.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <fstream>
#include <vector>

// Written to a new file and then moved over the name, so a reader never sees half a capture
// and capture-last-fault.pcapng is replaced whole. Beside the debug log where the folder takes
// new files; the package's bin/ is root's (only the settings and logs are the operators'), so
// there the capture goes to the user's home folder.
QString WriteCapture(capture::Recorder& recorder, const QString& fileName)
{
    const std::vector<capture::ChunkPtr> chunks = recorder.Snapshot();
    for (const QString& folder : {QCoreApplication::applicationDirPath(), QDir::homePath()}) {
        const QString path = folder + "/" + fileName;
        const QByteArray partial = QFile::encodeName(path + ".part");
        bool written;
        {
            std::ofstream out(partial.toStdString(), std::ios::binary);
            written = out && capture::WritePcapng(chunks, out);
        }
        if (written && std::rename(partial.constData(), QFile::encodeName(path).constData()) == 0)
            return path;
        std::remove(partial.constData());
    }
    return QString();
}

// Named with the local date and time, so that saves never overwrite each other. Also said on
// stderr, for a bridge without a screen that was sent SIGUSR1.
QString SaveDiagnostics(capture::Recorder& recorder, DebugLog& log)
{
    const QString name =
        "capture-" + QDateTime::currentDateTime().toString("yyyy-MM-dd_HH-mm-ss") + ".pcapng";
    const QString path = WriteCapture(recorder, name);
    if (!path.isEmpty()) {
        log.Write("Capture saved to ", path.toStdString(), "\n");
        std::fprintf(stderr, "tervian-bridge: diagnostics saved to %s\n", qPrintable(path));
    } else {
        log.Write("Failed to write the capture ", name.toStdString(), "\n");
        std::fprintf(stderr, "tervian-bridge: diagnostics could not be saved as %s\n",
                     qPrintable(name));
    }
    log.Flush();
    return path;
}

void FaultCaptures::SaveIfDue(capture::Recorder& recorder, DebugLog& log)
{
    if (!recorder.TakeFault() || !recorder.Enabled())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_saved != std::chrono::steady_clock::time_point::min() &&
        now - m_saved < std::chrono::hours(1))
        return;
    m_saved = now;
    // Only a failure is logged: a line from this thread would land amid the workers' account of
    // the very fault.
    if (WriteCapture(recorder, "capture-last-fault.pcapng").isEmpty())
        log.Write("Failed to write the capture capture-last-fault.pcapng\n");
}
