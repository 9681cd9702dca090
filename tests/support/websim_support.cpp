#include "support/websim_support.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QUrl>

namespace websim {

QByteArray RawReply::header(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0) {
            return entry.second;
        }
    }
    return QByteArray();
}

QByteArray rawRequest(const QByteArray &method, const QByteArray &target, const QByteArray &body,
                      const QList<QByteArray> &headers)
{
    QByteArray request = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const QByteArray &header : headers) {
        request += header + "\r\n";
    }
    if (!body.isEmpty() || method == "PUT" || method == "POST") {
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    return request + "\r\n" + body;
}

QByteArray rawExchange(quint16 port, const QByteArray &request, int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs)) {
        return QByteArray();
    }
    socket.write(request);
    QElapsedTimer timer;
    timer.start();
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs) {
        socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, timeoutMs - timer.elapsed())));
        reply += socket.readAll();
    }
    return reply + socket.readAll();
}

RawReply parseReply(const QByteArray &bytes)
{
    RawReply reply;
    const int headEnd = bytes.indexOf("\r\n\r\n");
    if (!bytes.startsWith("HTTP/1.1 ") || headEnd < 0) {
        return reply;
    }
    const QList<QByteArray> lines = bytes.left(headEnd).split('\n');
    reply.answered = true;
    reply.status = lines.first().mid(9, 3).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0) {
            reply.headers.append({lines[i].left(colon), lines[i].mid(colon + 1).trimmed()});
        }
    }
    reply.body = bytes.mid(headEnd + 4);
    return reply;
}

QByteArray passwordDigest(const QString &password)
{
    return QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Md5).toHex().toUpper();
}

QByteArray loginToken(quint16 port, const QByteArray &userName, const QString &password)
{
    const QByteArray form =
        "username=" + QUrl::toPercentEncoding(QString::fromUtf8(userName)) + "&password=" + passwordDigest(password);
    const RawReply reply = parseReply(rawExchange(
        port, rawRequest("POST", "/veskservice/login", form, {"Content-Type: application/x-www-form-urlencoded"})));
    return reply.status == 200 ? reply.header("DRAV-Token") : QByteArray();
}

} // namespace websim
