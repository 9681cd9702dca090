#include "service/json.h"

#include "model/jsonlogin.h"
#include "model/lockparser.h"
#include "model/parserjsonlogin.h"
#include "model/parserseal.h"
#include "model/parsersubjectcenterlink.h"
#include "service/jsonbody.h"
#include "service/rixrequesthandler.h"

#include <QDebug>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QPointer>
#include <QUrl>

namespace {
QString encoded(const QString &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

// Reply headers whose values are secrets.
bool isSecretHeader(const QByteArray &name)
{
    return name.compare("DRAV-Token", Qt::CaseInsensitive) == 0 ||
           name.compare("Set-Cookie", Qt::CaseInsensitive) == 0 ||
           name.compare("Authorization", Qt::CaseInsensitive) == 0;
}

// The most of a reply body that reaches the debug log.
constexpr int LoggedBodyBytes = 256;

void debugLine(const QString &text)
{
    qDebug().noquote() << text;
}
} // namespace

// One call in progress. The session may be deleted by a slot that runs during a
// wait; alive() tells the call whether it may still touch the session.
class JSON::Call
{
public:
    explicit Call(JSON *session) : m_session(session)
    {
        ++session->m_busy;
        emit session->busyChanged(session->m_busy);
    }
    ~Call()
    {
        if (m_session) {
            --m_session->m_busy;
            emit m_session->busyChanged(m_session->m_busy);
        }
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    bool alive() const { return !m_session.isNull(); }

private:
    QPointer<JSON> m_session;
};

JSON::JSON(const QString &host, const QString &port, QObject *parent)
    : QObject(parent), m_replyTimeoutMs(RixRequestHandler::ReplyTimeoutMs)
{
    debugLine(QStringLiteral("Configured server settings") + host + QLatin1Char(':') + port);
    m_host = host;
    m_port = port;
    if (host.contains(QLatin1String("http")))
        m_baseUrl = host + QLatin1Char(':') + port;
    else
        m_baseUrl = QStringLiteral("http://") + host + QLatin1Char(':') + port;
    debugLine(QStringLiteral("URL that will be used: [") + m_baseUrl + QLatin1Char(']'));
    m_manager = new QNetworkAccessManager(this);
}

JSON::~JSON() = default;

void JSON::setReplyTimeout(int milliseconds)
{
    m_replyTimeoutMs = milliseconds > 0 ? milliseconds : RixRequestHandler::ReplyTimeoutMs;
}

QString JSON::masked(const QByteArray &secret)
{
    if (secret.isEmpty())
        return QString();
    const int shown = qMin(4, secret.size() / 2);
    return QString::fromLatin1(secret.left(shown)) + QStringLiteral("****");
}

LoginOutcome JSON::login(const QString &userName, const QString &password)
{
    Call call(this);
    LoginOutcome outcome(false, QString());
    debugLine(QStringLiteral("Connect starting..."));
    ParserJSONLogin parser;
    RixRequestHandler handler(m_manager, QByteArray(), nullptr, m_replyTimeoutMs);
    RixRequestHandler::Reply reply =
        handler.postLogin(m_baseUrl + QStringLiteral("/veskservice/login"), userName, password);
    if (!call.alive() || !reply) {
        const bool answered = call.alive() && handler.replyTooLarge();
        outcome.second = answered ? QStringLiteral("Invalid response") : QStringLiteral("Could not connect");
        return outcome;
    }
    if (reply->error() != QNetworkReply::NoError) {
        debugLine(QStringLiteral("Error:") + reply->errorString());
        outcome.second = reply->errorString();
        return outcome;
    }

    const auto cookies = reply->header(QNetworkRequest::CookieHeader).value<QList<QNetworkCookie>>();
    for (const QNetworkCookie &cookie : cookies)
        debugLine(QStringLiteral("Cookie:") + QString::fromUtf8(cookie.name()));
    const auto headers = reply->rawHeaderPairs();
    debugLine(QStringLiteral("<=========>") + QString::number(headers.size()));
    for (const auto &header : headers) {
        const QString value = isSecretHeader(header.first) ? masked(header.second) : QString::fromUtf8(header.second);
        debugLine(QString::fromUtf8(header.first) + QLatin1Char(':') + value);
    }

    const QByteArray body = reply->readAll();
    debugLine(QStringLiteral("DATA <=>") + QString::fromUtf8(body.left(LoggedBodyBytes)) +
              (body.size() > LoggedBodyBytes ? QStringLiteral("... (%1 bytes)").arg(body.size()) : QString()));
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue named = document.object().value(QLatin1String("result"));
    if (named.isObject() && !named.toObject().value(QLatin1String("userName")).toString().isEmpty()) {
        m_token = reply->rawHeader("DRAV-Token");
        debugLine(QStringLiteral("DRAV-Token:") + masked(m_token));
    }
    reply.reset();

    if (!document.isObject()) {
        outcome.second = QStringLiteral("Invalid response");
        return outcome;
    }
    std::unique_ptr<Result> result = parser.parse(&document);
    if (result && result->data()) {
        const std::unique_ptr<JSONLogin> record = result->takeData<JSONLogin>();
        debugLine(QStringLiteral("ID ") + record->userId());
        debugLine(QStringLiteral("Name:") + record->userName());
        m_userName = userName;
        m_password = password;
        outcome.first = true;
    }
    return outcome;
}

std::unique_ptr<Lock> JSON::findLockByRf(const QString &rfId)
{
    Call call(this);
    const QString url = m_baseUrl + QStringLiteral("/veskservice/lock/find/by/rf/") + encoded(rfId);
    debugLine(QStringLiteral("Seindin to:") + url + QStringLiteral(" token:") + masked(m_token));
    RixRequestHandler handler(m_manager, m_token, nullptr, m_replyTimeoutMs);
    RixRequestHandler::Reply reply = handler.getJson(url);
    if (!call.alive())
        return nullptr;
    SingleLockParser parser;
    std::unique_ptr<Result> result = RixRequestHandler::parseReply(reply.get(), parser);
    reply.reset();
    if (!result || !result->data())
        return nullptr;
    std::unique_ptr<Lock> lock = result->takeData<Lock>();
    debugLine(QStringLiteral("Retrieve results...") + QString::fromLatin1(lock->metaObject()->className()));
    debugLine(QStringLiteral("ID:") + lock->lockId());
    debugLine(QStringLiteral("Description:") + lock->description());
    debugLine(QStringLiteral("Longitude:") + QString::number(lock->longitude()));
    debugLine(QStringLiteral("Latitude:") + QString::number(lock->latitude()));
    return lock;
}

bool JSON::validateLock(const QString &lockId, const QString &description)
{
    Call call(this);
    const QString url = m_baseUrl + QStringLiteral("/veskservice/lock/validate");
    const QString body = JsonBody().add("lockId", lockId).add("description", description).add("type", 2).object();
    RixRequestHandler handler(m_manager, m_token, nullptr, m_replyTimeoutMs);
    RixRequestHandler::Reply reply = handler.putJson(url, body);
    if (!call.alive())
        return false;
    SingleLockParser parser;
    std::unique_ptr<Result> result = RixRequestHandler::parseReply(reply.get(), parser);
    reply.reset();
    if (!result || !result->data())
        return false;
    const std::unique_ptr<Lock> lock = result->takeData<Lock>();
    debugLine(QStringLiteral("Validation results:"));
    debugLine(QStringLiteral("ID:") + lock->lockId());
    debugLine(QStringLiteral("Description:") + lock->description());
    debugLine(QStringLiteral("Longitude:") + QString::number(lock->longitude()));
    debugLine(QStringLiteral("Latitude:") + QString::number(lock->latitude()));
    return true;
}

std::unique_ptr<ExamSchedule> JSON::linkSubjectToCenter(const QString &scanCode)
{
    Call call(this);
    const QString url = m_baseUrl + QStringLiteral("/veskservice/examschedule/link/subject/to/center");
    const QString body = JsonBody().add("scanCode", scanCode).object();
    RixRequestHandler handler(m_manager, m_token, nullptr, m_replyTimeoutMs);
    RixRequestHandler::Reply reply = handler.putJson(url, body);
    if (!call.alive())
        return nullptr;
    ParserSubjectCenterLink parser;
    std::unique_ptr<Result> result = RixRequestHandler::parseReply(reply.get(), parser);
    reply.reset();
    if (!result || !result->data())
        return nullptr;
    std::unique_ptr<ExamSchedule> schedule = result->takeData<ExamSchedule>();
    debugLine(QStringLiteral("TableId:") + schedule->tableId());
    debugLine(QStringLiteral("PointId:") + schedule->pointId());
    debugLine(QStringLiteral("ExamSchedId:") + QString::number(schedule->examSchedId()));
    debugLine(QStringLiteral("Start:") + QString::number(schedule->start()) + QStringLiteral(" End:") +
              QString::number(schedule->end()));
    return schedule;
}

bool JSON::assignSubjectToCenter(const QString &pointId, const QString &tableId)
{
    return assignment("/veskservice/examschedule/assign/sub/center/", pointId, tableId);
}

bool JSON::deassignSubjectToCenter(const QString &pointId, const QString &tableId)
{
    return assignment("/veskservice/examschedule/deassign/sub/center/", pointId, tableId);
}

bool JSON::reassignSubjectToCenter(const QString &pointId, const QString &tableId)
{
    QPointer<JSON> session(this);
    if (!deassignSubjectToCenter(pointId, tableId) || !session)
        return false;
    return assignSubjectToCenter(pointId, tableId);
}

bool JSON::assignment(const char *path, const QString &pointId, const QString &tableId)
{
    Call call(this);
    const QString url = m_baseUrl + QLatin1String(path);
    const QString body = JsonBody().add("pointId", pointId).add("tableId", tableId).array();
    RixRequestHandler handler(m_manager, m_token, nullptr, m_replyTimeoutMs);
    RixRequestHandler::Reply reply = handler.putJson(url, body);
    if (!call.alive() || !reply)
        return false;
    ParserSubjectCenterLinkArray parser;
    std::unique_ptr<Result> result = RixRequestHandler::parseReply(reply.get(), parser);
    reply.reset();
    if (!result)
        return false;
    const bool success = result->data() && result->code() == 200;
    takeRecords(result->takeData<QList<ExamSchedule *>>());
    return success;
}

QString JSON::existingSealsUrl(const QString &pointId, const QString &tableId) const
{
    return m_baseUrl + QStringLiteral("/veskservice/examschedule/ap?pointId=") + encoded(pointId) +
           QStringLiteral("&tableId=") + encoded(tableId);
}

bool JSON::hasOtherSeals(const QString &pointId, const QString &tableId, const QString &apId)
{
    Call call(this);
    const QString url = existingSealsUrl(pointId, tableId);
    debugLine(QStringLiteral("Request existing seals on subject from") + url);
    RixRequestHandler handler(m_manager, m_token, nullptr, m_replyTimeoutMs);
    RixRequestHandler::Reply reply = handler.getJson(url);
    if (!call.alive())
        return false;
    ParserExistinPackedSeals parser;
    std::unique_ptr<Result> result = RixRequestHandler::parseReply(reply.get(), parser);
    reply.reset();
    if (!result || !result->data())
        return false;
    int count = 0;
    for (const auto &seal : result->takeData<PaginationList<Seal>>()->takeItems()) {
        if (seal->apId() != apId)
            ++count;
    }
    debugLine(QStringLiteral("Other seal count:") + QString::number(count) + QLatin1Char(' '));
    return count > 0;
}

void JSON::renameOtherLocks(const QString &pointId, const QString &tableId, const QString &apId)
{
    Call call(this);
    const QString url = existingSealsUrl(pointId, tableId);
    debugLine(QStringLiteral("Rename all except using") + url);
    RixRequestHandler handler(m_manager, m_token, nullptr, m_replyTimeoutMs);
    RixRequestHandler::Reply reply = handler.getJson(url);
    if (!call.alive())
        return;
    ParserExistinPackedSeals parser;
    std::unique_ptr<Result> result = RixRequestHandler::parseReply(reply.get(), parser);
    reply.reset();
    if (!result || !result->data())
        return;
    const auto seals = result->takeData<PaginationList<Seal>>()->takeItems();
    const QString lockUrl = m_baseUrl + QStringLiteral("/veskservice/lock");
    for (const auto &seal : seals) {
        if (seal->apId() == apId)
            continue;
        const QString description = QString::number(seal->apRfId());
        debugLine(QStringLiteral("Set") + seal->apId() + QStringLiteral(" description to") + description);
        const QString body = JsonBody().add("lockId", seal->apId()).add("description", description).object();
        // The rename's reply is not read: a failed rename does not stop the others.
        handler.putJson(lockUrl, body).reset();
        if (!call.alive())
            return;
        debugLine(QStringLiteral("Sent") + body);
    }
}

std::unique_ptr<Seal> JSON::sealTimetable(const QString &pointId, const QString &tableId, const QString &apId,
                                          bool *answered)
{
    Call call(this);
    const QString url = m_baseUrl + QStringLiteral("/veskservice/timetable/seal");
    const QString body = JsonBody().add("pointId", pointId).add("tableId", tableId).add("apId", apId).object();
    RixRequestHandler handler(m_manager, m_token, nullptr, m_replyTimeoutMs);
    RixRequestHandler::Reply reply = handler.putJson(url, body);
    if (answered)
        *answered = call.alive() && reply &&
                    (reply->error() == QNetworkReply::NoError ||
                     reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
    if (!call.alive())
        return nullptr;
    ParserSeal parser;
    std::unique_ptr<Result> result = RixRequestHandler::parseReply(reply.get(), parser);
    reply.reset();
    if (!result || !result->data())
        return nullptr;
    std::unique_ptr<Seal> seal = result->takeData<Seal>();
    debugLine(QStringLiteral("tableid:") + seal->tableId() + QLatin1Char(' '));
    debugLine(QStringLiteral("pointid:") + seal->pointId() + QLatin1Char(' '));
    debugLine(QStringLiteral("apid:") + seal->apId() + QLatin1Char(' '));
    debugLine(QStringLiteral("examscehid:") + QString::number(seal->examSchedId()) + QLatin1Char(' '));
    return seal;
}
