#pragma once

// Raw HTTP over loopback, for checking the simulated web service byte for byte.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace websim {

struct RawReply
{
    bool answered = false; // false: the server closed (or timed out) without a status line
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const;
};

// A request with "Connection: close", so that the reply ends with the connection.
QByteArray rawRequest(const QByteArray &method, const QByteArray &target, const QByteArray &body = QByteArray(),
                      const QList<QByteArray> &headers = QList<QByteArray>());

// Sends the bytes and reads until the server closes the connection or the time is up.
QByteArray rawExchange(quint16 port, const QByteArray &request, int timeoutMs = 5000);

RawReply parseReply(const QByteArray &bytes);

// The upper-case hexadecimal MD5 that the client sends as the password.
QByteArray passwordDigest(const QString &password);

// Signs in over loopback; returns the DRAV-Token header, empty when the login failed.
QByteArray loginToken(quint16 port, const QByteArray &userName, const QString &password);

} // namespace websim
