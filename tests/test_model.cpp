#include "model/lockparser.h"
#include "model/parserjsonlogin.h"
#include "model/parserseal.h"
#include "model/parsersubjectcenterlink.h"
#include "support/outputcapture.h"

#include <QPointer>
#include <QtTest>

#include <limits>

namespace {
enum Kind
{
    SealKind,
    ExistingSealsKind,
    SingleLockKind,
    LockPageKind,
    LinkKind,
    LinkArrayKind
};

std::unique_ptr<ResultParser> makeParser(int kind)
{
    switch (kind) {
    case SealKind:
        return std::make_unique<ParserSeal>();
    case ExistingSealsKind:
        return std::make_unique<ParserExistinPackedSeals>();
    case SingleLockKind:
        return std::make_unique<SingleLockParser>();
    case LockPageKind:
        return std::make_unique<LockParser>();
    case LinkKind:
        return std::make_unique<ParserSubjectCenterLink>();
    default:
        return std::make_unique<ParserSubjectCenterLinkArray>();
    }
}

// Frees the payload as the operations do, by the type that the parser stored.
void freeData(int kind, Result &result)
{
    if (!result.data())
        return;
    switch (kind) {
    case SealKind:
        result.takeData<Seal>();
        break;
    case ExistingSealsKind:
        result.takeData<PaginationList<Seal>>()->takeItems();
        break;
    case SingleLockKind:
        result.takeData<Lock>();
        break;
    case LockPageKind:
        result.takeData<PaginationList<Lock>>()->takeItems();
        break;
    case LinkKind:
        result.takeData<ExamSchedule>();
        break;
    default:
        takeRecords(result.takeData<QList<ExamSchedule *>>());
    }
}

std::unique_ptr<Result> parseText(const ResultParser &parser, const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    return parser.parse(&document);
}

QJsonObject objectOf(const QByteArray &members)
{
    return QJsonDocument::fromJson("{" + members + "}").object();
}
} // namespace

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
    void lock_coordinatesDefaultsAndMarshal();
    void examSchedule_fieldsAndSaturation_data();
    void examSchedule_fieldsAndSaturation();
    void seal_apRfIdConversion_data();
    void seal_apRfIdConversion();
    void login_readsTextsOnlyOnDebugChannel();
    void toInt32_nanGivesZeroInfinitySaturates();
    void result_destructionLeavesPayload();
};

void TestModel::envelope_readsCodeMessageAndSfc_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("sfc");
    QTest::newRow("plain") << QByteArray(R"({"rc":200,"rm":"OK","sfc":"x"})") << 200 << "OK"
                           << "x";
    QTest::newRow("rc as string") << QByteArray(R"({"rc":"200"})") << 0 << ""
                                  << "";
    QTest::newRow("rc truncated") << QByteArray(R"({"rc":404.7})") << 404 << ""
                                  << "";
    QTest::newRow("rc negative truncated") << QByteArray(R"({"rc":-3.9})") << -3 << ""
                                           << "";
    QTest::newRow("rc above 32 bits") << QByteArray(R"({"rc":1e12})") << std::numeric_limits<int>::max() << ""
                                      << "";
    QTest::newRow("rc below 32 bits") << QByteArray(R"({"rc":-1e12})") << std::numeric_limits<int>::min() << ""
                                      << "";
    QTest::newRow("mistyped texts") << QByteArray(R"({"rm":5,"sfc":true})") << 0 << ""
                                    << "";
    QTest::newRow("empty") << QByteArray("{}") << 0 << ""
                           << "";
}

void TestModel::envelope_readsCodeMessageAndSfc()
{
    QFETCH(QByteArray, json);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, sfc);
    ParserSeal parser;
    const std::unique_ptr<Result> result = parseText(parser, json);
    QVERIFY(result);
    QCOMPARE(result->code(), code);
    QCOMPARE(result->message(), message);
    QCOMPARE(result->sfc(), sfc);
    QVERIFY(!result->data());
    QVERIFY(!parser.parse(nullptr));
}

