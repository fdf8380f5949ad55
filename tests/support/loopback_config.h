#ifndef LOOPBACK_CONFIG_H
#define LOOPBACK_CONFIG_H

// The config.txt that keeps a bridge on 127.0.0.1, so that nothing here ever dials the cell
// network. Its one copy is scripts/loopback-config.txt, which the scripts copy too; the build
// names it BRIDGE_LOOPBACK_CONFIG.
#include <QFile>
#include <QMap>
#include <QString>

// Writes config.txt into dir: the loopback file's keys, then values, as raw text, so that a
// test can write what QSettings itself never would.
inline void WriteLoopbackConfig(const QString& dir, const QMap<QString, QString>& values = {})
{
    QMap<QString, QString> all;
    QFile loopback(BRIDGE_LOOPBACK_CONFIG);
    if (loopback.open(QIODevice::ReadOnly))
        for (const QByteArray& line : loopback.readAll().split('\n'))
            if (const int equals = line.indexOf('='); equals > 0)
                all.insert(line.left(equals), line.mid(equals + 1));
    all.insert(values);
    QFile file(dir + "/config.txt");
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write("[General]\n");
    for (auto it = all.begin(); it != all.end(); ++it)
        file.write((it.key() + "=" + it.value() + "\n").toUtf8());
}

#endif // LOOPBACK_CONFIG_H
