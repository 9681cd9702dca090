#include "model/paginationlist.h"

BasePaginationList::BasePaginationList(QObject *parent) : QObject(parent) {}

BasePaginationList::~BasePaginationList() = default;
