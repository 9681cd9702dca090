#include "support/testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

void useDataHome(const QString &home)
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(home));
    QCoreApplication::setApplicationName(QStringLiteral("SealStation"));
    QCoreApplication::setOrganizationName(QStringLiteral("Vesk"));
}
