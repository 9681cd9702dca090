#include "model/jsonlogin.h"

JSONLogin::JSONLogin(QObject *parent) : QObject(parent) {}

JSONLogin::~JSONLogin() = default;
