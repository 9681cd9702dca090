#pragma once

#include <QByteArray>
#include <QTcpServer>

// A loopback server that answers every request with one canned HTTP reply and closes
// the connection: for the replies that the simulated web service never gives.
class CannedHttpServer : public QObject
{
    Q_OBJECT

public:
    CannedHttpServer(int status, const QByteArray &body, const QByteArray &extraHeaders = QByteArray());

    QString port() const { return QString::number(m_server.serverPort()); }
    int connections() const { return m_connections; }

private:
    QTcpServer m_server;
    QByteArray m_reply;
    int m_connections = 0;
};
