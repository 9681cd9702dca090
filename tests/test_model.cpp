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

// Field values in one line, "|" between them.
QString line(const QVariantList &values)
{
    QStringList texts;
    for (const QVariant &value : values)
        texts << value.toString();
    return texts.join('|');
}
} // namespace

using Parse = bool (*)(const QByteArray &);
Q_DECLARE_METATYPE(Parse)
// A record's fields, read from the object, in one line.
using Fields = QString (*)(const QJsonObject &);
Q_DECLARE_METATYPE(Fields)

class TestModel : public QObject
{
    Q_OBJECT

private slots:
    void envelope_readsCodeMessageAndSfc_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("plain, no result") << QByteArray(R"({"rc":200,"rm":"OK","sfc":"OK"})") << 200 << "OK";
        QTest::newRow("rc as string") << QByteArray(R"({"rc":"200","rm":5,"sfc":true})") << 0 << "";
        QTest::newRow("rc truncated") << QByteArray(R"({"rc":404.7})") << 404 << "";
        QTest::newRow("rc above 32 bits") << QByteArray(R"({"rc":1e12})") << IntMax << "";
        QTest::newRow("rc below 32 bits") << QByteArray(R"({"rc":-1e300})") << IntMin << "";
    }

    void envelope_readsCodeMessageAndSfc()
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
        // NaN cannot come from JSON text, but the number rules must not cast it either.
        QCOMPARE(ResultParser::toInt32(std::numeric_limits<double>::quiet_NaN()), 0);
    }

    void parsers_payloadByResultType_data()
    {
        QTest::addColumn<Parse>("parse");
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<bool>("hasData");
        const Parse seal = &parsed<ParserSeal, Seal>;
        const Parse sealPage = &parsed<ParserExistinPackedSeals, PaginationList<Seal>>;
        const Parse lock = &parsed<SingleLockParser, Lock>;
        const Parse lockPage = &parsed<LockParser, PaginationList<Lock>>;
        const Parse link = &parsed<ParserSubjectCenterLink, ExamSchedule>;
        const Parse links = &parsed<ParserSubjectCenterLinkArray, QList<ExamSchedule *>>;
        const auto row = [](const char *name, Parse parse, const char *result, bool hasData) {
            QTest::newRow(name) << parse << QByteArray(result) << hasData;
        };
        row("seal, null", seal, "null", false);
        row("seal, object", seal, "{}", true);
        row("seal, array", seal, "[]", false);
        row("lock, null", lock, "null", false);
        row("lock page, object", lockPage, "{}", true);
        row("seal page, two", sealPage, R"({"list":[{},{}]})", true);
        row("link, null", link, "null", false);
        row("link, object", link, "{}", true);
        row("links, absent", links, nullptr, false);
        row("links, object", links, "{}", true);
        row("login, object", &loginParsed, R"({"userId":12,"userName":"ana"})", true);
        row("login, array", &loginParsed, "[1]", false);
    }

    void parsers_payloadByResultType()
    {
        QFETCH(Parse, parse);
        QFETCH(QByteArray, result);
        OutputCapture quiet;
        QTEST(parse(result.isNull() ? QByteArray("{}") : R"({"result":)" + result + "}"), "hasData");
    }

    void page_readsFieldsAndDefaultsNonObjectElements()
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

        const auto schedules =
            takeRecords(parseText(ParserSubjectCenterLinkArray(), R"({"result":[{"tableId":"T"},5]})")
                            ->takeData<QList<ExamSchedule *>>());
        QCOMPARE(schedules.size(), std::size_t(2));
        QCOMPARE(schedules[0]->tableId() + QString::number(schedules[1]->examSchedId()), QString("T-1"));
    }

    void records_readFieldsByTheirRules_data()
    {
        QTest::addColumn<Fields>("fields");
        QTest::addColumn<QByteArray>("members");
        QTest::addColumn<QString>("read");
        // A lock is sent back with its id and description only.
        const Fields lock = [](const QJsonObject &o) {
            const std::unique_ptr<Lock> l = LockParser::parseLock(o);
            const QJsonObject sent{{"lockId", o.value("lockId").toString()},
                                   {"description", o.value("description").toString()}};
            const bool sentRight = SingleLockParser().marshal(l.get()) == sent;
            return line({int(l->state()), int(l->commissionState()), l->longitude(), l->latitude(),
                         sentRight ? "sent" : "not"});
        };
        // A schedule is sent back with its id and the two texts only.
        const Fields schedule = [](const QJsonObject &o) {
            const std::unique_ptr<ExamSchedule> s = ParserSubjectCenterLink::parseExamSchedule(o);
            const QJsonObject sent{{"examSchedId", s->examSchedId()}, {"tableId", ""}, {"pointId", ""}};
            const bool sentRight = ParserSubjectCenterLinkArray().marshal(s.get()) == sent;
            return line(
                {s->examSchedId(), s->start(), s->end(), s->state(), s->centerName(), sentRight ? "sent" : "not"});
        };
        const Fields seal = [](const QJsonObject &o) {
            const std::unique_ptr<Seal> s = ParserSeal::parseSeal(o);
            return line({s->apRfId(), s->examSchedId(), s->apId()});
        };
        const auto row = [](const char *name, Fields f, const char *members, const char *read) {
            QTest::newRow(name) << f << QByteArray(members) << QString::fromLatin1(read);
        };
        row("lock, absent", lock, "", "0|0|0|0|sent");
        row("lock OPEN", lock, R"("state":"OPEN","lockId":"L","description":"d")", "1|0|0|0|sent");
        row("lock state lower case", lock, R"("state":"open")", "3|0|0|0|sent");
        row("lock state number", lock, R"("state":1)", "0|0|0|0|sent");
        row("lock COMMISSIONED", lock, R"("commissionState":"COMMISSIONED")", "0|1|0|0|sent");
        row("lock other commission", lock, R"("commissionState":"PENDING")", "0|3|0|0|sent");
        row("lock coordinates", lock, R"("longitude":"12.5","latitude":-25.75)", "0|0|0|-25.75|sent");
        row("schedule, empty", schedule, "", "-1|-1|-1|||sent");
        row("schedule, fraction", schedule, R"("examSchedId":7,"start":1700000000.9,"state":"S")",
            "7|1700000000|-1|S||sent");
        row("schedule, mistyped, null", schedule, R"("state":3,"end":null,"centerName":null)", "-1|-1|-1|||sent");
        row("schedule, saturated", schedule, R"("examSchedId":3e9,"start":-1e20,"end":1e300)",
            "2147483647|-2147483648|2147483647|||sent");
        row("seal, absent", seal, R"("apId":null)", "0|0|");
        row("seal beyond 32 bits", seal, R"("apRfId":5000000123)", "5000000123|0|");
        row("seal digits", seal, R"("apRfId":"18446744073709551615")", "18446744073709551615|0|");
        row("seal half rounds up", seal, R"("apRfId":7.5)", "8|0|");
        row("seal negative saturates", seal, R"("apRfId":-4)", "0|0|");
        row("seal huge saturates", seal, R"("apRfId":1e30)", "18446744073709551615|0|");
    }

    void records_readFieldsByTheirRules()
    {
        QFETCH(Fields, fields);
        QFETCH(QByteArray, members);
        QTEST(fields(QJsonDocument::fromJson("{" + members + "}").object()), "read");
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "test_model.moc"
