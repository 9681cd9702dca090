#include "service/rixrequesthandler.h"

#include "app/trace.h"
#include "model/resultparser.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#ifndef QT_NO_SSL
#include <QSslConfiguration>
#endif

namespace {
const QByteArray TokenHeader = QByteArrayLiteral("DRAV-Token");
const QByteArray JsonType = QByteArrayLiteral("application/json");
const QByteArray FormType = QByteArrayLiteral("application/x-www-form-urlencoded");
} // namespace

RixRequestHandler::RixRequestHandler(QNetworkAccessManager *manager, const QByteArray &token, QObject *parent,
                                     int timeoutMs)
    : QObject(parent), m_token(token), m_manager(manager ? manager : new QNetworkAccessManager(this)),
      m_timeoutMs(timeoutMs > 0 ? timeoutMs : ReplyTimeoutMs)
{
}

RixRequestHandler::~RixRequestHandler() = default;

RixRequestHandler::Reply RixRequestHandler::getJson(const QString &url)
{
    QNetworkRequest request = buildRequest(url);
    request.setRawHeader(TokenHeader, m_token);
    request.setRawHeader("Accept", JsonType);
    request.setRawHeader("Content-Type", JsonType);
    return execute(request, GET);
}

RixRequestHandler::Reply RixRequestHandler::putJson(const QString &url, const QString &body)
{
    QNetworkRequest request = buildRequest(url);
    request.setRawHeader(TokenHeader, m_token);
    request.setRawHeader("Accept", JsonType);
    request.setRawHeader("Content-Type", JsonType);
    request.setRawHeader("Content-Length", QByteArray::number(body.toUtf8().size()));
    request.setRawHeader("X-HTTP-Method-Override", "PUT");
    return execute(request, PUT, body);
}

RixRequestHandler::Reply RixRequestHandler::postLogin(const QString &url, const QString &userName,
                                                      const QString &password)
{
    const QByteArray digest = passwordDigest(password);
    // The digest stands for the password: it never reaches standard output.
    const QByteArray shown = loginForm(userName, QByteArray(digest.size(), '*'));
    traceOut("DRAV-Token:%s\n", shown.constData());
    QNetworkRequest request = buildRequest(url);
    request.setRawHeader("Content-Type", FormType);
    return execute(request, POST, QString::fromLatin1(loginForm(userName, digest)));
}

RixRequestHandler::Reply RixRequestHandler::execute(QNetworkRequest &request, eRequestType type)
{
    return send(request, type, QByteArray());
}

RixRequestHandler::Reply RixRequestHandler::execute(QNetworkRequest &request, eRequestType type, const QString &body)
{
    return send(request, type, body.toUtf8());
}

RixRequestHandler::Reply RixRequestHandler::execute(QNetworkRequest &request, eRequestType type,
                                                    const ResultParser &parser, const QObject &record)
{
    return send(request, type, QJsonDocument(parser.marshal(&record)).toJson(QJsonDocument::Indented));
}

std::unique_ptr<Result> RixRequestHandler::parseReply(QNetworkReply *reply, const ResultParser &parser)
{
    return reply ? parser.parseBody(reply->readAll()) : nullptr;
}

QByteArray RixRequestHandler::passwordDigest(const QString &password)
{
    return QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Md5).toHex().toUpper();
}

QByteArray RixRequestHandler::loginForm(const QString &userName, const QByteArray &digest)
{
    // The digest is hexadecimal and needs no encoding.
    return QByteArrayLiteral("username=") + QUrl::toPercentEncoding(userName) + QByteArrayLiteral("&password=") +
           digest;
}

QNetworkRequest RixRequestHandler::buildRequest(const QString &url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
#ifndef QT_NO_SSL
    if (url.contains(QLatin1String("https")))
        request.setSslConfiguration(QSslConfiguration::defaultConfiguration());
#endif
    // Qt 5 and Qt 6 differ in their default; a redirect would resend the token elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

RixRequestHandler::Reply RixRequestHandler::send(QNetworkRequest &request, eRequestType type, const QByteArray &body)
{
    switch (type) {
    case GET:
        return wait(m_manager->get(request));
    case PUT:
        return wait(m_manager->put(request, body));
    case POST:
        return wait(m_manager->post(request, body));
    case DEL:
        return wait(m_manager->deleteResource(request));
    }
    return nullptr;
}

RixRequestHandler::Reply RixRequestHandler::wait(QNetworkReply *sent)
{
    // The loop runs other slots, which may delete the reply (or its manager): hold it weakly.
    QPointer<QNetworkReply> reply(sent);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(sent, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(sent, &QObject::destroyed, &loop, &QEventLoop::quit);

    // A peer must not fill memory: the network layer buffers no more than one byte past the
    // limit, and a reply is dropped as soon as its announced or received size passes it.
    m_replyTooLarge = false;
    sent->setReadBufferSize(MaxReplyBytes + 1);
    const auto checkSize = [this, sent] {
        const qint64 announced = sent->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (!m_replyTooLarge && (announced > MaxReplyBytes || sent->bytesAvailable() > MaxReplyBytes)) {
            m_replyTooLarge = true;
            sent->abort();
        }
    };
    connect(sent, &QNetworkReply::metaDataChanged, &loop, checkSize);
    connect(sent, &QNetworkReply::readyRead, &loop, checkSize);

    timer.start(m_timeoutMs);
    if (!sent->isFinished())
        loop.exec();
    timer.stop();
    timer.disconnect(&loop);

    if (!reply) {
        qDebug().noquote() << QStringLiteral("JSON reply removed while waiting");
        return nullptr;
    }
    reply->disconnect(&loop);
    if (reply->isFinished() && !m_replyTooLarge)
        checkSize();
    if (m_replyTooLarge) {
        qDebug().noquote() << QStringLiteral("JSON reply larger than ") + QString::number(MaxReplyBytes) +
                                  QStringLiteral(" bytes dropped");
        Reply dropped(reply.data());
        return nullptr;
    }
    // A reply that finished while a nested wait held this loop open still counts.
    if (reply->isFinished())
        return Reply(reply.data());

    qDebug().noquote() << QStringLiteral("JSON timed out");
    Reply late(reply.data());
    late->abort();
    return nullptr;
}
