// Writes the largest image of the window icon as PNG, for the desktop entry.
// Usage: icon-png ICON.ico OUTPUT.png
#include <QGuiApplication>
#include <QImageReader>

#include <cstdio>

namespace
{

QImage LargestImage(QImageReader* reader)
{
    QImage largest;
    for (int i = 0; i < qMax(1, reader->imageCount()); ++i) {
        reader->jumpToImage(i);
        QImage image = reader->read();
        if (image.width() > largest.width())
            largest = image;
    }
    return largest;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: icon-png ICON.ico OUTPUT.png\n");
        return 2;
    }
    QImageReader reader(argv[1]);
    QImage image = LargestImage(&reader);
    if (image.isNull() || !image.save(argv[2], "PNG")) {
        std::fprintf(stderr, "icon-png: cannot convert %s to %s\n", argv[1], argv[2]);
        return 1;
    }
    return 0;
}
