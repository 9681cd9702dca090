#pragma once

#include "model/result.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QString>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class ResultParser;

// One service request, sent with the session token and waited for in a local
// event loop so that callers read as straight-line code on the GUI thread.
class RixRequestHandler : public QObject
{
    Q_OBJECT

public:
    enum eRequestType
    {
        GET = 0,
        PUT = 1,
        POST = 2,
        DEL = 3
    };
    Q_ENUM(eRequestType)

    // How long the product waits for a reply.
    static constexpr int ReplyTimeoutMs = 30000;
    // Largest reply body read, far above any real reply; a larger one is a failed request.
    static constexpr qint64 MaxReplyBytes = 4 * 1024 * 1024;

    // The caller owns a returned reply; it is deleted as soon as it has been read.
    using Reply = std::unique_ptr<QNetworkReply>;

    // Without a manager the handler makes its own. timeoutMs other than the default is for tests.
    explicit RixRequestHandler(QNetworkAccessManager *manager, const QByteArray &token, QObject *parent = nullptr,
                               int timeoutMs = ReplyTimeoutMs);
    ~RixRequestHandler() override;

    Reply getJson(const QString &url);
    Reply putJson(const QString &url, const QString &body);
    Reply postLogin(const QString &url, const QString &userName, const QString &password);

    Reply execute(QNetworkRequest &request, eRequestType type);
    Reply execute(QNetworkRequest &request, eRequestType type, const QString &body);
    // The body is the parser's marshal of the record, as an indented JSON document.
    Reply execute(QNetworkRequest &request, eRequestType type, const ResultParser &parser, const QObject &record);

    // The Result of a reply whose body is a JSON object; none otherwise. HTTP status is not looked at.
    static std::unique_ptr<Result> parseReply(QNetworkReply *reply, const ResultParser &parser);

    // Upper-case hexadecimal MD5 of the password's UTF-8 bytes.
    static QByteArray passwordDigest(const QString &password);
    // The login form, the name percent-encoded so that "&", "=" or "+" stay inside their field.
    static QByteArray loginForm(const QString &userName, const QByteArray &digest);

    // A request for the URL with TLS set up for "https" addresses and redirects not followed.
    static QNetworkRequest buildRequest(const QString &url);

    QNetworkAccessManager *manager() const { return m_manager; }
    int timeout() const { return m_timeoutMs; }
    // Whether the last request returned none because its reply passed MaxReplyBytes.
    bool replyTooLarge() const { return m_replyTooLarge; }

private:
    Reply send(QNetworkRequest &request, eRequestType type, const QByteArray &body);
    Reply wait(QNetworkReply *sent);

    const QByteArray m_token;
    QNetworkAccessManager *const m_manager;
    const int m_timeoutMs;
    bool m_replyTooLarge = false;
};
