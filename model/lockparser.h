#pragma once

#include "model/lock.h"
#include "model/resultparser.h"

// A paged list of locks; also handed to the lock-rename request, whose reply is not read.
class LockParser : public ResultParser
{
public:
    using ResultParser::ResultParser;

    QJsonObject marshal(const QObject *record) const override;
    std::unique_ptr<Result> parse(const QJsonDocument *document) const override;

    static std::unique_ptr<Lock> parseLock(const QJsonObject &object);
};

// One lock: the lookup by RF tag and the lock validation.
class SingleLockParser : public LockParser
{
public:
    using LockParser::LockParser;

    std::unique_ptr<Result> parse(const QJsonDocument *document) const override;
};
