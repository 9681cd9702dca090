// libFuzzer target: any bytes as the reply body to each service operation, parsed and taken over
// the way the session does, so that a crash, an overflow or a leaked record shows.
#include "model/examschedule.h"
#include "model/jsonlogin.h"
#include "model/lockparser.h"
#include "model/parserjsonlogin.h"
#include "model/parserseal.h"
#include "model/parsersubjectcenterlink.h"

#include <QByteArray>

#include <cstdio>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

template <typename T>
void takeSingle(const ResultParser &parser, const QByteArray &body)
{
    if (std::unique_ptr<Result> result = parser.parseBody(body))
        result->takeData<T>();
}

template <typename T>
void takePage(const ResultParser &parser, const QByteArray &body)
{
    std::unique_ptr<Result> result = parser.parseBody(body);
    if (result && result->data())
        result->takeData<PaginationList<T>>()->takeItems();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The parsers trace on standard output and log through qDebug: keep the run quiet and fast.
    std::freopen("/dev/null", "w", stdout);
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    takeSingle<JSONLogin>(ParserJSONLogin(), body);
    takeSingle<Lock>(SingleLockParser(), body);
    takePage<Lock>(LockParser(), body);
    takeSingle<ExamSchedule>(ParserSubjectCenterLink(), body);
    if (std::unique_ptr<Result> result = ParserSubjectCenterLinkArray().parseBody(body))
        takeRecords(result->takeData<QList<ExamSchedule *>>());
    takeSingle<Seal>(ParserSeal(), body);
    takePage<Seal>(ParserExistinPackedSeals(), body);
    return 0;
}
