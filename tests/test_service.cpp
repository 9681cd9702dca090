#include "service/json.h"
#include "service/jsonbody.h"
#include "service/rixrequesthandler.h"
#include "support/loopbackhttpserver.h"
#include "support/outputcapture.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {
const QByteArray Token = "tok-5e1f9a2b7c";
const QByteArray Digest = "5F4DCC3B5AA765D61D8327DEB882CF99"; // MD5 of "password"
const QByteArray UserReply = R"({"rc":200,"result":{"userId":"7","userName":"ana"}})";

struct Request
{
    QByteArray line;
    QList<QByteArray> headerNames;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
};

Request split(const QByteArray &raw)
{
    Request request;
    const int end = raw.indexOf("\r\n\r\n");
    QList<QByteArray> lines = raw.left(end).split('\n');
    request.line = lines.takeFirst().trimmed();
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        request.headerNames << line.left(colon);
        request.headers.insert(line.left(colon), line.mid(colon + 1).trimmed());
    }
    request.body = raw.mid(end + 4);
    return request;
}

std::unique_ptr<JSON> loggedIn(LoopbackHttpServer &server)
{
    auto session = std::make_unique<JSON>("127.0.0.1", server.port());
    session->setReplyTimeout(5000);
    server.enqueue(LoopbackHttpServer::response(200, UserReply, "DRAV-Token: " + Token + "\r\n"));
    OutputCapture quiet;
    session->login("ana", "password");
    return session;
}
} // namespace

class TestService : public QObject
{
    Q_OBJECT

private slots:
    void jsonBody_escapesTexts_data();
    void jsonBody_escapesTexts();
    void baseUrl_addsSchemeOnlyToBareHosts_data();
    void baseUrl_addsSchemeOnlyToBareHosts();
    void loginForm_percentEncodesFields_data();
    void loginForm_percentEncodesFields();
    void operations_sendExactRequests_data();
    void operations_sendExactRequests();
    void login_sendsFormOnlyAndMasksSecrets();
    void login_outcomes_data();
    void login_outcomes();
    void assign_succeedsOnlyWithCode200AndList_data();
    void assign_succeedsOnlyWithCode200AndList();
    void reassign_stopsAfterFailedDeassign();
    void otherSeals_countedAndRenamedWithTagNumbers();
    void handler_timesOutAndReleasesReply();
    void wait_replyFinishedDuringNestedWaitStillCounts();
    void session_deletedDuringWait_callReturnsNone();
};

void TestService::jsonBody_escapesTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("quoted");
    QTest::newRow("plain") << "L-0042"
                           << R"("L-0042")";
    QTest::newRow("quote") << R"(a"b)"
                           << R"("a\"b")";
    QTest::newRow("backslash") << R"(a\b)"
                               << R"("a\\b")";
    QTest::newRow("controls") << "a\n\t\r\x01"
                              << R"("a\n\t\r\u0001")";
    QTest::newRow("unicode") << QString::fromUtf8("Zoë €") << QString::fromUtf8(R"("Zoë €")");
}

void TestService::jsonBody_escapesTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, quoted);
    QCOMPARE(JsonBody::quote(text), quoted);
    const QString body = JsonBody().add("lockId", text).add("type", 2).object();
    QCOMPARE(QJsonDocument::fromJson(body.toUtf8()).object().value("lockId").toString(), text);
}

void TestService::baseUrl_addsSchemeOnlyToBareHosts_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("baseUrl");
    QTest::newRow("bare") << "10.0.0.5"
                          << "http://10.0.0.5:443";
    QTest::newRow("https") << "https://vesk.example"
                           << "https://vesk.example:443";
    QTest::newRow("http inside") << "myhttphost"
                                 << "myhttphost:443";
}

void TestService::baseUrl_addsSchemeOnlyToBareHosts()
{
    QFETCH(QString, host);
    QFETCH(QString, baseUrl);
    OutputCapture capture;
    JSON session(host, "443");
    QCOMPARE(session.baseUrl(), baseUrl);
    QCOMPARE(capture.messages().value(1), "URL that will be used: [" + baseUrl + "]");
    QCOMPARE(session.busy(), 0);
}

void TestService::loginForm_percentEncodesFields_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("form");
    QTest::newRow("plain") << "operator_1"
                           << "username=operator_1&password=" + Digest;
    QTest::newRow("form characters") << "a&b=c+d"
                                     << "username=a%26b%3Dc%2Bd&password=" + Digest;
    QTest::newRow("space and accent") << QString::fromUtf8("Zoë M") << "username=Zo%C3%AB%20M&password=" + Digest;
}

