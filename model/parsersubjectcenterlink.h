#pragma once

#include "model/examschedule.h"
#include "model/resultparser.h"

// The link of a scanned subject to its centre: one exam schedule.
class ParserSubjectCenterLink : public ResultParser
{
public:
    using ResultParser::ResultParser;

    QJsonObject marshal(const QObject *record) const override;
    std::unique_ptr<Result> parse(const QJsonDocument *document) const override;

    static std::unique_ptr<ExamSchedule> parseExamSchedule(const QJsonObject &object);
};

// Assign and deassign: data() is a QList<ExamSchedule *>, without paging fields.
class ParserSubjectCenterLinkArray : public ParserSubjectCenterLink
{
public:
    using ParserSubjectCenterLink::ParserSubjectCenterLink;

    std::unique_ptr<Result> parse(const QJsonDocument *document) const override;
};
