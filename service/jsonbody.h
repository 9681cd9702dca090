#pragma once

#include <QString>

// Request bodies as the service reads them: compact JSON whose members keep the
// order they are added in (QJsonObject would sort them), every text escaped.
class JsonBody
{
public:
    JsonBody &add(const char *key, const QString &text);
    JsonBody &add(const char *key, int number);
    // The object, "{...}".
    QString object() const;
    // The object as the single element of an array, "[{...}]".
    QString array() const;

    // A JSON string literal: quotes, backslash and control characters escaped.
    static QString quote(const QString &text);

private:
    void addMember(const char *key, const QString &value);

    QString m_members;
};
