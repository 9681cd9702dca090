#include "model/seal.h"

Seal::Seal(QObject *parent) : QObject(parent) {}

Seal::~Seal() = default;