void TestService::loginForm_percentEncodesFields()
{
    QFETCH(QString, user);
    QFETCH(QByteArray, form);
    QCOMPARE(RixRequestHandler::loginForm(user, RixRequestHandler::passwordDigest("password")), form);
}

void TestService::operations_sendExactRequests_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("find lock") << 0 << QByteArray("GET /veskservice/lock/find/by/rf/00A1 HTTP/1.1") << QByteArray();
    QTest::newRow("find lock, odd tag") << 1 << QByteArray("GET /veskservice/lock/find/by/rf/a%2Fb%3F%20c HTTP/1.1")
                                        << QByteArray();
    QTest::newRow("validate") << 2 << QByteArray("PUT /veskservice/lock/validate HTTP/1.1")
                              << QByteArray(R"({"lockId":"L\"1","description":"123","type":2})");
    QTest::newRow("link") << 3 << QByteArray("PUT /veskservice/examschedule/link/subject/to/center HTTP/1.1")
                          << QByteArray(R"({"scanCode":"SC-0001"})");
    QTest::newRow("assign") << 4 << QByteArray("PUT /veskservice/examschedule/assign/sub/center/ HTTP/1.1")
                            << QByteArray(R"([{"pointId":"12","tableId":"34"}])");
    QTest::newRow("deassign") << 5 << QByteArray("PUT /veskservice/examschedule/deassign/sub/center/ HTTP/1.1")
                              << QByteArray(R"([{"pointId":"12","tableId":"34"}])");
    QTest::newRow("existing seals") << 6
                                    << QByteArray("GET /veskservice/examschedule/ap?pointId=1%26x%3D2&tableId=34 "
                                                  "HTTP/1.1")
                                    << QByteArray();
    QTest::newRow("seal") << 7 << QByteArray("PUT /veskservice/timetable/seal HTTP/1.1")
                          << QByteArray(R"({"pointId":"12","tableId":"34","apId":"56"})");
}

void TestService::operations_sendExactRequests()
{
    QFETCH(int, operation);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, body);
    LoopbackHttpServer server;
    const std::unique_ptr<JSON> session = loggedIn(server);
    QSignalSpy busy(session.get(), &JSON::busyChanged);
    OutputCapture quiet;
    switch (operation) {
    case 0:
        session->findLockByRf("00A1");
        break;
    case 1:
        session->findLockByRf("a/b? c");
        break;
    case 2:
        session->validateLock("L\"1", "123");
        break;
    case 3:
        session->linkSubjectToCenter("SC-0001");
        break;
    case 4:
        session->assignSubjectToCenter("12", "34");
        break;
    case 5:
        session->deassignSubjectToCenter("12", "34");
        break;
    case 6:
        session->hasOtherSeals("1&x=2", "34", "56");
        break;
    default:
        session->sealTimetable("12", "34", "56");
    }
    QCOMPARE(busy.count(), 2);
    QCOMPARE(busy.at(0).at(0).toInt(), 1);
    QCOMPARE(session->busy(), 0);
    QCOMPARE(session->manager()->findChildren<QNetworkReply *>().size(), 0);
    QCOMPARE(server.requests().size(), 2);
    const Request request = split(server.requests().at(1));
    QCOMPARE(request.line, line);
    QCOMPARE(request.body, body);
    // Qt's HTTP layer writes Content-Length itself, after the headers the handler sets.
    QList<QByteArray> expected = {"DRAV-Token", "Accept", "Content-Type"};
    if (line.startsWith("PUT"))
        expected << "X-HTTP-Method-Override";
    QList<QByteArray> sent = request.headerNames;
    sent.erase(
        std::remove_if(sent.begin(), sent.end(), [&](const QByteArray &name) { return !expected.contains(name); }),
        sent.end());
    QCOMPARE(sent, expected);
    QCOMPARE(request.headerNames.count("Content-Length"), line.startsWith("PUT") ? 1 : 0);
    QCOMPARE(request.headers.value("DRAV-Token"), Token);
    QCOMPARE(request.headers.value("Accept"), QByteArray("application/json"));
    QCOMPARE(request.headers.value("Content-Type"), QByteArray("application/json"));
    if (line.startsWith("PUT")) {
        QCOMPARE(request.headers.value("Content-Length"), QByteArray::number(body.size()));
        QCOMPARE(request.headers.value("X-HTTP-Method-Override"), QByteArray("PUT"));
    }
}

