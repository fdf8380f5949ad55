// Traffic capture: saving the recorded traffic of the three links as a pcapng file.
#include "mainwindow.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMessageBox>

#include <cstdio>
#include <fstream>
#include <vector>

// Written to a new file and then moved over the name, so a reader never sees half a capture
// and a fault capture is replaced whole. Beside the debug log where the folder takes new files;
// the package's bin/ is root's (only the settings and logs are the operators'), so there the
// capture goes to the user's home folder. Returns the path, or empty on failure.
QString MainWindow::WriteCapture(const capture::Held& held, const QString& fileName)
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
MainWindow::SavedCapture MainWindow::SaveDiagnostics()
{
    if (!m_capture.Enabled()) {
        WriteLog("Capture not saved: the traffic capture is off (CaptureMinutes=0)\n");
        std::fprintf(stderr, "tervian-bridge: nothing saved: the traffic capture is off "
                             "(CaptureMinutes=0 in config.txt; set it to 10 and start the "
                             "bridge again to record)\n");
        FlushLog();
        return {SavedCapture::Off, QString()};
    }
    const capture::Held held = m_capture.Snapshot();
    if (held.chunks.empty()) {
        WriteLog("Capture not saved: no traffic recorded yet\n");
        std::fprintf(stderr, "tervian-bridge: nothing saved: no traffic recorded yet\n");
        FlushLog();
        return {SavedCapture::Empty, QString()};
    }
    const QString name =
        "capture-" + QDateTime::currentDateTime().toString("yyyy-MM-dd_HH-mm-ss") + ".pcapng";
    const QString path = WriteCapture(held, name);
    if (!path.isEmpty()) {
        WriteLog("Capture saved to ", path.toStdString(), "\n");
        std::fprintf(stderr, "tervian-bridge: diagnostics saved to %s\n", qPrintable(path));
    } else {
        WriteLog("Failed to write the capture ", name.toStdString(), "\n");
        std::fprintf(stderr, "tervian-bridge: diagnostics could not be saved as %s\n",
                     qPrintable(name));
    }
    FlushLog();
    return {path.isEmpty() ? SavedCapture::Failed : SavedCapture::Saved, path};
}

void MainWindow::on_actionSave_diagnostics_triggered()
{
    const SavedCapture saved = SaveDiagnostics();
    switch (saved.outcome) {
    case SavedCapture::Off:
        QMessageBox::information(
            this, tr("Capture off"),
            tr("The traffic capture is off (CaptureMinutes=0 in %1), so there is nothing to "
               "save. Set CaptureMinutes to the minutes to keep, for example 10, and start the "
               "bridge again.")
                .arg(QCoreApplication::applicationDirPath() + "/config.txt"));
        break;
    case SavedCapture::Empty:
        QMessageBox::information(this, tr("Nothing to save"),
                                 tr("No traffic has been recorded yet, so nothing was saved."));
        break;
    case SavedCapture::Failed:
        QMessageBox::critical(this, tr("Error"),
                              tr("The diagnostics could not be saved, neither beside the program "
                                 "in %1 nor in the home folder %2.")
                                  .arg(QCoreApplication::applicationDirPath(), QDir::homePath()));
        break;
    case SavedCapture::Saved:
        QMessageBox::information(
            this, tr("Diagnostics saved"),
            tr("The traffic of the last minutes was saved to %1. It holds every robot "
               "request and reply and all vision traffic; open it with Wireshark and the "
               "tervian.lua dissector.")
                .arg(saved.path));
        break;
    }
}

// Called at every refresh: the captures that the workers took at their faults are written here,
// off their paths, each kind over its own file.
void MainWindow::SaveFaultCapture()
{
    for (const capture::FaultCapture& fault : m_capture.TakeFaults()) {
        const QString name =
            QString("capture-last-fault-%1.pcapng").arg(capture::FaultName(fault.kind));
        const QString path = WriteCapture(fault.held, name);
        if (path.isEmpty())
            WriteLog("Failed to write the capture ", name.toStdString(), "\n");
        else
            WriteLog("Fault capture saved to ", path.toStdString(), "\n");
    }
}
