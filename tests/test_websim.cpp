// The simulated web service over loopback: raw sockets for exact bytes, Qt's network
// access manager where the client's own transport matters.

#include "sim/webservice.h"
#include "support/websim_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace websim;

class TestWebSim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void login_data();
    void login();
    void callWithoutValidToken_gets401_data();
    void callWithoutValidToken_gets401();
    void link_knownCodeGivesScheduleUnknownGivesNull();
    void seal_persistsAcrossRestart();
    void existingSeals_arePaged();
    void deassign_voidsSealsAndUnknownPairChangesNothing();
    void postWithMethodOverride_actsAsPut();
    void recording_keepsHeadersInWireOrder();
    void fault_delaysCountedRequestsOnItsPathOnly();
    void fault_closeConnection_sendsNoBytes();
    void stop_isPromptWithHeldRequestAndIdleKeepAlive();
    void unusableDatabase_failsToStart();
    void acceptedConnection_sendsWithoutNagleDelay();

private:
    RawReply call(const QByteArray &method, const QByteArray &target, const QByteArray &body = QByteArray(),
                  QList<QByteArray> headers = QList<QByteArray>());
    static QJsonObject json(const RawReply &reply);
    quint16 port() const { return static_cast<quint16>(m_service->port()); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<sim::WebService> m_service;
    QByteArray m_token;
};

void TestWebSim::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    sim::WebService::Options options;
    options.databasePath = m_dir->filePath("vesk.db").toStdString();
    m_service = std::make_unique<sim::WebService>(options);
    std::string error;
    QVERIFY2(m_service->start(&error), error.c_str());
    m_token = loginToken(port(), "operator", "Pack2025");
    QCOMPARE(m_token.size(), 32);
}

void TestWebSim::cleanup()
{
    m_service.reset();
    m_dir.reset();
}

RawReply TestWebSim::call(const QByteArray &method, const QByteArray &target, const QByteArray &body,
                          QList<QByteArray> headers)
{
    headers.prepend("DRAV-Token: " + m_token);
    return parseReply(rawExchange(port(), rawRequest(method, target, body, headers)));
}

QJsonObject TestWebSim::json(const RawReply &reply)
{
    return QJsonDocument::fromJson(reply.body).object();
}

void TestWebSim::login_data()
{
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("userName");

    const QByteArray good = passwordDigest("Pack2025");
    QTest::newRow("good") << "username=operator&password=" + good << 200 << "operator";
    QTest::newRow("lower-case digest") << "username=operator&password=" + good.toLower() << 401 << "";
    QTest::newRow("wrong password") << "username=operator&password=" + passwordDigest("pack2025") << 401 << "";
    QTest::newRow("unknown user") << "username=nobody&password=" + good << 401 << "";
    QTest::newRow("missing password") << QByteArray("username=operator") << 400 << "";
    // "+" in a form is a space, so only the encoded name reaches the account.
    QTest::newRow("encoded specials") << "username=qa%2Bteam%26co%3D1&password=" + passwordDigest("p@ss word+&=") << 200
                                      << "qa+team&co=1";
    QTest::newRow("raw specials") << "username=qa+team&co=1&password=" + passwordDigest("p@ss word+&=") << 401 << "";
}

void TestWebSim::login()
{
    QFETCH(QByteArray, form);
    QFETCH(int, status);
    QFETCH(QString, userName);

    const RawReply reply = parseReply(rawExchange(
        port(), rawRequest("POST", "/veskservice/login", form, {"Content-Type: application/x-www-form-urlencoded"})));
    QCOMPARE(reply.status, status);
    const QJsonObject body = json(reply);
    QCOMPARE(body.value("rc").toInt(), status);
    QCOMPARE(body.value("result").toObject().value("userName").toString(), userName);
    QCOMPARE(reply.header("DRAV-Token").isEmpty(), status != 200);
}

void TestWebSim::callWithoutValidToken_gets401_data()
{
    QTest::addColumn<QByteArray>("tokenHeader");
    QTest::newRow("none") << QByteArray();
    QTest::newRow("empty") << QByteArray("DRAV-Token: ");
    QTest::newRow("unknown") << QByteArray("DRAV-Token: 0123456789abcdef0123456789abcdef");
}

