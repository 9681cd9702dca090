#include "service/json.h"
#include "service/rixrequesthandler.h"
#include "sim/webservice.h"
#include "support/cannedhttpserver.h"
#include "support/outputcapture.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <functional>

using Operation = std::function<bool(JSON &)>;
Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(sim::FaultAction)

namespace {
QByteArray bytes(const std::string &text)
{
    return QByteArray::fromStdString(text);
}
} // namespace

class TestService : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        sim::WebService::Options options;
        options.databasePath = m_dir->filePath("vesk.db").toStdString();
        m_service = std::make_unique<sim::WebService>(options);
        QVERIFY(m_service->start());
    }

    void cleanup()
    {
        m_service.reset();
        m_dir.reset();
    }

    void baseUrl_followsHostText()
    {
        OutputCapture quiet;
        QCOMPARE(JSON("10.0.0.5", "443").baseUrl(), "http://10.0.0.5:443");
        QCOMPARE(JSON("https://vesk.example", "443").baseUrl(), "https://vesk.example:443");
        QCOMPARE(JSON("myhttphost", "80").baseUrl(), "myhttphost:80");
        QCOMPARE(JSON("h", "1").replyTimeout(), 30000);
        const QNetworkRequest request = RixRequestHandler::buildRequest("http://h:1/veskservice/login");
        QCOMPARE(request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
                 int(QNetworkRequest::ManualRedirectPolicy));
    }

    void operations_sendExactRequests_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("body"); // a PUT's, none for a GET
        QTest::addColumn<Operation>("operation");
        const auto row = [](const char *name, const char *target, const char *body, Operation operation) {
            QTest::newRow(name) << QByteArray(target) << QByteArray(body) << operation;
        };
        row("find lock", "/veskservice/lock/find/by/rf/303659", "",
            [](JSON &s) { return bool(s.findLockByRf("303659")); });
        row("find lock, odd tag", "/veskservice/lock/find/by/rf/a%2Fb%3F%20c", "",
            [](JSON &s) { return !s.findLockByRf("a/b? c"); });
        row("validate, texts escaped", "/veskservice/lock/validate",
            "{\"lockId\":\"a\\\"b\\\\c\\n\\t\\r\\u0001 Zoë\",\"description\":\"1\",\"type\":2}",
            [](JSON &s) { return !s.validateLock(QString::fromUtf8("a\"b\\c\n\t\r\x01 Zoë"), "1"); });
        row("link", "/veskservice/examschedule/link/subject/to/center", R"({"scanCode":"2531011021"})",
            [](JSON &s) { return bool(s.linkSubjectToCenter("2531011021")); });
        row("assign", "/veskservice/examschedule/assign/sub/center/", R"([{"pointId":"1052","tableId":"3101"}])",
            [](JSON &s) { return s.assignSubjectToCenter("1052", "3101"); });
        row("deassign", "/veskservice/examschedule/deassign/sub/center/", R"([{"pointId":"1052","tableId":"3101"}])",
            [](JSON &s) { return s.deassignSubjectToCenter("1052", "3101"); });
        row("existing seals", "/veskservice/examschedule/ap?pointId=1%26x%3D2&tableId=3101", "",
            [](JSON &s) { return !s.hasOtherSeals("1&x=2", "3101", "5101"); });
        row("seal", "/veskservice/timetable/seal", R"({"pointId":"1021","tableId":"3101","apId":"5101"})", [](JSON &s) {
            const std::unique_ptr<Seal> seal = s.sealTimetable("1021", "3101", "5101");
            return seal && seal->examSchedId() == 7001;
        });
    }

    void operations_sendExactRequests()
    {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, body);
        QFETCH(Operation, operation);
        const std::unique_ptr<JSON> session = signedIn();
        QVERIFY(session);
        QSignalSpy busy(session.get(), &JSON::busyChanged);
        OutputCapture capture;
        QVERIFY(operation(*session));
        const QString log = capture.messages().join('\n') + QString::fromUtf8(capture.finish());
        QVERIFY2(!log.contains(QString::fromLatin1(session->token().mid(4))), "the session token reached the log");
        QCOMPARE(busy.count(), 2);
        QCOMPARE(busy.at(0).at(0).toInt(), 1);
        QCOMPARE(session->busy(), 0);
        QCOMPARE(session->manager()->findChildren<QNetworkReply *>().size(), 0);

        const std::vector<sim::RecordedRequest> requests = m_service->requests();
        QCOMPARE(requests.size(), std::size_t(1));
        const sim::RecordedRequest &request = requests.front();
        const bool put = !body.isEmpty();
        QCOMPARE(bytes(request.method + " " + request.target), (put ? "PUT " : "GET ") + target);
        QCOMPARE(bytes(request.body), body);
        // The handler's headers and the Content-Length it sets; where Qt places each differs by version.
        const QByteArrayList names = {"DRAV-Token", "Accept", "Content-Type", "X-HTTP-Method-Override",
                                      "Content-Length"};
        QByteArrayList sent;
        for (const auto &header : request.headers) {
            if (names.contains(bytes(header.first)))
                sent << bytes(header.first + ": " + header.second);
        }
        QByteArrayList expected = {"DRAV-Token: " + session->token(), "Accept: application/json",
                                   "Content-Type: application/json"};
        if (put)
            expected << "X-HTTP-Method-Override: PUT"
                     << "Content-Length: " + QByteArray::number(body.size());
        std::sort(sent.begin(), sent.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(sent, expected);
    }

    void login_encodesFormAndMasksSecrets()
    {
        JSON session("127.0.0.1", QString::number(m_service->port()));
        OutputCapture capture;
        // The simulator's account with "&", "=" and "+" in both fields.
        const LoginOutcome outcome = session.login("qa+team&co=1", "p@ss word+&=");
        const QByteArray out = capture.finish();
        QCOMPARE(outcome, LoginOutcome(true, QString()));
        QCOMPARE(session.token().size(), 32);

        const QByteArray digest = RixRequestHandler::passwordDigest("p@ss word+&=");
        QCOMPARE(digest, QByteArray("02FF329AE8153324C2AE83E9A92B197C"));
        const sim::RecordedRequest request = m_service->requests().at(0);
        QCOMPARE(bytes(request.method + " " + request.target), "POST /veskservice/login");
        QCOMPARE(bytes(request.body), "username=qa%2Bteam%26co%3D1&password=" + digest);
        QCOMPARE(bytes(request.header("Content-Type")), "application/x-www-form-urlencoded");
        QVERIFY(!request.hasHeader("DRAV-Token") && !request.hasHeader("X-HTTP-Method-Override"));

        QCOMPARE(out, "DRAV-Token:username=qa%2Bteam%26co%3D1&password=" + QByteArray(32, '*') + "\n");
        // Once in the reply-header dump, once after the token is taken.
        QCOMPARE(capture.messages().count("DRAV-Token:" + session.token().left(4) + "****"), 2);
        const QString log = capture.messages().join('\n');
        QVERIFY(!log.contains(session.token().mid(4)) && !log.contains(digest) && !log.contains("p@ss"));
    }

    void login_outcomes_data()
    {
        QTest::addColumn<sim::FaultAction>("fault");
        QTest::addColumn<QByteArray>("canned"); // a raw reply from a canned server instead of the simulator
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("token"); // "new", "old" or the exact token after the login

        const auto Answer = sim::FaultAction::Answer;
        QTest::newRow("success") << Answer << QByteArray() << "Pack2025"
                                 << "" << QByteArray("new");
        QTest::newRow("401") << Answer << QByteArray() << "pack2025"
                             << "Host requires authentication" << QByteArray("old");
        QTest::newRow("not json") << sim::FaultAction::NotJson << QByteArray() << "Pack2025"
                                  << "Invalid response" << QByteArray("old");
        QTest::newRow("500") << sim::FaultAction::ServerError << QByteArray() << "Pack2025"
                             << "Internal Server Error" << QByteArray("old");
        QTest::newRow("no answer") << sim::FaultAction::NoAnswer << QByteArray() << "Pack2025"
                                   << "Could not connect" << QByteArray("old");

        const QByteArray named = R"({"rc":200,"result":{"userId":"7","userName":"ana"}})";
        const auto reply = [](const QByteArray &headers, const QByteArray &body) {
            return "HTTP/1.1 200 OK\r\nConnection: close\r\n" + headers +
                   "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        };
        const int limit = 4 * 1024 * 1024; // a reply of 4 MiB is taken, one byte more is not
        QTest::newRow("names a user, no token header") << Answer << reply("", named) << "pw"
                                                       << "" << QByteArray();
        QTest::newRow("body just within the limit")
            << Answer << reply("DRAV-Token: T0K3N\r\n", named + QByteArray(limit - named.size(), ' ')) << "pw"
            << "" << QByteArray("T0K3N");
        QTest::newRow("body past the limit")
            << Answer << reply("DRAV-Token: T0K3N\r\n", named + QByteArray(limit - named.size() + 1, ' ')) << "pw"
            << "Invalid response" << QByteArray("old");
        QTest::newRow("no Content-Length, past the limit, never ends")
            << Answer << "HTTP/1.1 200 OK\r\n\r\n" + named + QByteArray(limit, ' ') << "pw"
            << "Invalid response" << QByteArray("old");
        // Refused as the headers arrive, not after the time limit.
        QTest::newRow("huge Content-Length, never sent")
            << Answer << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100000000000\r\n\r\n{") << "pw"
            << "Invalid response" << QByteArray("old");
    }

    void login_outcomes()
    {
        QFETCH(sim::FaultAction, fault);
        QFETCH(QByteArray, canned);
        QFETCH(QString, password);
        QFETCH(QString, message);
        QFETCH(QByteArray, token);
        std::unique_ptr<CannedHttpServer> server;
        std::unique_ptr<JSON> session;
        if (canned.isEmpty()) {
            session = signedIn();
            QVERIFY(session);
            m_service->addFault({"/veskservice/login", fault});
        } else {
            server = std::make_unique<CannedHttpServer>(canned);
            session = std::make_unique<JSON>("127.0.0.1", server->port());
        }
        const QByteArray oldToken = session->token();
        session->setReplyTimeout(fault == sim::FaultAction::NoAnswer ? 300 : 5000);
        OutputCapture capture;
        const LoginOutcome outcome = session->login("operator", password);
        capture.finish();
        const bool success = message.isEmpty();
        QCOMPARE(outcome.first, success);
        QVERIFY2(success ? outcome.second.isEmpty() : outcome.second.endsWith(message), qPrintable(outcome.second));
        if (token == "new")
            QVERIFY(session->token() != oldToken && session->token().size() == 32);
        else
            QCOMPARE(session->token(), token == "old" ? oldToken : token);
        QCOMPARE(capture.messages().contains("JSON timed out"), fault == sim::FaultAction::NoAnswer);
        QCOMPARE(session->manager()->findChildren<QNetworkReply *>().size(), 0);
        // A reply body reaches the log only as a short prefix.
        for (const QString &line : capture.messages())
            QVERIFY2(line.size() < 400, qPrintable(line.left(80)));
    }

    void cannedReplies_assignNeedsCode200()
    {
        OutputCapture quiet;
        CannedHttpServer created(200, R"({"rc":201,"result":[{"pointId":"1","tableId":"2"}]})");
        QVERIFY(!JSON("127.0.0.1", created.port()).assignSubjectToCenter("1", "2"));
        CannedHttpServer listed(200, R"({"rc":200,"result":[{"pointId":"1","tableId":"2"}]})");
        QVERIFY(JSON("127.0.0.1", listed.port()).assignSubjectToCenter("1", "2"));
    }

    // The window suite checks the order after a good deassign; after a failed one nothing is assigned.
    void reassign_stopsAfterFailedDeassign()
    {
        const std::unique_ptr<JSON> session = signedIn();
        QVERIFY(session);
        OutputCapture quiet;
        m_service->addFault({"/veskservice/examschedule/deassign/sub/center/", sim::FaultAction::ServerError});
        QVERIFY(!session->reassignSubjectToCenter("1021", "3101"));
        QCOMPARE(m_service->requests().size(), std::size_t(1));
    }

    void otherSeals_countedAndRenamedWithTagNumbers()
    {
        const std::unique_ptr<JSON> session = signedIn();
        QVERIFY(session);
        OutputCapture quiet;
        // 1034/3101 already holds seals with 5104 and 5105; 5110's tag needs more than 32 bits.
        QVERIFY(session->sealTimetable("1034", "3101", "5110"));
        QVERIFY(session->hasOtherSeals("1034", "3101", "5105"));
        QVERIFY(session->sealTimetable("1021", "3101", "5101"));
        QVERIFY(!session->hasOtherSeals("1021", "3101", "5101")); // its own seal only
        m_service->clearRequests();
        session->renameOtherLocks("1034", "3101", "5105");
        const std::vector<sim::RecordedRequest> requests = m_service->requests();
        QCOMPARE(requests.size(), std::size_t(3));
        QCOMPARE(requests[0].target, std::string("/veskservice/examschedule/ap?pointId=1034&tableId=3101"));
        QCOMPARE(requests[1].method + " " + requests[1].path, std::string("PUT /veskservice/lock"));
        QCOMPARE(requests[1].body, std::string(R"({"lockId":"5104","description":"303662"})"));
        QCOMPARE(requests[2].body, std::string(R"({"lockId":"5110","description":"5000000123"})"));
        QCOMPARE(m_service->lock("5110")->description, std::string("5000000123"));
    }

    void wait_replyFinishedDuringNestedWaitStillCounts()
    {
        const std::unique_ptr<JSON> session = signedIn();
        QVERIFY(session);
        session->setReplyTimeout(200);
        m_service->addFault(
            {"/veskservice/lock/find/by/rf/*", sim::FaultAction::Answer, std::chrono::milliseconds(50)});
        m_service->addFault({"/veskservice/lock/validate", sim::FaultAction::NoAnswer});
        QNetworkAccessManager manager;
        RixRequestHandler inner(&manager, session->token(), nullptr, 600);
        bool innerAnswered = true;
        // The inner wait outlasts both the outer reply and the outer time limit.
        QTimer::singleShot(0, [&] {
            innerAnswered = inner.putJson(session->baseUrl() + "/veskservice/lock/validate", "{}") != nullptr;
        });
        OutputCapture capture;
        const std::unique_ptr<Lock> lock = session->findLockByRf("303659");
        QVERIFY(!innerAnswered);
        QCOMPARE(capture.messages().count("JSON timed out"), 1);
        QVERIFY(lock);
        QCOMPARE(lock->lockId(), QString("5101"));
        QCOMPARE(manager.findChildren<QNetworkReply *>().size(), 0);
    }

    void session_deletedDuringWait_callReturnsNone()
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

private:
    // A session signed in to the simulator as "operator", with the recording cleared.
    std::unique_ptr<JSON> signedIn()
    {
        auto session = std::make_unique<JSON>("127.0.0.1", QString::number(m_service->port()));
        OutputCapture quiet;
        if (!session->login("operator", "Pack2025").first)
            return nullptr;
        m_service->clearRequests();
        return session;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<sim::WebService> m_service;
};

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