void TestModel::parsers_traceAndPayloadByResultType_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<bool>("hasData");
    QTest::addColumn<QByteArray>("trace");
    const QByteArray none;
    QTest::newRow("seal, no result") << int(SealKind) << none << false << QByteArray();
    QTest::newRow("seal, null") << int(SealKind) << QByteArray("null") << false << QByteArray("Null result returned\n");
    QTest::newRow("seal, object") << int(SealKind) << QByteArray("{}") << true
                                  << QByteArray("Valid property found...\nParserSeal - Result object found.\n");
    QTest::newRow("seal, array") << int(SealKind) << QByteArray("[]") << false
                                 << QByteArray("Valid property found...\nSomething else...4");
    QTest::newRow("single lock, null") << int(SingleLockKind) << QByteArray("null") << false
                                       << QByteArray("Null result returned\n");
    QTest::newRow("single lock, number") << int(SingleLockKind) << QByteArray("7") << false
                                         << QByteArray("Valid property found...\nSomething else...2");
    QTest::newRow("lock page, object") << int(LockPageKind) << QByteArray("{}") << true
                                       << QByteArray("Getting result object\nLockParser - Result object found.\n"
                                                     "Number of locks retrieved: 0\n");
    QTest::newRow("lock page, string") << int(LockPageKind) << QByteArray("\"x\"") << false
                                       << QByteArray("Getting result object\nSomething else...3");
    QTest::newRow("existing seals, array")
        << int(ExistingSealsKind) << QByteArray("[]") << false << QByteArray("Something else...4");
    QTest::newRow("existing seals, empty list") << int(ExistingSealsKind) << QByteArray(R"({"list":[]})") << true
                                                << QByteArray("ParserExistinPackedSeals - Result object found.\n"
                                                              "Number of existing seals for this subject: 0\n");
    QTest::newRow("existing seals, two") << int(ExistingSealsKind) << QByteArray(R"({"list":[{},{}]})") << true
                                         << QByteArray("ParserExistinPackedSeals - Result object found.\n"
                                                       "Number of existing seals for this subject: 2\n");
    QTest::newRow("link, null") << int(LinkKind) << QByteArray("null") << false << QByteArray("Something else...0");
    QTest::newRow("link, object") << int(LinkKind) << QByteArray("{}") << true
                                  << QByteArray("ParserSubjectLink - Result object found.\n");
    QTest::newRow("link array, absent") << int(LinkArrayKind) << none << false << QByteArray();
    QTest::newRow("link array, object") << int(LinkArrayKind) << QByteArray("{}") << true << QByteArray();
}

void TestModel::parsers_traceAndPayloadByResultType()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, result);
    QFETCH(bool, hasData);
    QFETCH(QByteArray, trace);
    const std::unique_ptr<ResultParser> parser = makeParser(kind);
    const QByteArray json = result.isNull() ? QByteArray(R"({"rc":200})") : R"({"rc":200,"result":)" + result + "}";
    OutputCapture capture;
    const std::unique_ptr<Result> parsed = parseText(*parser, json);
    QVERIFY(parsed);
    QCOMPARE(capture.finish(), trace);
    QCOMPARE(parsed->data() != nullptr, hasData);
    freeData(kind, *parsed);
}