void TestWebSim::callWithoutValidToken_gets401()
{
    QFETCH(QByteArray, tokenHeader);
    const QList<QByteArray> headers = tokenHeader.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{tokenHeader};
    const RawReply reply = parseReply(
        rawExchange(port(), rawRequest("GET", "/veskservice/lock/find/by/rf/303659", QByteArray(), headers)));
    QCOMPARE(reply.status, 401);
    QCOMPARE(json(reply).value("rc").toInt(), 401);
    QVERIFY(json(reply).value("result").isNull());
}

void TestWebSim::link_knownCodeGivesScheduleUnknownGivesNull()
{
    const QByteArray path = "/veskservice/examschedule/link/subject/to/center";
    RawReply reply = call("PUT", path, R"({"scanCode":"2531011052"})");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("Content-Type"), QByteArray("application/json;charset=UTF-8"));
    const QJsonObject schedule = json(reply).value("result").toObject();
    QCOMPARE(schedule.value("examSchedId").toInt(), 7010);
    QCOMPARE(schedule.value("pointId").toString() + '/' + schedule.value("tableId").toString(), QString("1052/3101"));
    QCOMPARE(schedule.value("centerName").toString(), QString("St. Joseph's Secondary School"));
    QCOMPARE(schedule.value("state").toString(), QString("ASSIGNED")); // linking assigns it
    QCOMPARE(m_service->isAssigned("1052", "3101"), std::optional<bool>(true));

    reply = call("PUT", path, R"({"scanCode":"0000000000"})");
    QCOMPARE(reply.status, 200);
    QCOMPARE(json(reply).value("rc").toInt(), 404);
    QVERIFY(json(reply).contains("result"));
    QVERIFY(json(reply).value("result").isNull());

    QCOMPARE(call("PUT", path, "not json").status, 400);
}

void TestWebSim::seal_persistsAcrossRestart()
{
    const RawReply reply =
        call("PUT", "/veskservice/timetable/seal", R"({"pointId":"1021","tableId":"3101","apId":"5110"})");
    QCOMPARE(reply.status, 200);
    const QJsonObject seal = json(reply).value("result").toObject();
    QCOMPARE(seal.value("apId").toString(), QString("5110"));
    QCOMPARE(seal.value("examSchedId").toInt(), 7001);
    QCOMPARE(seal.value("apRfId").toDouble(), 5000000123.0); // beyond 32 bits, still exact

    m_service->stop();
    sim::WebService::Options options;
    options.databasePath = m_dir->filePath("vesk.db").toStdString();
    sim::WebService restarted(options);
    QVERIFY(restarted.start());
    const std::vector<sim::SealRow> seals = restarted.seals();
    QCOMPARE(seals.size(), size_t(3)); // two seeded, one new
    QCOMPARE(seals.back().apId, std::string("5110"));
    QCOMPARE(seals.back().apRfId, std::uint64_t(5000000123));
    QCOMPARE(seals.back().userId, std::string("17"));
    QCOMPARE(restarted.lock("5110")->state, std::string("CLOSED"));
}

void TestWebSim::existingSeals_arePaged()
{
    QCOMPARE(call("PUT", "/veskservice/timetable/seal", R"({"pointId":"1034","tableId":"3101","apId":"5101"})").status,
             200);
    RawReply reply = call("GET", "/veskservice/examschedule/ap?pointId=1034&tableId=3101&offset=1&limit=1");
    QJsonObject page = json(reply).value("result").toObject();
    QCOMPARE(page.value("count").toInt(), 3);
    QCOMPARE(page.value("offset").toInt(), 1);
    QCOMPARE(page.value("limit").toInt(), 1);
    const QJsonArray list = page.value("list").toArray();
    QCOMPARE(list.size(), 1);
    const QJsonObject seal = list.first().toObject();
    QCOMPARE(seal.value("apId").toString() + '/' + seal.value("pointId").toString(), QString("5105/1034"));
    QCOMPARE(seal.value("apRfId").toDouble(), 303663.0);

    reply = call("GET", "/veskservice/examschedule/ap?pointId=1021&tableId=3106");
    page = json(reply).value("result").toObject();
    QCOMPARE(page.value("count").toInt(), 0);
    QVERIFY(page.value("list").toArray().isEmpty());

    QCOMPARE(call("GET", "/veskservice/examschedule/ap?pointId=1034").status, 400);
    QCOMPARE(call("GET", "/veskservice/examschedule/ap?pointId=1034&tableId=3101&limit=-1").status, 400);
}

