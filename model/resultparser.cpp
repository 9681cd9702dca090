#include "model/resultparser.h"

#include <QDebug>
#include <QVariant>

#include <cmath>
#include <limits>

ResultParser::ResultParser(QObject *parent) : QObject(parent) {}

ResultParser::~ResultParser() = default;

std::unique_ptr<Result> ResultParser::parse(const QJsonDocument *document) const
{
    if (!document)
        return nullptr;
    auto result = std::make_unique<Result>();
    const QJsonObject top = document->object();
    for (auto it = top.constBegin(); it != top.constEnd(); ++it) {
        if (it.key() == QLatin1String("rc")) {
            const double number = it.value().toDouble();
            qDebug().noquote() << QStringLiteral("Double value: ") + QString::number(number);
            result->setCode(toInt32(number));
        } else if (it.key() == QLatin1String("rm")) {
            const QString text = it.value().toString();
            qDebug().noquote() << QStringLiteral("Code string '") + text + QLatin1Char('\'');
            result->setMessage(text);
        } else if (it.key() == QLatin1String("sfc")) {
            result->setSfc(it.value().toString());
        }
    }
    return result;
}

std::unique_ptr<Result> ResultParser::parseBody(const QByteArray &body) const
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return nullptr;
    return parse(&document);
}

bool ResultParser::isPresent(const QJsonValue &value)
{
    return !value.isNull() && !value.isUndefined();
}

void ResultParser::readPagination(BasePaginationList *list, const QJsonObject &result)
{
    if (!list)
        return;
    list->setCount(readInt(result, "count", 0));
    list->setOffset(readInt(result, "offset", 0));
    list->setLimit(readInt(result, "limit", 0));
}

int ResultParser::toInt32(const QJsonValue &value)
{
    return toInt32(value.toDouble());
}

int ResultParser::toInt32(double value)
{
    if (std::isnan(value))
        return 0;
    // Compare before casting: a cast of an out-of-range double is undefined.
    if (value >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (value <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

quint64 ResultParser::toUInt64(const QJsonValue &value)
{
    if (!value.isDouble())
        return value.toVariant().toULongLong();
    const double number = std::round(value.toDouble());
    if (std::isnan(number) || number <= 0.0)
        return 0;
    // 2^64 is exact as a double; anything at or above it saturates.
    if (number >= 18446744073709551616.0)
        return std::numeric_limits<quint64>::max();
    return static_cast<quint64>(number);
}

QString ResultParser::readText(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return isPresent(value) ? value.toString() : QString();
}

int ResultParser::readInt(const QJsonObject &object, const char *key, int absent)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return isPresent(value) ? toInt32(value) : absent;
}

std::unique_ptr<Result> ResultParser::parseEnvelope(const QJsonDocument *document, QJsonValue &value) const
{
    value = QJsonValue(QJsonValue::Undefined);
    std::unique_ptr<Result> result = ResultParser::parse(document);
    if (result)
        value = document->object().value(QLatin1String("result"));
    return result;
}
