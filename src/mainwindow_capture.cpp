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

namespace
{

// A fault is saved at most this often, so that a flapping link cannot keep the disk busy.
constexpr auto kFaultCaptureInterval = std::chrono::hours(1);

} // namespace

// Written to a new file and then moved over the name, so a reader never sees half a capture
// and capture-last-fault.pcapng is replaced whole. Beside the debug log where the folder takes
// new files; the package's bin/ is root's (only the settings and logs are the operators'), so
// there the capture goes to the user's home folder. Returns the path, or empty on failure.
QString MainWindow::WriteCapture(const QString& fileName)
{
    const capture::Held held = m_capture.Snapshot();
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
// stderr, for a bridge without a screen that was sent SIGUSR1.
QString MainWindow::SaveDiagnostics()
{
    const QString name =
        "capture-" + QDateTime::currentDateTime().toString("yyyy-MM-dd_HH-mm-ss") + ".pcapng";
    const QString path = WriteCapture(name);
    if (!path.isEmpty()) {
        WriteLog("Capture saved to ", path.toStdString(), "\n");
        std::fprintf(stderr, "tervian-bridge: diagnostics saved to %s\n", qPrintable(path));
    } else {
        WriteLog("Failed to write the capture ", name.toStdString(), "\n");
        std::fprintf(stderr, "tervian-bridge: diagnostics could not be saved as %s\n",
                     qPrintable(name));
    }
    FlushLog();
    return path;
}

void MainWindow::on_actionSave_diagnostics_triggered()
{
    const QString path = SaveDiagnostics();
    if (path.isEmpty())
        QMessageBox::critical(this, tr("Error"),
                              tr("The diagnostics could not be saved, neither beside the program "
                                 "in %1 nor in the home folder %2.")
                                  .arg(QCoreApplication::applicationDirPath(), QDir::homePath()));
    else
        QMessageBox::information(
            this, tr("Diagnostics saved"),
            tr("The traffic of the last minutes was saved to %1. It holds every robot "
               "request and reply and all vision traffic; open it with Wireshark and the "
               "tervian.lua dissector.")
                .arg(path));
}

// Called at every refresh; a link lost or a request rejected since the last one is saved, unless
// the last such save is less than an hour old.
void MainWindow::SaveFaultCapture()
{
    if (!m_capture.TakeFault() || !m_capture.Enabled())
        return;
    const SteadyClock::time_point now = SteadyClock::now();
    if (m_tFaultSaved != SteadyClock::time_point::min() &&
        now - m_tFaultSaved < kFaultCaptureInterval)
        return;
    m_tFaultSaved = now;
    // Only a failure is logged: a line from this thread would land amid the workers' account of
    // the very fault.
    if (WriteCapture("capture-last-fault.pcapng").isEmpty())
        WriteLog("Failed to write the capture capture-last-fault.pcapng\n");
}
