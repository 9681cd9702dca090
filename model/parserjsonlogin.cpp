#include "model/parserjsonlogin.h"

#include <QDebug>

QJsonObject ParserJSONLogin::marshal(const QObject *record) const
{
    Q_UNUSED(record)
    return QJsonObject();
}

std::unique_ptr<Result> ParserJSONLogin::parse(const QJsonDocument *document) const
{
    QJsonValue value;
    std::unique_ptr<Result> result = parseEnvelope(document, value);
    if (!result || value.isUndefined())
        return result;
    if (!isPresent(value)) {
        qDebug().noquote() << QStringLiteral("Null result returned");
        result->setData(nullptr);
        return result;
    }
    qDebug().noquote() << QStringLiteral("Valid property found...");
    if (!value.isObject()) {
        qDebug().noquote() << QStringLiteral("Something else: ") + QString::number(static_cast<int>(value.type()));
        return result;
    }
    qDebug().noquote() << QStringLiteral("ParserLogin - Result object found.");
    const QJsonObject object = value.toObject();
    auto login = std::make_unique<JSONLogin>();
    login->setUserId(readText(object, "userId"));
    login->setUserName(readText(object, "userName"));
    result->setData(login.release());
    return result;
}
