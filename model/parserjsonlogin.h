#pragma once

#include "model/jsonlogin.h"
#include "model/resultparser.h"

// The login reply; its traces go to the debug channel.
class ParserJSONLogin : public ResultParser
{
public:
    using ResultParser::ResultParser;

    QJsonObject marshal(const QObject *record) const override;
    std::unique_ptr<Result> parse(const QJsonDocument *document) const override;
};
