#pragma once

// Clocks, /proc readings and the figure lines shared by the bench programs.

#include <QtGlobal>

#include <vector>

namespace bench {

long long monotonicNs();
// CPU time of all threads of this process.
long long processCpuNs();
// A "<field>: <n> kB" line of /proc/<pid>/status in KiB, or -1.
double statusKiB(qint64 pid, const char *field);

double median(std::vector<double> values);
std::vector<double> scaled(std::vector<double> values, double factor);

// One line of the table: "<name> app=<median> baseline=<median> ratio=<app/baseline> n=<count>",
// with the spread (lowest and highest) of each side.
void printFigure(const char *name, const std::vector<double> &app, const std::vector<double> &baseline);

} // namespace bench
