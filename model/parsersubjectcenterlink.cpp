#include "model/parsersubjectcenterlink.h"

QJsonObject ParserSubjectCenterLink::marshal(const QObject *record) const
{
    const auto *schedule = qobject_cast<const ExamSchedule *>(record);
    if (!schedule)
        return QJsonObject();
    QJsonObject object;
    object.insert(QStringLiteral("examSchedId"), schedule->examSchedId());
    object.insert(QStringLiteral("tableId"), schedule->tableId());
    object.insert(QStringLiteral("pointId"), schedule->pointId());
    return object;
}

std::unique_ptr<Result> ParserSubjectCenterLink::parse(const QJsonDocument *document) const
{
    QJsonValue value;
    std::unique_ptr<Result> result = parseEnvelope(document, value);
    if (!result || value.isUndefined())
        return result;
    if (value.isObject()) {
        traceOut("ParserSubjectLink - Result object found.\n");
        result->setData(parseExamSchedule(value.toObject()).release());
    } else {
        traceOut("Something else...%d", static_cast<int>(value.type()));
    }
    return result;
}

std::unique_ptr<ExamSchedule> ParserSubjectCenterLink::parseExamSchedule(const QJsonObject &object)
{
    auto schedule = std::make_unique<ExamSchedule>();
    schedule->setExamSchedId(readInt(object, "examSchedId", -1));
    schedule->setPointId(readText(object, "pointId"));
    schedule->setTableId(readText(object, "tableId"));
    schedule->setState(readText(object, "state"));
    schedule->setSubjectAbbreviation(readText(object, "subjectAbbreviation"));
    schedule->setSubjectName(readText(object, "subjectName"));
    schedule->setCenterAbbreviation(readText(object, "centerAbbreviation"));
    schedule->setCenterName(readText(object, "centerName"));
    schedule->setStart(readInt(object, "start", -1));
    schedule->setEnd(readInt(object, "end", -1));
    return schedule;
}

std::unique_ptr<Result> ParserSubjectCenterLinkArray::parse(const QJsonDocument *document) const
{
    QJsonValue value;
    std::unique_ptr<Result> result = parseEnvelope(document, value);
    if (!result || value.isUndefined())
        return result;
    auto schedules = std::make_unique<QList<ExamSchedule *>>();
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array)
        schedules->append(parseExamSchedule(element.toObject()).release());
    result->setData(schedules.release());
    return result;
}