void TestService::login_sendsFormOnlyAndMasksSecrets()
{
    LoopbackHttpServer server;
    server.enqueue(LoopbackHttpServer::response(200, UserReply, "DRAV-Token: " + Token + "\r\n"));
    JSON session("127.0.0.1", server.port());
    OutputCapture capture;
    const LoginOutcome outcome = session.login("ana+1", "password");
    const QByteArray out = capture.finish();
    QCOMPARE(outcome, LoginOutcome(true, QString()));
    QCOMPARE(session.token(), Token);
    QCOMPARE(session.userName(), QString("ana+1"));

    const Request request = split(server.requests().value(0));
    QCOMPARE(request.line, QByteArray("POST /veskservice/login HTTP/1.1"));
    QCOMPARE(request.body, "username=ana%2B1&password=" + Digest);
    QCOMPARE(request.headers.value("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY(!request.headers.contains("DRAV-Token"));
    QVERIFY(!request.headers.contains("X-HTTP-Method-Override"));

    QCOMPARE(out, "DRAV-Token:username=ana%2B1&password=" + QByteArray(32, '*') + "\n");
    const QStringList messages = capture.messages();
    QVERIFY(messages.contains("DRAV-Token:tok-****"));
    QVERIFY(messages.contains("Name:ana"));
    const QString log = messages.join('\n');
    QVERIFY(!log.contains(Token.mid(4)));
    QVERIFY(!log.contains(Digest) && !log.contains("password"));
}

void TestService::login_outcomes_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("token");
    const QByteArray tokenHeader = "DRAV-Token: " + Token + "\r\n";
    QTest::newRow("success") << LoopbackHttpServer::response(200, UserReply, tokenHeader) << true << "" << Token;
    QTest::newRow("no token header") << LoopbackHttpServer::response(200, UserReply) << true << "" << QByteArray();
    QTest::newRow("not json") << LoopbackHttpServer::response(200, "<html>", tokenHeader) << false << "Invalid response"
                              << QByteArray("old");
    QTest::newRow("no user") << LoopbackHttpServer::response(200, R"({"rc":200,"result":null})", tokenHeader) << false
                             << "" << QByteArray("old");
    QTest::newRow("unauthorised") << LoopbackHttpServer::response(401, R"({"rc":401})", tokenHeader) << false
                                  << "Host requires authentication" << QByteArray("old");
    QTest::newRow("no answer") << QByteArray() << false << "Could not connect" << QByteArray("old");
}

void TestService::login_outcomes()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, success);
    QFETCH(QString, message);
    QFETCH(QByteArray, token);
    LoopbackHttpServer server;
    JSON session("127.0.0.1", server.port());
    session.setReplyTimeout(300);
    server.enqueue(LoopbackHttpServer::response(200, R"({"result":{"userName":"x"}})", "DRAV-Token: old\r\n"));
    server.enqueue(response);
    OutputCapture capture;
    QVERIFY(session.login("x", "y").first);
    const LoginOutcome outcome = session.login("ana", "password");
    capture.finish();
    QCOMPARE(outcome.first, success);
    QVERIFY2(message.isEmpty() ? outcome.second.isEmpty() : outcome.second.endsWith(message),
             qPrintable(outcome.second));
    QCOMPARE(session.token(), token);
    QCOMPARE(capture.messages().contains("JSON timed out"), response.isEmpty());
    QCOMPARE(session.manager()->findChildren<QNetworkReply *>().size(), 0);
}

void TestService::assign_succeedsOnlyWithCode200AndList_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("success");
    QTest::newRow("200 with list") << QByteArray(R"({"rc":200,"result":[{"tableId":"34"}]})") << true;
    QTest::newRow("201 with list") << QByteArray(R"({"rc":201,"result":[{"tableId":"34"}]})") << false;
    QTest::newRow("200 without result") << QByteArray(R"({"rc":200})") << false;
    QTest::newRow("not json") << QByteArray("oops") << false;
}

void TestService::assign_succeedsOnlyWithCode200AndList()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, success);
    LoopbackHttpServer server;
    const std::unique_ptr<JSON> session = loggedIn(server);
    server.setDefaultResponse(LoopbackHttpServer::response(200, reply));
    OutputCapture quiet;
    QCOMPARE(session->assignSubjectToCenter("12", "34"), success);
}

