#pragma once

#include <QHash>
#include <QObject>
#include <QString>

// Every key the program reads or writes, with its type and its default: the one place where a
// key is spelled. Read and written through Configuration::get and Configuration::set.
namespace Setting {
struct Boolean
{
    const char *key;
    bool fallback;
};
struct Integer
{
    const char *key;
    int fallback;
};
struct Text
{
    const char *key;
    const char *fallback;
};

constexpr Boolean LogEnabled{"debug.log.enabled", true};
constexpr Integer LogSize{"debug.log.size", 1000000};
constexpr Integer LogCount{"debug.log.count", 10};
constexpr Boolean AutoSeal{"autoseal", false};
constexpr Boolean MultipleSealDialogue{"mutiple.seal.dialogue", true};
constexpr Text Protocol{"protocol", "tcp"};
constexpr Integer ProxyType{"proxytype", 0};
constexpr Text ProxyHost{"proxyhost", ""};
constexpr Integer ProxyPort{"proxyport", 0};
constexpr Text ProxyUser{"proxyuser", ""};
constexpr Text ProxyPass{"proxypass", ""};
// VID:PID pairs of keys whose firmware carries no OS descriptor (Linux), e.g. "1234:5678, 1234:5679".
constexpr Text UsbIds{"usbids", ""};
// Days the station's journal keeps its rows; 0 or less keeps them all.
constexpr Integer JournalRetentionDays{"journal.retention.days", 400};
} // namespace Setting

// The per-user settings store: a flat key=value table read once from
// "user.config" and written back as a whole on request.
class Configuration : public QObject
{
    Q_OBJECT

public:
    // Tests build their own store; the program uses instance().
    explicit Configuration(QObject *parent = nullptr);

    static Configuration *instance();

    void load(const QString &fileName);
    // Returns false when the file could not be written; the old file then stays intact.
    bool save();
    QString configDirectory() const;
    QString filePath() const { return m_filePath; }

    bool getBoolean(const QString &key, bool defaultValue = false) const;
    int getInteger(const QString &key, int defaultValue = 0) const;
    QString getString(const QString &key, const QString &defaultValue = QString()) const;
    bool multipleSealDialogue() const;

    bool get(const Setting::Boolean &setting) const;
    int get(const Setting::Integer &setting) const;
    QString get(const Setting::Text &setting) const;

    void setBoolean(const QString &key, bool value);
    void setInteger(const QString &key, int value);
    // Refuses (returns false, stores nothing) a key or value holding a line break: the file
    // has one entry per line, so it would come back as other keys.
    bool setString(const QString &key, const QString &value);

    void set(const Setting::Boolean &setting, bool value);
    void set(const Setting::Integer &setting, int value);
    bool set(const Setting::Text &setting, const QString &value);

signals:
    void updatedString(QString key, QString value);
    void updatedInteger(QString key, int value);
    void updatedBoolean(QString key, bool value);

private:
    // Empty until load() names the file; save() writes nothing before that.
    QString m_filePath;
    QHash<QString, QString> m_entries;
};
