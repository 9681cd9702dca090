#pragma once

#include <QByteArray>
#include <QTcpServer>

// A loopback server that answers every request with one canned HTTP reply: for the replies
// that the simulated web service never gives.
class CannedHttpServer : public QObject
{
    Q_OBJECT

public:
    // A whole reply with its Content-Length; the connection is closed after it.
    CannedHttpServer(int status, const QByteArray &body);
    // Exactly these bytes; the connection then stays open, as from a peer that never finishes.
    explicit CannedHttpServer(const QByteArray &rawReply);

    QString port() const { return QString::number(m_server.serverPort()); }
    int connections() const { return m_connections; }

private:
    QTcpServer m_server;
    QByteArray m_reply;
    bool m_hangUp = false;
    int m_connections = 0;
};
