#include "model/result.h"

Result::Result(QObject *parent) : QObject(parent) {}

Result::~Result() = default;
