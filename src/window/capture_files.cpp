#include "capture_files.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <fstream>

// Written to a new file and then moved over the name, so a reader never sees half a capture
// and a fault capture is replaced whole. Beside the debug log where the folder takes
// new files; the package's bin/ is root's (only the settings and logs are the operators'), so
// there the capture goes to the user's home folder.
QString WriteCapture(const capture::Held& held, const QString& fileName)
{
    const int64_t clockOffsetNs = capture::Recorder::WallClockOffsetNs();
    for (const QString& folder : {QCoreApplication::applicationDirPath(), QDir::homePath()}) {
        const QString path = folder + "/" + fileName;
        const QByteArray partial = QFile::encodeName(path + ".part");
        bool written;
        {
            std::ofstream out(partial.toStdString(), std::ios::binary);
            written = out && capture::WritePcapng(held.chunks, clockOffsetNs, out);
        }
        if (written && std::rename(partial.constData(), QFile::encodeName(path).constData()) == 0)
            return path;
        std::remove(partial.constData());
    }
    return QString();
}

// Named with the local date and time, so that saves never overwrite each other. Also said on
// stderr, for a bridge without a screen that was sent SIGUSR1. Nothing is written when there is
// nothing to save: an empty file would pass for a capture of a quiet cell.
SavedCapture SaveDiagnostics(capture::Recorder& recorder, DebugLog& log)
{
    if (!recorder.Enabled()) {
        log.Write("Capture not saved: the traffic capture is off (CaptureMinutes=0)\n");
        std::fprintf(stderr, "tervian-bridge: nothing saved: the traffic capture is off "
                             "(CaptureMinutes=0 in config.txt; set it to 10 and start the "
                             "bridge again to record)\n");
        log.Flush();
        return {SavedCapture::Off, QString()};
    }
    const capture::Held held = recorder.Snapshot();
    if (held.chunks.empty()) {
        log.Write("Capture not saved: no traffic recorded yet\n");
        std::fprintf(stderr, "tervian-bridge: nothing saved: no traffic recorded yet\n");
        log.Flush();
        return {SavedCapture::Empty, QString()};
    }
    const QString name =
        "capture-" + QDateTime::currentDateTime().toString("yyyy-MM-dd_HH-mm-ss") + ".pcapng";
    const QString path = WriteCapture(held, name);
    if (!path.isEmpty()) {
        log.Write("Capture saved to ", path.toStdString(), "\n");
        std::fprintf(stderr, "tervian-bridge: diagnostics saved to %s\n", qPrintable(path));
    } else {
        log.Write("Failed to write the capture ", name.toStdString(), "\n");
        std::fprintf(stderr, "tervian-bridge: diagnostics could not be saved as %s\n",
                     qPrintable(name));
    }
    log.Flush();
    return {path.isEmpty() ? SavedCapture::Failed : SavedCapture::Saved, path};
}

// Off the workers' paths, which only took them.
void SaveFaultCaptures(capture::Recorder& recorder, DebugLog& log)
{
    for (const capture::FaultCapture& fault : recorder.TakeFaults()) {
        const QString name =
            QString("capture-last-fault-%1.pcapng").arg(capture::FaultName(fault.kind));
        const QString path = WriteCapture(fault.held, name);
        if (path.isEmpty())
            log.Write("Failed to write the capture ", name.toStdString(), "\n");
        else
            log.Write("Fault capture saved to ", path.toStdString(), "\n");
    }
}
