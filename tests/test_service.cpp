#include "service/json.h"
#include "service/jsonbody.h"
#include "service/rixrequesthandler.h"
#include "sim/webservice.h"
#include "support/loopbackhttpserver.h"
#include "support/outputcapture.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QByteArray Token = "tok-5e1f9a2b7c";
const QByteArray Digest = "5F4DCC3B5AA765D61D8327DEB882CF99"; // MD5 of "password"
const QByteArray UserReply = R"({"rc":200,"result":{"userId":"7","userName":"ana"}})";

// "qa+team&co=1" / "p@ss word+&=" is the simulator's account with form characters in both fields.
const QByteArray OddUserForm =
    "username=qa%2Bteam%26co%3D1&password=" + RixRequestHandler::passwordDigest("p@ss word+&=");

QList<QByteArray> headerNames(const sim::RecordedRequest &request)
{
    QList<QByteArray> names;
    for (const auto &header : request.headers)
        names << QByteArray::fromStdString(header.first);
    return names;
}

QByteArray header(const sim::RecordedRequest &request, const char *name)
{
    return QByteArray::fromStdString(request.header(name));
}

std::unique_ptr<JSON> loggedIn(LoopbackHttpServer &server)
{
    auto session = std::make_unique<JSON>("127.0.0.1", server.port());
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
    void init();
    void cleanup();

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
    void lock_foundByRfAndValidated();
    void assign_succeedsOnlyWithCode200AndList_data();
    void assign_succeedsOnlyWithCode200AndList();
    void login_withoutTokenHeader_leavesTokenEmpty();
    void reassign_stopsAfterFailedDeassign();
    void otherSeals_countedAndRenamedWithTagNumbers();
    void seal_recordedOrRefused();
    void handler_timesOutAndReleasesReply();
    void wait_replyFinishedDuringNestedWaitStillCounts();
    void session_deletedDuringWait_callReturnsNone();

private:
    // A session signed in to the simulator as "operator".
    std::unique_ptr<JSON> signedIn();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<sim::WebService> m_service;
};

void TestService::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    sim::WebService::Options options;
    options.databasePath = m_dir->filePath("vesk.db").toStdString();
    m_service = std::make_unique<sim::WebService>(options);
    std::string error;
    QVERIFY2(m_service->start(&error), error.c_str());
}

void TestService::cleanup()
{
    m_service.reset();
    m_dir.reset();
}

std::unique_ptr<JSON> TestService::signedIn()
{
    auto session = std::make_unique<JSON>("127.0.0.1", QString::number(m_service->port()));
    OutputCapture quiet;
    if (!session->login("operator", "Pack2025").first)
        return nullptr;
    m_service->clearRequests();
    return session;
}

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
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("find lock") << 0 << QByteArray("/veskservice/lock/find/by/rf/303659") << QByteArray();
    QTest::newRow("find lock, odd tag") << 1 << QByteArray("/veskservice/lock/find/by/rf/a%2Fb%3F%20c") << QByteArray();
    QTest::newRow("validate") << 2 << QByteArray("/veskservice/lock/validate")
                              << QByteArray(R"({"lockId":"L\"1","description":"123","type":2})");
    QTest::newRow("link") << 3 << QByteArray("/veskservice/examschedule/link/subject/to/center")
                          << QByteArray(R"({"scanCode":"2531011021"})");
    QTest::newRow("assign") << 4 << QByteArray("/veskservice/examschedule/assign/sub/center/")
                            << QByteArray(R"([{"pointId":"1052","tableId":"3101"}])");
    QTest::newRow("deassign") << 5 << QByteArray("/veskservice/examschedule/deassign/sub/center/")
                              << QByteArray(R"([{"pointId":"1052","tableId":"3101"}])");
    QTest::newRow("existing seals") << 6 << QByteArray("/veskservice/examschedule/ap?pointId=1%26x%3D2&tableId=3101")
                                    << QByteArray();
    QTest::newRow("seal") << 7 << QByteArray("/veskservice/timetable/seal")
                          << QByteArray(R"({"pointId":"1021","tableId":"3101","apId":"5101"})");
}

