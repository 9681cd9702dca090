#include "model/parserseal.h"

QJsonObject ParserSeal::marshal(const QObject *record) const
{
    Q_UNUSED(record)
    return QJsonObject();
}

std::unique_ptr<Result> ParserSeal::parse(const QJsonDocument *document) const
{
    return parseSingle<Seal>(document, "ParserSeal - Result object found.\n", &ParserSeal::parseSeal);
}

std::unique_ptr<Seal> ParserSeal::parseSeal(const QJsonObject &object)
{
    auto seal = std::make_unique<Seal>();
    seal->setTableId(readText(object, "tableId"));
    seal->setPointId(readText(object, "pointId"));
    seal->setApId(readText(object, "apId"));
    seal->setExamSchedId(readInt(object, "examSchedId", 0));
    const QJsonValue apRfId = object.value(QLatin1String("apRfId"));
    seal->setApRfId(isPresent(apRfId) ? toUInt64(apRfId) : 0);
    return seal;
}

std::unique_ptr<Result> ParserExistinPackedSeals::parse(const QJsonDocument *document) const
{
    return parsePage<Seal>(document, nullptr, "ParserExistinPackedSeals - Result object found.\n",
                           "Number of existing seals for this subject: ", &ParserSeal::parseSeal);
}
