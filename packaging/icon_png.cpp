// Renders the icon drawing, as PNG at one size for the desktop's icon theme, or as the window
// icon compiled into the bridge: an ICO holding each size given, as uncompressed 32-bit images
// that every ICO reader takes (the format follows the output's suffix).
// Usage: icon-png DRAWING.svg SIZE[,SIZE...] OUTPUT
#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <QSvgRenderer>

#include <cstdio>
#include <vector>

namespace
{

QImage Render(QSvgRenderer* drawing, int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawing->render(&painter);
    return image;
}

// One ICO image: a bitmap header of twice the height (colour rows, then the mask), the BGRA
// rows bottom-up, and an all-clear AND mask since the alpha channel carries the shape.
QByteArray IcoImage(const QImage& image)
{
    const int size = image.width();
    const int maskRowBytes = ((size + 31) / 32) * 4;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(40) << qint32(size) << qint32(2 * size) << quint16(1) << quint16(32)
        << quint32(0) << quint32(size * size * 4 + size * maskRowBytes) << qint32(0) << qint32(0)
        << quint32(0) << quint32(0);
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x)
            out << quint32(image.pixel(x, y));
    bytes.append(QByteArray(size * maskRowBytes, '\0'));
    return bytes;
}

bool SaveIco(const std::vector<QImage>& images, const QString& path)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(images.size());
    std::vector<QByteArray> entries;
    quint32 offset = 6 + 16 * quint32(images.size());
    for (const QImage& image : images) {
        entries.push_back(IcoImage(image));
        out << quint8(image.width() % 256) << quint8(image.height() % 256) << quint8(0) << quint8(0)
            << quint16(1) << quint16(32) << quint32(entries.back().size()) << offset;
        offset += quint32(entries.back().size());
    }
    for (const QByteArray& entry : entries)
        bytes.append(entry);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool Save(QSvgRenderer* drawing, const QStringList& sizes, const QString& path)
{
    std::vector<QImage> images;
    for (const QString& size : sizes) {
        const int pixels = size.toInt();
        if (pixels <= 0 || pixels > 256)
            return false;
        images.push_back(Render(drawing, pixels));
    }
    if (path.endsWith(QLatin1String(".ico")))
        return SaveIco(images, path);
    return images.size() == 1 && images.front().save(path);
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: icon-png DRAWING.svg SIZE[,SIZE...] OUTPUT\n");
        return 2;
    }
    QSvgRenderer drawing(QString::fromLocal8Bit(argv[1]));
    const QStringList sizes = QString::fromLocal8Bit(argv[2]).split(QLatin1Char(','));
    if (!drawing.isValid() || !Save(&drawing, sizes, QString::fromLocal8Bit(argv[3]))) {
        std::fprintf(stderr, "icon-png: cannot render %s at %s to %s\n", argv[1], argv[2], argv[3]);
        return 1;
    }
    return 0;
}
