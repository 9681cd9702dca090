#include "support/cannedhttpserver.h"

#include <QTcpSocket>

CannedHttpServer::CannedHttpServer(int status, const QByteArray &body)
    : CannedHttpServer("HTTP/1.1 " + QByteArray::number(status) + " Canned\r\nConnection: close\r\nContent-Length: " +
                       QByteArray::number(body.size()) + "\r\n\r\n" + body)
{
    m_hangUp = true;
}

CannedHttpServer::CannedHttpServer(const QByteArray &rawReply) : m_reply(rawReply)
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            ++m_connections;
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                // One request per connection: answer once its headers are in, ignore the rest.
                socket->setProperty("seen", socket->property("seen").toByteArray() + socket->readAll());
                if (socket->property("seen").toByteArray().contains("\r\n\r\n") && !socket->property("done").toBool()) {
                    socket->setProperty("done", true);
                    socket->write(m_reply);
                    if (m_hangUp)
                        socket->disconnectFromHost();
                }
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}