void TestWebSim::deassign_voidsSealsAndUnknownPairChangesNothing()
{
    const QByteArray body = R"([{"pointId":"1034","tableId":"3101"}])";
    RawReply reply = call("PUT", "/veskservice/examschedule/deassign/sub/center/", body);
    QCOMPARE(json(reply).value("rc").toInt(), 200);
    QJsonArray list = json(reply).value("result").toArray();
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().toObject().value("state").toString(), QString("UNASSIGNED"));
    QCOMPARE(m_service->isAssigned("1034", "3101"), std::optional<bool>(false));
    reply = call("GET", "/veskservice/examschedule/ap?pointId=1034&tableId=3101");
    QCOMPARE(json(reply).value("result").toObject().value("count").toInt(), 0);
    QVERIFY(m_service->seals().front().voided);
    // Assign restores it (test_service's reassign checks the assign side through the client).
    QCOMPARE(json(call("PUT", "/veskservice/examschedule/assign/sub/center/", body)).value("rc").toInt(), 200);

    // An unknown pair changes nothing, not even the known pair beside it.
    reply = call("PUT", "/veskservice/examschedule/deassign/sub/center/",
                 R"([{"pointId":"1034","tableId":"3101"},{"pointId":"9999","tableId":"3101"}])");
    QCOMPARE(json(reply).value("rc").toInt(), 404);
    QVERIFY(json(reply).value("result").toArray().isEmpty());
    QCOMPARE(m_service->isAssigned("1034", "3101"), std::optional<bool>(true));
}

void TestWebSim::postWithMethodOverride_actsAsPut()
{
    const QByteArray path = "/veskservice/examschedule/link/subject/to/center";
    const QByteArray body = R"({"scanCode":"2531011021"})";
    RawReply reply = call("POST", path, body, {"X-HTTP-Method-Override: PUT"});
    QCOMPARE(json(reply).value("result").toObject().value("examSchedId").toInt(), 7001);
    reply = call("POST", path, body);
    QCOMPARE(reply.status, 405);
    QCOMPARE(reply.header("Allow"), QByteArray("PUT"));
}

void TestWebSim::recording_keepsHeadersInWireOrder()
{
    m_service->clearRequests();
    const QByteArray body = R"({"pointId":"1021","tableId":"3102","apId":"5102"})";
    // Unsorted on purpose: the library behind the server keeps headers sorted by name.
    const QByteArray request = "PUT /veskservice/timetable/seal?x=%41 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               "DRAV-Token: " +
                               m_token +
                               "\r\nAccept: application/json\r\n"
                               "Content-Type: application/json\r\nContent-Length: 49\r\n"
                               "X-HTTP-Method-Override:  PUT \r\nConnection: close\r\n\r\n" +
                               body;
    QCOMPARE(parseReply(rawExchange(port(), request)).status, 200);

    const std::vector<sim::RecordedRequest> recorded = m_service->requests();
    QCOMPARE(recorded.size(), size_t(1));
    const sim::RecordedRequest &put = recorded.front();
    QCOMPARE(QByteArray::fromStdString(put.raw), request);
    QCOMPARE(QByteArray::fromStdString(put.body), body);
    QCOMPARE(put.method, std::string("PUT"));
    QCOMPARE(put.path, std::string("/veskservice/timetable/seal"));
    QCOMPARE(put.query, std::string("x=%41"));
    QStringList names;
    for (const auto &header : put.headers) {
        names << QString::fromStdString(header.first);
    }
    QCOMPARE(names, QStringList({"Host", "DRAV-Token", "Accept", "Content-Type", "Content-Length",
                                 "X-HTTP-Method-Override", "Connection"}));
    QCOMPARE(put.header("x-http-method-override"), std::string("PUT"));
}

void TestWebSim::fault_delaysCountedRequestsOnItsPathOnly()
{
    m_service->addFault(
        {"/veskservice/lock/find/by/rf/*", sim::FaultAction::ServerError, std::chrono::milliseconds(300), 2});
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(call("GET", "/veskservice/lock/find/by/rf/303659").status, 500);
    QVERIFY(timer.elapsed() >= 300);
    QCOMPARE(call("GET", "/veskservice/examschedule/ap?pointId=1034&tableId=3101").status, 200);
    QCOMPARE(call("GET", "/veskservice/lock/find/by/rf/303659").status, 500);
    QCOMPARE(call("GET", "/veskservice/lock/find/by/rf/303659").status, 200);
}

