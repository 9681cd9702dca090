#include "model/parserjsonlogin.h"

#include <QDebug>

QJsonObject ParserJSONLogin::marshal(const QObject *record) const
{
    Q_UNUSED(record)
    return QJsonObject();
}

std::unique_ptr<Result> ParserJSONLogin::parse(const QJsonDocument *document) const
{
    std::unique_ptr<Result> result = ResultParser::parse(document);
    if (!result)
        return nullptr;
    const QJsonObject top = document->object();
    const auto found = top.constFind(QLatin1String("result"));
    if (found == top.constEnd())
        return result;
    const QJsonValue value = found.value();
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
