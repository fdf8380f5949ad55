#include "capture_files.h"

#include <QCoreApplication>
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