void TestWebSim::fault_closeConnection_sendsNoBytes()
{
    m_service->addFault({"/veskservice/timetable/seal", sim::FaultAction::CloseConnection});
    const QByteArray bytes = rawExchange(port(), rawRequest("PUT", "/veskservice/timetable/seal",
                                                            R"({"pointId":"1021","tableId":"3101","apId":"5101"})",
                                                            {"DRAV-Token: " + m_token}));
    QVERIFY(bytes.isEmpty());
    QCOMPARE(m_service->seals().size(), size_t(2)); // the request was not carried out

    // Qt resends a request whose connection closed without a reply, then reports the error.
    m_service->clearRequests();
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QString::fromStdString(m_service->baseUrl()) + "/veskservice/timetable/seal"));
    std::unique_ptr<QNetworkReply> reply(manager.put(request, QByteArray("{}")));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait());
    QCOMPARE(reply->error(), QNetworkReply::RemoteHostClosedError);
    QVERIFY(m_service->requestCount() >= 1);
}

void TestWebSim::stop_isPromptWithHeldRequestAndIdleKeepAlive()
{
    QNetworkAccessManager keepAlive, manager;
    const QString base = QString::fromStdString(m_service->baseUrl());
    QNetworkRequest find(QUrl(base + "/veskservice/lock/find/by/rf/303659"));
    find.setRawHeader("DRAV-Token", m_token);
    std::unique_ptr<QNetworkReply> idle(keepAlive.get(find));
    QSignalSpy idleDone(idle.get(), &QNetworkReply::finished);
    QVERIFY(idleDone.wait()); // keepAlive holds this connection open and idle

    m_service->addFault({"/veskservice/login", sim::FaultAction::NoAnswer});
    QNetworkRequest login(QUrl(base + "/veskservice/login"));
    login.setRawHeader("Content-Type", "application/x-www-form-urlencoded");
    std::unique_ptr<QNetworkReply> held(manager.post(login, QByteArray("username=operator&password=x")));
    QSignalSpy finished(held.get(), &QNetworkReply::finished);
    QTRY_COMPARE(m_service->heldCount(), size_t(1));
    QVERIFY(finished.isEmpty());
    QCOMPARE(call("GET", "/veskservice/lock/find/by/rf/303659").status, 200); // others are still served

    QElapsedTimer timer;
    timer.start();
    m_service->stop();
    QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()).constData());
    QVERIFY(finished.wait());
    QVERIFY(held->error() != QNetworkReply::NoError);
}

void TestWebSim::unusableDatabase_failsToStart()
{
    QFile notDatabase(m_dir->filePath("notes.txt"));
    QVERIFY(notDatabase.open(QIODevice::WriteOnly));
    notDatabase.write(QByteArray(4096, 'x'));
    notDatabase.close();
    for (const QString &path : {notDatabase.fileName(), m_dir->filePath("missing/vesk.db")}) {
        sim::WebService::Options options;
        options.databasePath = path.toStdString();
        sim::WebService service(options);
        std::string error;
        QVERIFY(!service.start(&error));
        QVERIFY2(!error.empty(), qPrintable(path));
        QVERIFY(!service.isRunning());
    }
}

// Replies go out in two writes (headers, body); with Nagle's algorithm the body would wait for the
// client's delayed acknowledgement, some 40 ms per reply. The server's end of a connection lives in
// this process, so its socket option can be read directly.
void TestWebSim::acceptedConnection_sendsWithoutNagleDelay()
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port());
    QVERIFY(client.waitForConnected(5000));
    client.write(rawRequest("GET", "/veskservice/lock/find/by/rf/303659", QByteArray(), {"DRAV-Token: " + m_token})
                     .replace("Connection: close", "Connection: keep-alive"));
    QVERIFY(client.waitForReadyRead(5000));

    int serverSide = -1;
    const QStringList fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    for (const QString &entry : fds) {
        const int fd = entry.toInt();
        sockaddr_in local{}, peer{};
        socklen_t localLength = sizeof(local), peerLength = sizeof(peer);
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLength) != 0 || local.sin_family != AF_INET ||
            getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
            continue;
        if (ntohs(local.sin_port) == port() && ntohs(peer.sin_port) == client.localPort())
            serverSide = fd;
    }
    QVERIFY(serverSide >= 0);
    int noDelay = 0;
    socklen_t length = sizeof(noDelay);
    QCOMPARE(getsockopt(serverSide, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
    QVERIFY(noDelay != 0);
}

QTEST_GUILESS_MAIN(TestWebSim)
#include "test_websim.moc"
