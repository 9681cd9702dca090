#include "service/jsonbody.h"

JsonBody &JsonBody::add(const char *key, const QString &text)
{
    addMember(key, quote(text));
    return *this;
}

JsonBody &JsonBody::add(const char *key, int number)
{
    addMember(key, QString::number(number));
    return *this;
}

QString JsonBody::object() const
{
    return QLatin1Char('{') + m_members + QLatin1Char('}');
}

QString JsonBody::array() const
{
    return QLatin1Char('[') + object() + QLatin1Char(']');
}

QString JsonBody::quote(const QString &text)
{
    QString quoted;
    quoted.reserve(text.size() + 2);
    quoted += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            quoted += QLatin1String("\\\"");
            break;
        case '\\':
            quoted += QLatin1String("\\\\");
            break;
        case '\b':
            quoted += QLatin1String("\\b");
            break;
        case '\f':
            quoted += QLatin1String("\\f");
            break;
        case '\n':
            quoted += QLatin1String("\\n");
            break;
        case '\r':
            quoted += QLatin1String("\\r");
            break;
        case '\t':
            quoted += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                quoted += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                quoted += c;
        }
    }
    quoted += QLatin1Char('"');
    return quoted;
}

void JsonBody::addMember(const char *key, const QString &value)
{
    if (!m_members.isEmpty())
        m_members += QLatin1Char(',');
    m_members += quote(QString::fromLatin1(key)) + QLatin1Char(':') + value;
}
