#include "model/lockparser.h"
#include "model/parserjsonlogin.h"
#include "model/parserseal.h"
#include "model/parsersubjectcenterlink.h"
#include "support/outputcapture.h"

#include <QtTest>

#include <limits>

namespace {
const int IntMax = std::numeric_limits<int>::max();
const int IntMin = std::numeric_limits<int>::min();

std::unique_ptr<Result> parseText(const ResultParser &parser, const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    return parser.parse(&document);
}

QJsonObject objectOf(const QByteArray &members)
{
    return QJsonDocument::fromJson("{" + members + "}").object();
}

// Payloads are freed by their consumer, as the service operations do.
template <typename T>
void release(std::unique_ptr<T>)
{
}
template <typename T>
void release(std::unique_ptr<PaginationList<T>> page)
{
    if (page)
        page->takeItems();
}
void release(std::unique_ptr<QList<ExamSchedule *>> list)
{
    takeRecords(std::move(list));
}

// Parses with P, whose payload is a T; tells whether there was a payload.
template <typename P, typename T>
bool parsed(const QByteArray &json)
{
    const std::unique_ptr<Result> result = parseText(P(), json);
    const bool present = result->data() != nullptr;
    release(result->takeData<T>());
    return present;
}

// The login record also keeps only texts: a numeric user id reads as none.
bool loginParsed(const QByteArray &json)
{
    const std::unique_ptr<JSONLogin> login = parseText(ParserJSONLogin(), json)->takeData<JSONLogin>();
    return login && login->userId().isEmpty() && login->userName() == QLatin1String("ana");
}
} // namespace

using Parse = bool (*)(const QByteArray &);
Q_DECLARE_METATYPE(Parse)

class TestModel : public QObject
{
    Q_OBJECT

private slots:
    void envelope_readsCodeMessageAndSfc_data();
    void envelope_readsCodeMessageAndSfc();
    void parsers_traceAndPayloadByResultType_data();
    void parsers_traceAndPayloadByResultType();
    void page_readsFieldsAndDefaultsNonObjectElements();
    void lockStates_followTablesExactly_data();
    void lockStates_followTablesExactly();
    void lock_coordinatesAndMarshal();
    void examSchedule_fieldsAndSaturation_data();
    void examSchedule_fieldsAndSaturation();
    void seal_apRfIdConversion_data();
    void seal_apRfIdConversion();
};

void TestModel::envelope_readsCodeMessageAndSfc_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("plain, no result") << QByteArray(R"({"rc":200,"rm":"OK","sfc":"OK"})") << 200 << "OK";
    QTest::newRow("rc as string") << QByteArray(R"({"rc":"200","rm":5,"sfc":true})") << 0 << "";
    QTest::newRow("rc truncated") << QByteArray(R"({"rc":404.7})") << 404 << "";
    QTest::newRow("rc negative") << QByteArray(R"({"rc":-3.9})") << -3 << "";
    QTest::newRow("rc above 32 bits") << QByteArray(R"({"rc":1e12})") << IntMax << "";
    QTest::newRow("rc below 32 bits") << QByteArray(R"({"rc":-1e300})") << IntMin << "";
}

void TestModel::envelope_readsCodeMessageAndSfc()
{
    QFETCH(QByteArray, json);
    QFETCH(int, code);
    QFETCH(QString, message);
    ParserSeal parser;
    OutputCapture capture;
    const std::unique_ptr<Result> result = parseText(parser, json);
    QVERIFY(capture.finish().isEmpty());
    QCOMPARE(result->code(), code);
    QCOMPARE(result->message(), message);
    QCOMPARE(result->sfc(), message);
    QVERIFY(!result->data());
    QVERIFY(!parser.parse(nullptr));
}