void TestService::reassign_stopsAfterFailedDeassign()
{
    LoopbackHttpServer server;
    const std::unique_ptr<JSON> session = loggedIn(server);
    server.setDefaultResponse(LoopbackHttpServer::response(200, R"({"rc":200,"result":[]})"));
    OutputCapture quiet;
    QVERIFY(session->reassignSubjectToCenter("12", "34"));
    QCOMPARE(server.requests().size(), 3);
    QVERIFY(server.requests().at(1).startsWith("PUT /veskservice/examschedule/deassign/"));
    QVERIFY(server.requests().at(2).startsWith("PUT /veskservice/examschedule/assign/"));

    server.enqueue(LoopbackHttpServer::response(500, R"({"rc":500})"));
    QVERIFY(!session->reassignSubjectToCenter("12", "34"));
    QCOMPARE(server.requests().size(), 4);
}

void TestService::otherSeals_countedAndRenamedWithTagNumbers()
{
    LoopbackHttpServer server;
    const std::unique_ptr<JSON> session = loggedIn(server);
    const QByteArray seals = R"({"rc":200,"result":{"count":3,"list":[{"apId":"A1","apRfId":4294967297},)"
                             R"({"apId":"56","apRfId":9},{"apId":"A3","apRfId":"77"}]}})";
    server.setDefaultResponse(LoopbackHttpServer::response(200, seals));
    OutputCapture capture;
    QVERIFY(session->hasOtherSeals("12", "34", "56"));
    QVERIFY(capture.messages().contains("Other seal count:2 "));
    session->renameOtherLocks("12", "34", "56");
    QCOMPARE(server.requests().size(), 5);
    QVERIFY(server.requests().at(2).startsWith("GET /veskservice/examschedule/ap?pointId=12&tableId=34 "));
    const Request first = split(server.requests().at(3));
    QCOMPARE(first.line, QByteArray("PUT /veskservice/lock HTTP/1.1"));
    QCOMPARE(first.body, QByteArray(R"({"lockId":"A1","description":"4294967297"})"));
    QCOMPARE(split(server.requests().at(4)).body, QByteArray(R"({"lockId":"A3","description":"77"})"));

    server.setDefaultResponse(LoopbackHttpServer::response(200, R"({"rc":200,"result":{"list":[]}})"));
    QVERIFY(!session->hasOtherSeals("12", "34", "56"));
    session->renameOtherLocks("12", "34", "56");
    QCOMPARE(server.requests().size(), 7);
}

void TestService::handler_timesOutAndReleasesReply()
{
    LoopbackHttpServer server;
    server.setDefaultResponse(QByteArray());
    QNetworkAccessManager manager;
    RixRequestHandler handler(&manager, Token, nullptr, 200);
    QCOMPARE(RixRequestHandler(&manager, Token).timeout(), 30000);
    OutputCapture capture;
    QVERIFY(!handler.getJson(server.baseUrl() + "/veskservice/lock/find/by/rf/1"));
    QCOMPARE(capture.messages(), QStringList("JSON timed out"));
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(manager.findChildren<QNetworkReply *>().size(), 0);
}

void TestService::wait_replyFinishedDuringNestedWaitStillCounts()
{
    LoopbackHttpServer slow;
    slow.setAnswerDelay(50);
    const std::unique_ptr<JSON> session = loggedIn(slow);
    session->setReplyTimeout(200);
    slow.setDefaultResponse(LoopbackHttpServer::response(200, R"({"result":{"lockId":"L1"}})"));
    LoopbackHttpServer silent;
    silent.setDefaultResponse(QByteArray());
    QNetworkAccessManager manager;
    RixRequestHandler inner(&manager, Token, nullptr, 600);
    bool innerAnswered = true;
    // The inner wait outlasts both the outer reply and the outer time limit.
    QTimer::singleShot(0, [&] { innerAnswered = inner.getJson(silent.baseUrl()) != nullptr; });
    OutputCapture quiet;
    const std::unique_ptr<Lock> lock = session->findLockByRf("1");
    QVERIFY(!innerAnswered);
    QVERIFY(lock);
    QCOMPARE(lock->lockId(), QString("L1"));
}

void TestService::session_deletedDuringWait_callReturnsNone()
{
    LoopbackHttpServer server;
    std::unique_ptr<JSON> session = loggedIn(server);
    server.setDefaultResponse(QByteArray());
    connect(&server, &LoopbackHttpServer::requestReceived, this, [&] { session.reset(); });
    QElapsedTimer clock;
    clock.start();
    OutputCapture quiet;
    JSON *raw = session.get();
    QVERIFY(!raw->findLockByRf("1"));
    QVERIFY(!session);
    QVERIFY(clock.elapsed() < 4000);
}

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