void TestModel::page_readsFieldsAndDefaultsNonObjectElements()
{
    LockParser parser;
    const std::unique_ptr<Result> result =
        parseText(parser, R"({"result":{"offset":1.9,"limit":5e10,"list":[{"lockId":"A"},7,"x",{"lockId":"B"}]}})");
    const std::unique_ptr<PaginationList<Lock>> page = result->takeData<PaginationList<Lock>>();
    QCOMPARE(page->count(), 0);
    QCOMPARE(page->offset(), 1);
    QCOMPARE(page->limit(), std::numeric_limits<int>::max());
    QStringList ids;
    for (const auto &lock : page->takeItems())
        ids << lock->lockId();
    QCOMPARE(ids, QStringList({"A", "", "", "B"}));

    const std::unique_ptr<Result> bare = parseText(parser, R"({"result":{"list":{}}})");
    const std::unique_ptr<PaginationList<Lock>> empty = bare->takeData<PaginationList<Lock>>();
    QCOMPARE(empty->takeItems().size(), std::size_t(0));

    ParserSubjectCenterLinkArray arrayParser;
    const std::unique_ptr<Result> two = parseText(arrayParser, R"({"result":[{"tableId":"T"},5]})");
    const auto schedules = takeRecords(two->takeData<QList<ExamSchedule *>>());
    QCOMPARE(schedules.size(), std::size_t(2));
    QCOMPARE(schedules[0]->tableId(), QString("T"));
    QCOMPARE(schedules[1]->examSchedId(), -1);
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
    QTest::newRow("empty") << QByteArray(R"("state":"")") << 0 << 0;
    QTest::newRow("number") << QByteArray(R"("state":1)") << 0 << 0;
    QTest::newRow("COMMISSIONED") << QByteArray(R"("commissionState":"COMMISSIONED")") << 0 << 1;
    QTest::newRow("UNCOMMISSIONED") << QByteArray(R"("commissionState":"UNCOMMISSIONED")") << 0 << 2;
    QTest::newRow("other") << QByteArray(R"("commissionState":"PENDING")") << 0 << 3;
    QTest::newRow("null") << QByteArray(R"("commissionState":null)") << 0 << 0;
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

void TestModel::lock_coordinatesDefaultsAndMarshal()
{
    const std::unique_ptr<Lock> lock =
        LockParser::parseLock(objectOf(R"("longitude":"12.5","description":"d","latitude":null)"));
    QCOMPARE(lock->longitude(), 0.0);
    QCOMPARE(lock->latitude(), 0.0);
    QCOMPARE(LockParser::parseLock(objectOf(R"("longitude":-12.25)"))->longitude(), -12.25);
    OutputCapture capture;
    const QJsonObject object = SingleLockParser().marshal(lock.get());
    QCOMPARE(object, objectOf(R"("lockId":"","description":"d")"));
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
    QTest::newRow("fractional start") << QByteArray(R"("examSchedId":7,"start":1700000000.9,"state":"S")") << 7
                                      << 1700000000 << -1 << "S";
    QTest::newRow("mistyped and null") << QByteArray(R"("state":3,"end":null,"centerName":null)") << -1 << -1 << -1
                                       << "";
    QTest::newRow("saturated") << QByteArray(R"("examSchedId":3e9,"start":-1e20,"end":1e300)")
                               << std::numeric_limits<int>::max() << std::numeric_limits<int>::min()
                               << std::numeric_limits<int>::max() << "";
}

void TestModel::examSchedule_fieldsAndSaturation()
{
    QFETCH(QByteArray, members);
    QFETCH(int, id);
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(QString, state);
    const std::unique_ptr<ExamSchedule> schedule = ParserSubjectCenterLink::parseExamSchedule(objectOf(members));
    QCOMPARE(schedule->examSchedId(), id);
    QCOMPARE(schedule->start(), start);
    QCOMPARE(schedule->end(), end);
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
    QTest::newRow("number") << QByteArray(R"("apRfId":305419896)") << quint64(305419896);
    QTest::newRow("beyond 32 bits") << QByteArray(R"("apRfId":81985529216486895)") << quint64(81985529216486896);
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
}

void TestModel::login_readsTextsOnlyOnDebugChannel()
{
    ParserJSONLogin parser;
    OutputCapture capture;
    const std::unique_ptr<Result> result = parseText(parser, R"({"result":{"userId":12,"userName":"ana"}})");
    const std::unique_ptr<JSONLogin> login = result->takeData<JSONLogin>();
    QVERIFY(login->userId().isEmpty());
    QCOMPARE(login->userName(), QString("ana"));
    QCOMPARE(capture.messages(), QStringList({"Valid property found...", "ParserLogin - Result object found."}));
    const std::unique_ptr<Result> other = parseText(parser, R"({"result":[1]})");
    QVERIFY(!other->data());
    QCOMPARE(capture.messages().last(), QString("Something else: 4"));
    QVERIFY(capture.finish().isEmpty());
}

void TestModel::toInt32_nanGivesZeroInfinitySaturates()
{
    QCOMPARE(ResultParser::toInt32(std::numeric_limits<double>::quiet_NaN()), 0);
    QCOMPARE(ResultParser::toInt32(std::numeric_limits<double>::infinity()), std::numeric_limits<int>::max());
    QCOMPARE(ResultParser::toInt32(-2147483648.9), std::numeric_limits<int>::min());
    QCOMPARE(ResultParser::toInt32(2147483646.9), 2147483646);
    QCOMPARE(ResultParser::toUInt64(QJsonValue(std::numeric_limits<double>::quiet_NaN())), quint64(0));
}

void TestModel::result_destructionLeavesPayload()
{
    SingleLockParser parser;
    std::unique_ptr<Result> result = parseText(parser, R"({"result":{"lockId":"L1"}})");
    std::unique_ptr<Lock> lock(static_cast<Lock *>(result->data()));
    QPointer<Lock> watch(lock.get());
    result.reset();
    QVERIFY(watch);
    QCOMPARE(lock->lockId(), QString("L1"));
}

QTEST_GUILESS_MAIN(TestModel)
#include "test_model.moc"
