// Renders the icon drawing at one size, as PNG for the desktop's icon theme or as ICO for the
// window icon compiled into the bridge (the format follows the output's suffix).
// Usage: icon-png DRAWING.svg SIZE OUTPUT
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

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

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const int size = argc == 4 ? std::atoi(argv[2]) : 0;
    if (size <= 0) {
        std::fprintf(stderr, "usage: icon-png DRAWING.svg SIZE OUTPUT\n");
        return 2;
    }
    QSvgRenderer drawing(QString::fromLocal8Bit(argv[1]));
    if (!drawing.isValid() || !Render(&drawing, size).save(QString::fromLocal8Bit(argv[3]))) {
        std::fprintf(stderr, "icon-png: cannot render %s to %s\n", argv[1], argv[3]);
        return 1;
    }
    return 0;
}
