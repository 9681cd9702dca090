#include "model/lockparser.h"

QJsonObject LockParser::marshal(const QObject *record) const
{
    const auto *lock = qobject_cast<const Lock *>(record);
    if (!lock)
        return QJsonObject();
    QJsonObject object;
    object.insert(QStringLiteral("lockId"), lock->lockId());
    object.insert(QStringLiteral("description"), lock->description());
    traceOut("Marshal lock id: %s description %s\n", lock->lockId().toUtf8().constData(),
             lock->description().toUtf8().constData());
    return object;
}

std::unique_ptr<Result> LockParser::parse(const QJsonDocument *document) const
{
    return parsePage<Lock>(document, "Getting result object\n", "LockParser - Result object found.\n",
                           "Number of locks retrieved: ", &LockParser::parseLock);
}

std::unique_ptr<Lock> LockParser::parseLock(const QJsonObject &object)
{
    auto lock = std::make_unique<Lock>();
    const auto number = [&object](const char *key) {
        const QJsonValue value = object.value(QLatin1String(key));
        return isPresent(value) ? value.toDouble() : 0.0;
    };
    lock->setLockId(readText(object, "lockId"));
    lock->setDescription(readText(object, "description"));
    lock->setLongitude(number("longitude"));
    lock->setLatitude(number("latitude"));
    lock->setState(readText(object, "state"));
    lock->setCommissionState(readText(object, "commissionState"));
    return lock;
}

std::unique_ptr<Result> SingleLockParser::parse(const QJsonDocument *document) const
{
    return parseSingle<Lock>(document, "LockParser - Result object found.\n", &LockParser::parseLock);
}
