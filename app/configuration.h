#pragma once

#include <QHash>
#include <QObject>
#include <QString>

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

    void setBoolean(const QString &key, bool value);
    void setInteger(const QString &key, int value);
    void setString(const QString &key, const QString &value);

signals:
    void updatedString(QString key, QString value);
    void updatedInteger(QString key, int value);
    void updatedBoolean(QString key, bool value);

private:
    // Empty until load() names the file; save() writes nothing before that.
    QString m_filePath;
    QHash<QString, QString> m_entries;
};
