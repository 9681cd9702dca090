#include "model/examschedule.h"

ExamSchedule::ExamSchedule(QObject *parent) : QObject(parent) {}

ExamSchedule::~ExamSchedule() = default;
