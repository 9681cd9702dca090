#pragma once

#include "model/resultparser.h"
#include "model/seal.h"

// The reply to a timetable seal: one seal.
class ParserSeal : public ResultParser
{
public:
    using ResultParser::ResultParser;

    QJsonObject marshal(const QObject *record) const override;
    std::unique_ptr<Result> parse(const QJsonDocument *document) const override;

    static std::unique_ptr<Seal> parseSeal(const QJsonObject &object);
};

// The seals already packed for a subject at a centre: a paged list.
class ParserExistinPackedSeals : public ParserSeal
{
public:
    using ParserSeal::ParserSeal;

    std::unique_ptr<Result> parse(const QJsonDocument *document) const override;
};
