#pragma once

#include "app/trace.h"
#include "model/paginationlist.h"
#include "model/result.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>

#include <memory>

// Base of the reply parsers: reads the envelope and holds the rules that every
// record parser shares. A parser keeps no state, so one may serve many replies.
class ResultParser : public QObject
{
    Q_OBJECT

public:
    explicit ResultParser(QObject *parent = nullptr);
    ~ResultParser() override;

    // The JSON object of a record for a request body.
    virtual QJsonObject marshal(const QObject *record) const = 0;
    // A new Result for the document (none for a null document); the caller owns it and its data.
    virtual std::unique_ptr<Result> parse(const QJsonDocument *document) const;
    // parse() of a reply body that is a JSON object; none for any other bytes.
    std::unique_ptr<Result> parseBody(const QByteArray &body) const;

    static bool isPresent(const QJsonValue &value);
    static void readPagination(BasePaginationList *list, const QJsonObject &result);

    // A number truncated toward zero into 32 bits, saturating at the limits; NaN and non-numbers give 0.
    static int toInt32(const QJsonValue &value);
    static int toInt32(double value);
    // The variant conversion to an unsigned 64-bit integer, without its out-of-range cast:
    // numbers round half away from zero and saturate at 0 and at the maximum.
    static quint64 toUInt64(const QJsonValue &value);

    // Record fields: the key's value when present, else the field's default.
    static QString readText(const QJsonObject &object, const char *key);
    static int readInt(const QJsonObject &object, const char *key, int absent);

protected:
    // The envelope, and the value of "result" in `value`; a reply without "result" (the value
    // is then undefined) needs nothing more, nor does a null document (no Result).
    std::unique_ptr<Result> parseEnvelope(const QJsonDocument *document, QJsonValue &value) const;

    template <typename T>
    using ItemOperation = std::unique_ptr<T> (*)(const QJsonObject &);

    // A "result" holding a paged list, traced on standard output; countText, when given,
    // is followed by the number of records read.
    template <typename T>
    std::unique_ptr<Result> parsePage(const QJsonDocument *document, const char *gettingLine, const char *foundLine,
                                      const char *countText, ItemOperation<T> makeItem) const;
    // A "result" holding one record, traced on standard output.
    template <typename T>
    std::unique_ptr<Result> parseSingle(const QJsonDocument *document, const char *foundLine,
                                        ItemOperation<T> makeItem) const;
};

template <typename T>
std::unique_ptr<Result> ResultParser::parsePage(const QJsonDocument *document, const char *gettingLine,
                                                const char *foundLine, const char *countText,
                                                ItemOperation<T> makeItem) const
{
    QJsonValue value;
    std::unique_ptr<Result> result = parseEnvelope(document, value);
    if (!result || value.isUndefined())
        return result;
    if (gettingLine)
        traceOut("%s", gettingLine);
    if (!value.isObject()) {
        traceOut("Something else...%d", static_cast<int>(value.type()));
        return result;
    }
    traceOut("%s", foundLine);
    const QJsonObject object = value.toObject();
    auto page = std::make_unique<PaginationList<T>>();
    readPagination(page.get(), object);
    auto items = std::make_unique<QList<T *>>();
    const QJsonArray list = object.value(QLatin1String("list")).toArray();
    for (const QJsonValue &element : list)
        items->append(makeItem(element.toObject()).release());
    if (countText)
        traceOut("%s%d\n", countText, static_cast<int>(items->size()));
    page->setItems(items.release());
    result->setData(page.release());
    return result;
}

template <typename T>
std::unique_ptr<Result> ResultParser::parseSingle(const QJsonDocument *document, const char *foundLine,
                                                  ItemOperation<T> makeItem) const
{
    QJsonValue value;
    std::unique_ptr<Result> result = parseEnvelope(document, value);
    if (!result || value.isUndefined())
        return result;
    if (isPresent(value)) {
        traceOut("Valid property found...\n");
        if (value.isObject()) {
            traceOut("%s", foundLine);
            result->setData(makeItem(value.toObject()).release());
        } else {
            traceOut("Something else...%d", static_cast<int>(value.type()));
        }
    } else {
        traceOut("Null result returned\n");
        result->setData(nullptr);
    }
    return result;
}
