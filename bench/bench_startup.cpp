// Start-up to the first shown window and peak memory of the application, against a minimal Qt
// Widgets program measured the same way in the same run.
//
//   bench_startup --app PATH --baseline PATH --probe LIBPATH [--runs N] [--settle MS]
//
// Each run starts both programs (in alternating order) with a fresh HOME and XDG directories. The
// time runs from just before the process is started until the preloaded probe reports that the
// first window was exposed and painted. Peak memory is VmHWM from /proc/PID/status, read once the
// program has been up for --settle milliseconds after its window was shown. Prints medians.
#include "bench/benchsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

struct Sample
{
    double startupMs = -1;
    double peakKiB = -1;
};

QProcessEnvironment freshUserEnvironment(const QString &home, const QString &probe)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/run"));
    env.remove(QStringLiteral("SEALSTATION_KEY_SOCKET"));
    env.insert(QStringLiteral("LD_PRELOAD"), probe);
    if (!env.contains(QStringLiteral("DISPLAY")) && !env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QDir().mkpath(home + QStringLiteral("/run"));
    return env;
}

Sample measureOnce(const QString &program, const QString &probe, int settleMs)
{
    Sample sample;
    QTemporaryDir home;
    if (!home.isValid())
        return sample;
    QProcess process;
    process.setProcessEnvironment(freshUserEnvironment(home.path(), probe));
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardOutputFile(QProcess::nullDevice());

    const long long startNs = bench::monotonicNs();
    process.start(program, QStringList());
    if (!process.waitForStarted(10000))
        return sample;

    QByteArray err;
    long long shownNs = -1;
    QElapsedTimer waited;
    waited.start();
    while (shownNs < 0 && waited.elapsed() < 30000 && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        err += process.readAllStandardError();
        const int at = err.indexOf("probe-shown ");
        const int end = at >= 0 ? err.indexOf('\n', at) : -1;
        if (end > at)
            shownNs = err.mid(at + 12, end - at - 12).toLongLong();
    }
    if (shownNs > 0) {
        sample.startupMs = double(shownNs - startNs) / 1e6;
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < settleMs && process.state() == QProcess::Running)
            process.waitForFinished(settleMs - int(settle.elapsed()));
        if (process.state() == QProcess::Running)
            sample.peakKiB = bench::statusKiB(process.processId(), "VmHWM");
    } else {
        std::fprintf(stderr, "%s: no window shown; its error output:\n%s\n", qPrintable(program), err.constData());
    }
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    return sample;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("app"), QStringLiteral("The application."), QStringLiteral("path")});
    parser.addOption({QStringLiteral("baseline"), QStringLiteral("The minimal program."), QStringLiteral("path")});
    parser.addOption({QStringLiteral("probe"), QStringLiteral("The start-up probe library."), QStringLiteral("path")});
    parser.addOption(
        {QStringLiteral("runs"), QStringLiteral("Runs of each program."), QStringLiteral("n"), QStringLiteral("15")});
    parser.addOption({QStringLiteral("settle"), QStringLiteral("Wait after the window shows."), QStringLiteral("ms"),
                      QStringLiteral("1000")});
    parser.process(app);

    const QString appPath = parser.value(QStringLiteral("app"));
    const QString basePath = parser.value(QStringLiteral("baseline"));
    const QString probe = QFileInfo(parser.value(QStringLiteral("probe"))).absoluteFilePath();
    const int runs = qMax(1, parser.value(QStringLiteral("runs")).toInt());
    const int settleMs = qMax(0, parser.value(QStringLiteral("settle")).toInt());
    if (appPath.isEmpty() || basePath.isEmpty() || !QFile::exists(probe)) {
        std::fprintf(stderr, "bench_startup: --app, --baseline and --probe are needed\n");
        return 2;
    }

    // One unmeasured start of each warms the file cache.
    measureOnce(appPath, probe, 0);
    measureOnce(basePath, probe, 0);

    std::vector<double> appStart, baseStart, appPeak, basePeak;
    for (int run = 0; run < runs; ++run) {
        // Alternating the order keeps a drift in machine load from favouring one program.
        for (int turn = 0; turn < 2; ++turn) {
            const bool appTurn = (run + turn) % 2 == 0;
            const Sample sample = measureOnce(appTurn ? appPath : basePath, probe, settleMs);
            if (sample.startupMs < 0 || sample.peakKiB < 0)
                return 1;
            (appTurn ? appStart : baseStart).push_back(sample.startupMs);
            (appTurn ? appPeak : basePeak).push_back(sample.peakKiB);
        }
    }

    const QByteArray platform = qEnvironmentVariableIsSet("QT_QPA_PLATFORM") ? qgetenv("QT_QPA_PLATFORM")
                                : qEnvironmentVariableIsSet("DISPLAY")       ? QByteArray("xcb")
                                                                             : QByteArray("offscreen");
    std::printf("# start-up and peak memory, %d runs each, platform %s\n", runs, platform.constData());
    bench::printFigure("startup_ms", appStart, baseStart);
    bench::printFigure("peak_rss_mib", bench::scaled(appPeak, 1.0 / 1024), bench::scaled(basePeak, 1.0 / 1024));
    return 0;
}
