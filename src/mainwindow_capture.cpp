// Traffic capture: saving the recorded traffic of the three links as a pcapng file.
#include "mainwindow.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMessageBox>

#include <cstdio>
#include <fstream>

namespace
{

// A fault is saved at most this often, so that a flapping link cannot keep the disk busy.
constexpr auto kFaultCaptureInterval = std::chrono::hours(1);

} // namespace

// Written to a new file and then moved over the name, so a reader never sees half a capture
// and capture-last-fault.pcapng is replaced whole. Returns the path, or empty on failure.
QString MainWindow::WriteCapture(const QString& fileName)
{
    const QString path = QCoreApplication::applicationDirPath() + "/" + fileName;
    const QString partial = path + ".part";
    bool written;
    {
        std::ofstream out(QFile::encodeName(partial).toStdString(), std::ios::binary);
        written = out && capture::WritePcapng(m_capture.Snapshot(), out);
    }
    if (!written || std::rename(QFile::encodeName(partial).constData(),
                                QFile::encodeName(path).constData()) != 0) {
        QFile::remove(partial);
        WriteLog("Failed to write the capture ", path.toStdString(), "\n");
        return QString();
    }
    WriteLog("Capture saved to ", path.toStdString(), "\n");
    FlushLog();
    return path;
}

// Named with the local date and time, so that saves never overwrite each other. Also said on
// stderr, for a bridge without a screen that was sent SIGUSR1.
QString MainWindow::SaveDiagnostics()
{
    const QString name =
        "capture-" + QDateTime::currentDateTime().toString("yyyy-MM-dd_HH-mm-ss") + ".pcapng";
    const QString path = WriteCapture(name);
    if (!path.isEmpty())
        std::fprintf(stderr, "tervian-bridge: diagnostics saved to %s\n", qPrintable(path));
    else
        std::fprintf(stderr, "tervian-bridge: diagnostics could not be saved as %s\n",
                     qPrintable(name));
    return path;
}

void MainWindow::on_actionSave_diagnostics_triggered()
{
    const QString path = SaveDiagnostics();
    if (path.isEmpty())
        QMessageBox::critical(this, tr("Error"),
                              tr("The diagnostics could not be saved beside the program in %1.")
                                  .arg(QCoreApplication::applicationDirPath()));
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
    WriteCapture("capture-last-fault.pcapng");
}