void TestService::operations_sendExactRequests()
{
    QFETCH(int, operation);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    const std::unique_ptr<JSON> session = signedIn();
    QVERIFY(session);
    QSignalSpy busy(session.get(), &JSON::busyChanged);
    OutputCapture quiet;
    switch (operation) {
    case 0:
        QVERIFY(session->findLockByRf("303659"));
        break;
    case 1:
        QVERIFY(!session->findLockByRf("a/b? c"));
        break;
    case 2:
        QVERIFY(!session->validateLock("L\"1", "123"));
        break;
    case 3:
        QVERIFY(session->linkSubjectToCenter("2531011021"));
        break;
    case 4:
        QVERIFY(session->assignSubjectToCenter("1052", "3101"));
        break;
    case 5:
        QVERIFY(session->deassignSubjectToCenter("1052", "3101"));
        break;
    case 6:
        QVERIFY(!session->hasOtherSeals("1&x=2", "3101", "5101"));
        break;
    default:
        QVERIFY(session->sealTimetable("1021", "3101", "5101"));
    }
    QCOMPARE(busy.count(), 2);
    QCOMPARE(busy.at(0).at(0).toInt(), 1);
    QCOMPARE(session->busy(), 0);
    QCOMPARE(session->manager()->findChildren<QNetworkReply *>().size(), 0);

    const std::vector<sim::RecordedRequest> requests = m_service->requests();
    QCOMPARE(requests.size(), std::size_t(1));
    const sim::RecordedRequest &request = requests.front();
    const bool put = body.size() > 0;
    QCOMPARE(QByteArray::fromStdString(request.method), QByteArray(put ? "PUT" : "GET"));
    QCOMPARE(QByteArray::fromStdString(request.target), target);
    QCOMPARE(QByteArray::fromStdString(request.body), body);
    // Qt's HTTP layer writes Content-Length itself, after the headers the handler sets.
    QList<QByteArray> expected = {"DRAV-Token", "Accept", "Content-Type"};
    if (put)
        expected << "X-HTTP-Method-Override";
    QList<QByteArray> sent = headerNames(request);
    sent.erase(
        std::remove_if(sent.begin(), sent.end(), [&](const QByteArray &name) { return !expected.contains(name); }),
        sent.end());
    QCOMPARE(sent, expected);
    QCOMPARE(header(request, "DRAV-Token"), session->token());
    QCOMPARE(header(request, "Accept"), QByteArray("application/json"));
    QCOMPARE(header(request, "Content-Type"), QByteArray("application/json"));
    QCOMPARE(header(request, "Content-Length"), put ? QByteArray::number(body.size()) : QByteArray());
    QCOMPARE(header(request, "X-HTTP-Method-Override"), put ? QByteArray("PUT") : QByteArray());
}

