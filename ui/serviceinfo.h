#pragma once

#include <QObject>
#include <QString>

// The web-service address and port as the key reported them.
class ServiceInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString host READ host WRITE setHost NOTIFY hostChanged)
    Q_PROPERTY(uint port READ port WRITE setPort NOTIFY portChanged)

public:
    explicit ServiceInfo(QObject *parent = nullptr);

    QString host() const { return m_host; }
    uint port() const { return m_port; }
    // True exactly when both a host and a non-zero port are known.
    bool isValid() const { return m_valid; }

    void setHost(const QString &host);
    void setPort(uint port);
    void clear();

signals:
    void hostChanged(QString address);
    void portChanged(uint port);

public slots:
    void hostReceived(QString address);
    void portReceived(uint port);

private:
    void revalidate() { m_valid = !m_host.isEmpty() && m_port != 0; }

    QString m_host;
    uint m_port = 0;
    bool m_valid = false;
};
