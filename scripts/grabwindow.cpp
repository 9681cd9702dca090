// grab-window WINDOW-ID FILE.png: saves a picture of an X window, for scripts/screenshots.sh.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: grab-window WINDOW-ID FILE.png\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    bool ok = false;
    const WId window = QString::fromLatin1(argv[1]).toULongLong(&ok, 0);
    const QPixmap picture = ok ? app.primaryScreen()->grabWindow(window) : QPixmap();
    return !picture.isNull() && picture.save(QString::fromLocal8Bit(argv[2]), "PNG") ? 0 : 1;
}