void TestService::login_sendsFormOnlyAndMasksSecrets()
{
    JSON session("127.0.0.1", QString::number(m_service->port()));
    OutputCapture capture;
    const LoginOutcome outcome = session.login("qa+team&co=1", "p@ss word+&=");
    const QByteArray out = capture.finish();
    QCOMPARE(outcome, LoginOutcome(true, QString()));
    QCOMPARE(session.token().size(), 32);
    QCOMPARE(session.userName(), QString("qa+team&co=1"));

    const sim::RecordedRequest request = m_service->requests().at(0);
    QCOMPARE(QByteArray::fromStdString(request.method + " " + request.target), QByteArray("POST /veskservice/login"));
    QCOMPARE(QByteArray::fromStdString(request.body), OddUserForm);
    QCOMPARE(header(request, "Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY(!request.hasHeader("DRAV-Token") && !request.hasHeader("X-HTTP-Method-Override"));

    QCOMPARE(out, "DRAV-Token:username=qa%2Bteam%26co%3D1&password=" + QByteArray(32, '*') + "\n");
    const QStringList messages = capture.messages();
    QCOMPARE(messages.count("DRAV-Token:" + session.token().left(4) + "****"), 2);
    const QString log = messages.join('\n');
    QVERIFY(!log.contains(session.token().mid(4)));
    QVERIFY(!log.contains(RixRequestHandler::passwordDigest("p@ss word+&=")) && !log.contains("p@ss"));
}

void TestService::login_outcomes_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("message");
    const int none = static_cast<int>(sim::FaultAction::Answer);
    QTest::newRow("success") << none << "Pack2025" << true << "";
    QTest::newRow("wrong password") << none << "pack2025" << false << "Host requires authentication";
    QTest::newRow("not json") << static_cast<int>(sim::FaultAction::NotJson) << "Pack2025" << false
                              << "Invalid response";
    QTest::newRow("server error") << static_cast<int>(sim::FaultAction::ServerError) << "Pack2025" << false
                                  << "Internal Server Error";
    QTest::newRow("no answer") << static_cast<int>(sim::FaultAction::NoAnswer) << "Pack2025" << false
                               << "Could not connect";
}

void TestService::login_outcomes()
{
    QFETCH(int, fault);
    QFETCH(QString, password);
    QFETCH(bool, success);
    QFETCH(QString, message);
    const std::unique_ptr<JSON> session = signedIn();
    QVERIFY(session);
    const QByteArray oldToken = session->token();
    session->setReplyTimeout(300);
    m_service->addFault({"/veskservice/login", static_cast<sim::FaultAction>(fault)});
    OutputCapture capture;
    const LoginOutcome outcome = session->login("operator", password);
    capture.finish();
    QCOMPARE(outcome.first, success);
    QVERIFY2(message.isEmpty() ? outcome.second.isEmpty() : outcome.second.endsWith(message),
             qPrintable(outcome.second));
    QCOMPARE(session->token() == oldToken, !success);
    QCOMPARE(capture.messages().contains("JSON timed out"), message == "Could not connect");
    QCOMPARE(session->manager()->findChildren<QNetworkReply *>().size(), 0);
}

void TestService::lock_foundByRfAndValidated()
{
    const std::unique_ptr<JSON> session = signedIn();
    QVERIFY(session);
    OutputCapture quiet;
    const std::unique_ptr<Lock> lock = session->findLockByRf("411873");
    QVERIFY(lock);
    QCOMPARE(lock->lockId(), QString("5108"));
    QCOMPARE(lock->commissionState(), CommissionState::Other);
    QVERIFY(session->validateLock(lock->lockId(), "411873"));
    QCOMPARE(m_service->lock("5108")->commissionState, std::string("COMMISSIONED"));
    QVERIFY(!session->findLockByRf("999"));
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

void TestService::login_withoutTokenHeader_leavesTokenEmpty()
{
    LoopbackHttpServer server;
    server.setDefaultResponse(LoopbackHttpServer::response(200, UserReply));
    JSON session("127.0.0.1", server.port());
    OutputCapture quiet;
    QCOMPARE(session.login("ana", "password"), LoginOutcome(true, QString()));
    QVERIFY(session.token().isEmpty());
}

void TestService::reassign_stopsAfterFailedDeassign()
{
    const std::unique_ptr<JSON> session = signedIn();
    QVERIFY(session);
    OutputCapture quiet;
    QVERIFY(session->reassignSubjectToCenter("1021", "3101"));
    std::vector<sim::RecordedRequest> requests = m_service->requests();
    QCOMPARE(requests.size(), std::size_t(2));
    QCOMPARE(requests[0].path, std::string("/veskservice/examschedule/deassign/sub/center/"));
    QCOMPARE(requests[1].path, std::string("/veskservice/examschedule/assign/sub/center/"));
    QCOMPARE(m_service->isAssigned("1021", "3101"), std::optional<bool>(true));

    m_service->clearRequests();
    m_service->addFault({"/veskservice/examschedule/deassign/sub/center/", sim::FaultAction::ServerError});
    QVERIFY(!session->reassignSubjectToCenter("1021", "3101"));
    QCOMPARE(m_service->requests().size(), std::size_t(1));
}

void TestService::otherSeals_countedAndRenamedWithTagNumbers()
{
    const std::unique_ptr<JSON> session = signedIn();
    QVERIFY(session);
    OutputCapture capture;
    // 1034/3101 already holds seals with 5104 and 5105; 5110's tag needs more than 32 bits.
    QVERIFY(session->sealTimetable("1034", "3101", "5110"));
    QVERIFY(session->hasOtherSeals("1034", "3101", "5105"));
    QVERIFY(capture.messages().contains("Other seal count:2 "));
    m_service->clearRequests();
    session->renameOtherLocks("1034", "3101", "5105");
    const std::vector<sim::RecordedRequest> requests = m_service->requests();
    QCOMPARE(requests.size(), std::size_t(3));
    QCOMPARE(requests[0].target, std::string("/veskservice/examschedule/ap?pointId=1034&tableId=3101"));
    QCOMPARE(requests[1].method + " " + requests[1].path, std::string("PUT /veskservice/lock"));
    QCOMPARE(requests[1].body, std::string(R"({"lockId":"5104","description":"303662"})"));
    QCOMPARE(requests[2].body, std::string(R"({"lockId":"5110","description":"5000000123"})"));
    QCOMPARE(m_service->lock("5110")->description, std::string("5000000123"));

    m_service->clearRequests();
    QVERIFY(!session->hasOtherSeals("1021", "3101", "5101"));
    session->renameOtherLocks("1021", "3101", "5101");
    QCOMPARE(m_service->requests().size(), std::size_t(2));
}

void TestService::seal_recordedOrRefused()
{
    const std::unique_ptr<JSON> session = signedIn();
    QVERIFY(session);
    OutputCapture capture;
    const std::unique_ptr<Seal> seal = session->sealTimetable("1021", "3101", "5101");
    QVERIFY(seal);
    QCOMPARE(seal->tableId() + seal->pointId() + seal->apId(), QString("310110215101"));
    QCOMPARE(seal->examSchedId(), 7001);
    QCOMPARE(seal->apRfId(), quint64(303659));
    QVERIFY(capture.messages().contains("examscehid:7001 "));
    const sim::SealRow row = m_service->seals().back();
    QCOMPARE(row.apId + "/" + row.userId, std::string("5101/17"));
    // 5107 is not commissioned: the service answers with a null result.
    QVERIFY(!session->sealTimetable("1021", "3102", "5107"));
}

void TestService::handler_timesOutAndReleasesReply()
{
    m_service->addFault({"", sim::FaultAction::NoAnswer});
    QNetworkAccessManager manager;
    RixRequestHandler handler(&manager, Token, nullptr, 200);
    QCOMPARE(RixRequestHandler(&manager, Token).timeout(), 30000);
    OutputCapture capture;
    QVERIFY(!handler.getJson(QString::fromStdString(m_service->baseUrl()) + "/veskservice/lock/find/by/rf/1"));
    QCOMPARE(capture.messages(), QStringList("JSON timed out"));
    QCOMPARE(m_service->requestCount(), std::size_t(1));
    QCOMPARE(manager.findChildren<QNetworkReply *>().size(), 0);
}

void TestService::wait_replyFinishedDuringNestedWaitStillCounts()
{
    const std::unique_ptr<JSON> session = signedIn();
    QVERIFY(session);
    session->setReplyTimeout(200);
    m_service->addFault({"/veskservice/lock/find/by/rf/*", sim::FaultAction::Answer, std::chrono::milliseconds(50)});
    m_service->addFault({"/veskservice/lock/validate", sim::FaultAction::NoAnswer});
    QNetworkAccessManager manager;
    RixRequestHandler inner(&manager, session->token(), nullptr, 600);
    bool innerAnswered = true;
    // The inner wait outlasts both the outer reply and the outer time limit.
    QTimer::singleShot(
        0, [&] { innerAnswered = inner.putJson(session->baseUrl() + "/veskservice/lock/validate", "{}") != nullptr; });
    OutputCapture quiet;
    const std::unique_ptr<Lock> lock = session->findLockByRf("303659");
    QVERIFY(!innerAnswered);
    QVERIFY(lock);
    QCOMPARE(lock->lockId(), QString("5101"));
}

void TestService::session_deletedDuringWait_callReturnsNone()
{
    std::unique_ptr<JSON> session = signedIn();
    QVERIFY(session);
    m_service->addFault({"", sim::FaultAction::NoAnswer});
    QTimer::singleShot(100, [&] { session.reset(); });
    QElapsedTimer clock;
    clock.start();
    OutputCapture quiet;
    JSON *raw = session.get();
    QVERIFY(!raw->findLockByRf("303659"));
    QVERIFY(!session);
    QVERIFY(clock.elapsed() < 5000);
}

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
