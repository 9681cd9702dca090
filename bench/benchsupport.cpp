#include "bench/benchsupport.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace bench {

namespace {
long long clockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}
} // namespace

long long monotonicNs()
{
    return clockNs(CLOCK_MONOTONIC);
}

long long processCpuNs()
{
    return clockNs(CLOCK_PROCESS_CPUTIME_ID);
}

double statusKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toDouble();
    }
    return -1;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::vector<double> scaled(std::vector<double> values, double factor)
{
    for (double &value : values)
        value *= factor;
    return values;
}

void printFigure(const char *name, const std::vector<double> &app, const std::vector<double> &baseline)
{
    const double a = median(app);
    const double b = median(baseline);
    const auto spread = [](const std::vector<double> &values) {
        return values.empty() ? std::make_pair(0.0, 0.0)
                              : std::make_pair(*std::min_element(values.begin(), values.end()),
                                               *std::max_element(values.begin(), values.end()));
    };
    const auto as = spread(app);
    const auto bs = spread(baseline);
    std::printf("%s app=%.3f baseline=%.3f ratio=%.3g n=%zu app_range=%.3f..%.3f baseline_range=%.3f..%.3f\n", name, a,
                b, b > 0 ? a / b : 0.0, app.size(), as.first, as.second, bs.first, bs.second);
    std::fflush(stdout);
}

} // namespace bench
