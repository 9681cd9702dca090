// A small stand-in for the station simulator, used by scripts/screenshots.sh:
//   station-driver serve DIR      the simulated web service (free port, database in DIR) and the emulated
//                                 key on the application's key socket, with lock 303659 in front of it;
//                                 prints "ready <port>" and runs until it is killed
//   station-driver grab WID FILE  saves a picture of the X window WID as a PNG

#include "sim/emulatedkey.h"
#include "sim/webservice.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

int serve(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    sim::WebService::Options options;
    options.databasePath = QDir(QString::fromLocal8Bit(argv[2])).filePath(QStringLiteral("vesk.db")).toStdString();
    sim::WebService web(options);
    std::string error;
    if (!web.start(&error)) {
        std::fprintf(stderr, "service: %s\n", error.c_str());
        return 1;
    }
    EmulatedKeyConfig config;
    config.servicePort = quint16(web.port());
    EmulatedKey key(config);
    if (!key.start()) {
        std::fprintf(stderr, "key: cannot listen on %s\n", qPrintable(key.socketPath()));
        return 1;
    }
    key.presentLock(303659);
    std::printf("ready %d\n", web.port());
    std::fflush(stdout);
    return app.exec();
}

int grab(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    bool ok = false;
    const WId window = QString::fromLatin1(argv[2]).toULongLong(&ok, 0);
    const QPixmap picture = ok ? app.primaryScreen()->grabWindow(window) : QPixmap();
    return !picture.isNull() && picture.save(QString::fromLocal8Bit(argv[3]), "PNG") ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "serve") == 0)
        return serve(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "grab") == 0)
        return grab(argc, argv);
    std::fprintf(stderr, "usage: station-driver serve DIR | grab WINDOW-ID FILE.png\n");
    return 2;
}