void TestModel::parsers_traceAndPayloadByResultType_data()
{
    QTest::addColumn<Parse>("parse");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<bool>("hasData");
    QTest::addColumn<QByteArray>("trace"); // standard output, then debug-channel lines
    const Parse seal = &parsed<ParserSeal, Seal>;
    const Parse sealPage = &parsed<ParserExistinPackedSeals, PaginationList<Seal>>;
    const Parse lock = &parsed<SingleLockParser, Lock>;
    const Parse lockPage = &parsed<LockParser, PaginationList<Lock>>;
    const Parse link = &parsed<ParserSubjectCenterLink, ExamSchedule>;
    const Parse links = &parsed<ParserSubjectCenterLinkArray, QList<ExamSchedule *>>;
    QTest::newRow("seal, null") << seal << QByteArray("null") << false << QByteArray("Null result returned\n");
    QTest::newRow("seal, object") << seal << QByteArray("{}") << true
                                  << QByteArray("Valid property found...\nParserSeal - Result object found.\n");
    QTest::newRow("seal, array") << seal << QByteArray("[]") << false
                                 << QByteArray("Valid property found...\nSomething else...4");
    QTest::newRow("lock, null") << lock << QByteArray("null") << false << QByteArray("Null result returned\n");
    QTest::newRow("lock, number") << lock << QByteArray("7") << false
                                  << QByteArray("Valid property found...\nSomething else...2");
    QTest::newRow("lock page, object") << lockPage << QByteArray("{}") << true
                                       << QByteArray("Getting result object\nLockParser - Result object found.\n"
                                                     "Number of locks retrieved: 0\n");
    QTest::newRow("lock page, string") << lockPage << QByteArray("\"x\"") << false
                                       << QByteArray("Getting result object\nSomething else...3");
    QTest::newRow("seal page, array") << sealPage << QByteArray("[]") << false << QByteArray("Something else...4");
    QTest::newRow("seal page, two") << sealPage << QByteArray(R"({"list":[{},{}]})") << true
                                    << QByteArray("ParserExistinPackedSeals - Result object found.\n"
                                                  "Number of existing seals for this subject: 2\n");
    QTest::newRow("link, null") << link << QByteArray("null") << false << QByteArray("Something else...0");
    QTest::newRow("link, object") << link << QByteArray("{}") << true
                                  << QByteArray("ParserSubjectLink - Result object found.\n");
    QTest::newRow("links, absent") << links << QByteArray() << false << QByteArray();
    QTest::newRow("links, object") << links << QByteArray("{}") << true << QByteArray();
    QTest::newRow("login, object") << &loginParsed << QByteArray(R"({"userId":12,"userName":"ana"})") << true
                                   << QByteArray("[debug] Valid property found...\n"
                                                 "[debug] ParserLogin - Result object found.\n");
    QTest::newRow("login, array") << &loginParsed << QByteArray("[1]") << false
                                  << QByteArray("[debug] Valid property found...\n[debug] Something else: 4\n");
}

void TestModel::parsers_traceAndPayloadByResultType()
{
    QFETCH(Parse, parse);
    QFETCH(QByteArray, result);
    QFETCH(bool, hasData);
    QFETCH(QByteArray, trace);
    OutputCapture capture;
    const bool present = parse(result.isNull() ? QByteArray("{}") : R"({"result":)" + result + "}");
    QByteArray written = capture.finish();
    for (const QString &line : capture.messages())
        written += "[debug] " + line.toUtf8() + '\n';
    QCOMPARE(written, trace);
    QCOMPARE(present, hasData);
}

void TestModel::page_readsFieldsAndDefaultsNonObjectElements()
{
    OutputCapture quiet;
    std::unique_ptr<Result> result = parseText(
        LockParser(), R"({"result":{"offset":1.9,"limit":5e10,"list":[{"lockId":"A"},7,"x",{"lockId":"B"}]}})");
    auto *payload = static_cast<PaginationList<Lock> *>(result->data());
    result.reset(); // the payload outlives its envelope
    const std::unique_ptr<PaginationList<Lock>> page(payload);
    QCOMPARE(QList<int>({page->count(), page->offset(), page->limit()}), QList<int>({0, 1, IntMax}));
    QStringList ids;
    for (const auto &lock : page->takeItems())
        ids << lock->lockId();
    QCOMPARE(ids, QStringList({"A", "", "", "B"}));

    const auto schedules = takeRecords(parseText(ParserSubjectCenterLinkArray(), R"({"result":[{"tableId":"T"},5]})")
                                           ->takeData<QList<ExamSchedule *>>());
    QCOMPARE(schedules.size(), std::size_t(2));
    QCOMPARE(schedules[0]->tableId() + QString::number(schedules[1]->examSchedId()), QString("T-1"));
}

void TestModel::lockStates_followTablesExactly_data()
{
    QTest::addColumn<QByteArray>("member");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("commission");
    QTest::newRow("absent") << QByteArray() << 0 << 0;
    QTest::newRow("OPEN") << QByteArray(R"("state":"OPEN")") << 1 << 0;
    QTest::newRow("CLOSED") << QByteArray(R"("state":"CLOSED")") << 2 << 0;
    QTest::newRow("lower case") << QByteArray(R"("state":"open")") << 3 << 0;
    QTest::newRow("padded") << QByteArray(R"("state":" OPEN")") << 3 << 0;
    QTest::newRow("number") << QByteArray(R"("state":1)") << 0 << 0;
    QTest::newRow("COMMISSIONED") << QByteArray(R"("commissionState":"COMMISSIONED")") << 0 << 1;
    QTest::newRow("UNCOMMISSIONED") << QByteArray(R"("commissionState":"UNCOMMISSIONED")") << 0 << 2;
    QTest::newRow("other") << QByteArray(R"("commissionState":"PENDING")") << 0 << 3;
    QTest::newRow("empty") << QByteArray(R"("commissionState":"")") << 0 << 0;
}

