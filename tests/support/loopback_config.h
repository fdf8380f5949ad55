#ifndef LOOPBACK_CONFIG_H
#define LOOPBACK_CONFIG_H

// The config.txt that keeps a bridge on 127.0.0.1, so that nothing here ever dials the cell
// network. Its one copy is scripts/loopback-config.txt, which the scripts copy too; the build
// names it BRIDGE_LOOPBACK_CONFIG.
#include <QFile>
#include <QMap>
#include <QString>

// Writes config.txt into dir: the loopback file's lines, then values over them as raw text, so
// that a test can write what QSettings itself never would.
inline void WriteLoopbackConfig(const QString& dir, const QMap<QString, QString>& values = {})
{
    QFile loopback(BRIDGE_LOOPBACK_CONFIG), file(dir + "/config.txt");
    loopback.open(QIODevice::ReadOnly);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (const QByteArray& line : loopback.readAll().split('\n'))
        if (!line.isEmpty() && !values.contains(line.left(line.indexOf('='))))
            file.write(line + "\n");
    for (auto it = values.begin(); it != values.end(); ++it)
        file.write((it.key() + "=" + it.value() + "\n").toUtf8());
}

#endif // LOOPBACK_CONFIG_H
