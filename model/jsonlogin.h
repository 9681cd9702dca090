#pragma once

#include <QObject>
#include <QString>

// The user that a login reply names.
class JSONLogin : public QObject
{
    Q_OBJECT

public:
    explicit JSONLogin(QObject *parent = nullptr);
    ~JSONLogin() override;

    QString userId() const { return m_userId; }
    void setUserId(const QString &id) { m_userId = id; }
    QString userName() const { return m_userName; }
    void setUserName(const QString &name) { m_userName = name; }

private:
    QString m_userId;
    QString m_userName;
};