void TestModel::lockStates_followTablesExactly()
{
    QFETCH(QByteArray, member);
    QFETCH(int, state);
    QFETCH(int, commission);
    const std::unique_ptr<Lock> lock = LockParser::parseLock(objectOf(member));
    QCOMPARE(static_cast<int>(lock->state()), state);
    QCOMPARE(static_cast<int>(lock->commissionState()), commission);
}

void TestModel::lock_coordinatesAndMarshal()
{
    const std::unique_ptr<Lock> lock =
        LockParser::parseLock(objectOf(R"("longitude":"12.5","description":"d","latitude":-25.75)"));
    QCOMPARE(lock->longitude(), 0.0);
    QCOMPARE(lock->latitude(), -25.75);
    OutputCapture capture;
    QCOMPARE(SingleLockParser().marshal(lock.get()), objectOf(R"("lockId":"","description":"d")"));
    QCOMPARE(capture.finish(), QByteArray("Marshal lock id:  description d\n"));
    QCOMPARE(ParserSeal().marshal(lock.get()), QJsonObject());
}

void TestModel::examSchedule_fieldsAndSaturation_data()
{
    QTest::addColumn<QByteArray>("members");
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("state");
    QTest::newRow("empty") << QByteArray() << -1 << -1 << -1 << "";
    QTest::newRow("fraction") << QByteArray(R"("examSchedId":7,"start":1700000000.9,"state":"S")") << 7 << 1700000000
                              << -1 << "S";
    QTest::newRow("mistyped, null") << QByteArray(R"("state":3,"end":null,"centerName":null)") << -1 << -1 << -1 << "";
    QTest::newRow("saturated") << QByteArray(R"("examSchedId":3e9,"start":-1e20,"end":1e300)") << IntMax << IntMin
                               << IntMax << "";
}

void TestModel::examSchedule_fieldsAndSaturation()
{
    QFETCH(QByteArray, members);
    QFETCH(int, id);
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(QString, state);
    const std::unique_ptr<ExamSchedule> schedule = ParserSubjectCenterLink::parseExamSchedule(objectOf(members));
    QCOMPARE(QList<int>({schedule->examSchedId(), schedule->start(), schedule->end()}), QList<int>({id, start, end}));
    QCOMPARE(schedule->state(), state);
    QVERIFY(schedule->centerName().isEmpty());
    const QJsonObject sent = ParserSubjectCenterLinkArray().marshal(schedule.get());
    QCOMPARE(sent, objectOf("\"examSchedId\":" + QByteArray::number(id) + R"(,"tableId":"","pointId":"")"));
}

void TestModel::seal_apRfIdConversion_data()
{
    QTest::addColumn<QByteArray>("members");
    QTest::addColumn<quint64>("apRfId");
    QTest::newRow("absent") << QByteArray(R"("apId":null)") << quint64(0);
    QTest::newRow("beyond 32 bits") << QByteArray(R"("apRfId":5000000123)") << quint64(5000000123);
    QTest::newRow("digits") << QByteArray(R"("apRfId":"18446744073709551615")") << quint64(18446744073709551615u);
    QTest::newRow("half rounds up") << QByteArray(R"("apRfId":7.5)") << quint64(8);
    QTest::newRow("not a number") << QByteArray(R"("apRfId":"7a")") << quint64(0);
    QTest::newRow("true") << QByteArray(R"("apRfId":true)") << quint64(1);
    QTest::newRow("negative saturates") << QByteArray(R"("apRfId":-4)") << quint64(0);
    QTest::newRow("huge saturates") << QByteArray(R"("apRfId":1e30)") << std::numeric_limits<quint64>::max();
}

void TestModel::seal_apRfIdConversion()
{
    QFETCH(QByteArray, members);
    QFETCH(quint64, apRfId);
    const std::unique_ptr<Seal> seal = ParserSeal::parseSeal(objectOf(members));
    QCOMPARE(seal->apRfId(), apRfId);
    QCOMPARE(seal->examSchedId(), 0);
    QVERIFY(seal->apId().isEmpty());
    // NaN cannot come from JSON text, but the number rules must not cast it either.
    QCOMPARE(ResultParser::toInt32(std::numeric_limits<double>::quiet_NaN()), 0);
}

QTEST_GUILESS_MAIN(TestModel)
#include "test_model.moc"
