#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

// A loopback HTTP server for client tests that need the raw request bytes: it records
// every request as received and answers with canned raw responses, in order, then
// with the default one. An empty response means: keep the connection, never answer.
class LoopbackHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit LoopbackHttpServer(QObject *parent = nullptr);

    QString baseUrl() const;
    QString port() const { return QString::number(m_server.serverPort()); }
    void setDefaultResponse(const QByteArray &raw) { m_default = raw; }
    void enqueue(const QByteArray &raw) { m_queue.append(raw); }
    QList<QByteArray> requests() const { return m_requests; }

    static QByteArray response(int status, const QByteArray &body, const QByteArray &extraHeaders = QByteArray());

signals:
    void requestReceived();

private:
    void readFrom(QTcpSocket *socket);

    QTcpServer m_server;
    QByteArray m_default;
    QList<QByteArray> m_queue;
    QList<QByteArray> m_requests;
};
