#include "app/configuration.h"

#include "app/trace.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

namespace {

QString dataDirectory()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    qDebug().noquote() << QStringLiteral("Path: ") + dir;
    if (!QDir(dir).exists() && QDir().mkpath(dir))
        qDebug().noquote() << QStringLiteral("Created path: ") + dir;
    return dir;
}

// Values that must never appear in the debug log in clear.
bool isSecretKey(const QString &key)
{
    return key == QLatin1String(Setting::ProxyPass.key);
}

// A line ends at LF, CR LF or CR when the file is read back.
bool hasLineBreak(const QString &text)
{
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

} // namespace

Configuration::Configuration(QObject *parent) : QObject(parent) {}

Configuration *Configuration::instance()
{
    // Lives until the process ends, as every reader may run during shutdown.
    static Configuration *const store = new Configuration();
    return store;
}

QString Configuration::configDirectory() const
{
    return dataDirectory() + QLatin1Char('/');
}

void Configuration::load(const QString &fileName)
{
    m_filePath = dataDirectory() + QLatin1Char('/') + fileName;
    traceOut("Load config file from: %s\n", m_filePath.toLocal8Bit().constData());

    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;

    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        // Only the first "=" separates key and value: a value may itself hold "=".
        const int separator = line.indexOf(QLatin1Char('='));
        if (separator < 0)
            continue;
        m_entries.insert(line.left(separator), line.mid(separator + 1));
    }
}

bool Configuration::save()
{
    if (m_filePath.isEmpty())
        return false;

    // QSaveFile writes a temporary file and renames it over the old one on
    // commit, so a crash or a full disk never leaves a truncated file behind.
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;

    QTextStream out(&file);
    for (auto it = m_entries.constBegin(); it != m_entries.constEnd(); ++it) {
        qDebug().noquote() << it.key() + QLatin1Char('=') +
                                  (isSecretKey(it.key()) ? QStringLiteral("****") : it.value());
        out << it.key() << '=' << it.value() << '\n';
    }
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit())
        return false;

    qDebug().noquote() << "Saved uservariables";
    return true;
}

bool Configuration::getBoolean(const QString &key, bool defaultValue) const
{
    const auto it = m_entries.constFind(key);
    if (it == m_entries.constEnd())
        return defaultValue;
    const QString value = it.value().toLower();
    return value == QLatin1String("true") || value == QLatin1String("yes");
}

int Configuration::getInteger(const QString &key, int defaultValue) const
{
    const auto it = m_entries.constFind(key);
    if (it == m_entries.constEnd())
        return defaultValue;
    return it.value().toInt(); // a value that is not a number gives 0
}

QString Configuration::getString(const QString &key, const QString &defaultValue) const
{
    return m_entries.value(key, defaultValue);
}

bool Configuration::multipleSealDialogue() const
{
    return get(Setting::MultipleSealDialogue);
}

bool Configuration::get(const Setting::Boolean &setting) const
{
    return getBoolean(QLatin1String(setting.key), setting.fallback);
}

int Configuration::get(const Setting::Integer &setting) const
{
    return getInteger(QLatin1String(setting.key), setting.fallback);
}

QString Configuration::get(const Setting::Text &setting) const
{
    return getString(QLatin1String(setting.key), QLatin1String(setting.fallback));
}

void Configuration::setBoolean(const QString &key, bool value)
{
    m_entries.insert(key, value ? QStringLiteral("true") : QStringLiteral("false"));
    emit updatedBoolean(key, value);
}

void Configuration::setInteger(const QString &key, int value)
{
    m_entries.insert(key, QString::number(value));
    emit updatedInteger(key, value);
}

bool Configuration::setString(const QString &key, const QString &value)
{
    if (hasLineBreak(key) || hasLineBreak(value)) {
        qWarning().noquote() << QStringLiteral("Setting refused, its value holds a line break: ") + key;
        return false;
    }
    m_entries.insert(key, value);
    emit updatedString(key, value);
    return true;
}

void Configuration::set(const Setting::Boolean &setting, bool value)
{
    setBoolean(QLatin1String(setting.key), value);
}

void Configuration::set(const Setting::Integer &setting, int value)
{
    setInteger(QLatin1String(setting.key), value);
}

bool Configuration::set(const Setting::Text &setting, const QString &value)
{
    return setString(QLatin1String(setting.key), value);
}
