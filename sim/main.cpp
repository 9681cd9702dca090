// sealstation-sim: the whole station on one machine for the application to talk to: the simulated
// web service, the emulated key on the key socket and the key's relay server, with a console.

#include "sim/consoleinput.h"
#include "sim/simconsole.h"
#include "sim/simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <optional>

namespace {

// Writes whole lines to standard output at once; on a terminal it keeps a prompt below them.
class ConsolePrinter
{
public:
    explicit ConsolePrinter(bool interactive) : m_interactive(interactive) {}

    void line(const QString &text)
    {
        QByteArray bytes;
        if (m_promptShown)
            bytes += "\r\033[K"; // the prompt line gives way to the text
        bytes += text.toLocal8Bit() + '\n';
        if (m_promptShown)
            bytes += kPrompt;
        write(bytes);
    }

    void event(const QString &text) { line(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss ")) + text); }

    static void error(const QString &text)
    {
        const QByteArray bytes = "sealstation-sim: " + text.toLocal8Bit() + '\n';
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
        std::fflush(stderr);
    }

    void prompt()
    {
        if (!m_interactive || m_promptShown)
            return;
        m_promptShown = true;
        write(kPrompt);
    }

    // The user pressed Enter: the terminal has moved to a fresh line.
    void inputTaken() { m_promptShown = false; }

    void endPrompt()
    {
        if (m_promptShown)
            write("\r\033[K");
        m_promptShown = false;
    }

private:
    static constexpr const char *kPrompt = "sim> ";

    static void write(const QByteArray &bytes)
    {
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        std::fflush(stdout);
    }

    const bool m_interactive;
    bool m_promptShown = false;
};

std::optional<quint16> portOption(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    bool ok = false;
    const uint value = parser.value(option).toUInt(&ok);
    if (!ok || value > 65535)
        return std::nullopt;
    return static_cast<quint16>(value);
}

} // namespace

int main(int argc, char *argv[])
{
    // A reader that goes away (a closed pipe) must not kill the simulator before it stops cleanly.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("SealStationSim"));
    QCoreApplication::setOrganizationName(QStringLiteral("Vesk"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SEALSTATION_VERSION));
    // Caught from the start: a signal during start-up is handled once the event loop runs.
    ConsoleInput input;
    input.catchTerminationSignals();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The SealStation station simulator: a simulated web service, an emulated key and the key's "
                       "relay server, controlled from a console on standard input (type help)."));
    const QCommandLineOption helpOpt = parser.addHelpOption();
    const QCommandLineOption versionOpt = parser.addVersionOption();
    const QCommandLineOption portOpt(
        QStringLiteral("port"), QStringLiteral("Port of the web service on 127.0.0.1 (default 8080; 0: a free one)."),
        QStringLiteral("port"), QStringLiteral("8080"));
    const QCommandLineOption relayPortOpt(
        QStringLiteral("relay-port"),
        QStringLiteral("Port of the relay server, TCP and UDP (default 7000; 0: a free one)."), QStringLiteral("port"),
        QStringLiteral("7000"));
    const QCommandLineOption dbOpt(QStringLiteral("db"),
                                   QStringLiteral("The service's SQLite database, seeded with demo data when new "
                                                  "(default: %1).")
                                       .arg(Simulator::defaultDatabasePath()),
                                   QStringLiteral("file"));
    const QCommandLineOption freshOpt(QStringLiteral("fresh"),
                                      QStringLiteral("Start from fresh demo data: delete the database first."));
    const QCommandLineOption socketOpt(QStringLiteral("key-socket"),
                                       QStringLiteral("The key's socket (default: $SEALSTATION_KEY_SOCKET, else the "
                                                      "application's default path)."),
                                       QStringLiteral("path"));
    const QCommandLineOption delayOpt(QStringLiteral("key-delay"),
                                      QStringLiteral("Milliseconds between the key's reports while it closes or "
                                                     "opens a lock (default 150)."),
                                      QStringLiteral("ms"), QStringLiteral("150"));
    const QCommandLineOption scriptOpt(QStringLiteral("script"),
                                       QStringLiteral("Run the commands in this file first, then read standard "
                                                      "input."),
                                       QStringLiteral("file"));
    const QCommandLineOption noInputOpt(QStringLiteral("no-input"),
                                        QStringLiteral("Read no commands from standard input: run until quit in the "
                                                       "script, Ctrl+C, SIGTERM or --exit-with."));
    const QCommandLineOption exitWithOpt(
        QStringLiteral("exit-with"), QStringLiteral("Stop when the process with this id ends."), QStringLiteral("pid"));
    parser.addOptions(
        {portOpt, relayPortOpt, dbOpt, freshOpt, socketOpt, delayOpt, scriptOpt, noInputOpt, exitWithOpt});
    // A usage error exits with 2, as the application does; process() would exit with 1.
    if (!parser.parse(app.arguments())) {
        ConsolePrinter::error(QStringLiteral("%1 See --help.").arg(parser.errorText()));
        return 2;
    }
    if (parser.isSet(helpOpt))
        parser.showHelp(0);
    if (parser.isSet(versionOpt))
        parser.showVersion();

    ConsolePrinter printer(ConsoleInput::isInteractive() && !parser.isSet(noInputOpt));
    if (!parser.positionalArguments().isEmpty()) {
        printer.error(QStringLiteral("unexpected argument %1; see --help").arg(parser.positionalArguments().first()));
        return 2;
    }

    SimulatorOptions options;
    const std::optional<quint16> servicePort = portOption(parser, portOpt);
    const std::optional<quint16> relayPort = portOption(parser, relayPortOpt);
    if (!servicePort || !relayPort) {
        printer.error(QStringLiteral("ports are numbers from 0 to 65535"));
        return 2;
    }
    options.servicePort = *servicePort;
    options.relayPort = *relayPort;
    options.databasePath = parser.value(dbOpt);
    options.keySocket = parser.value(socketOpt);
    bool delayOk = false;
    options.keyStepDelayMs = parser.value(delayOpt).toInt(&delayOk);
    if (!delayOk || options.keyStepDelayMs < 0 || options.keyStepDelayMs > 10000) {
        printer.error(QStringLiteral("--key-delay takes milliseconds from 0 to 10000"));
        return 2;
    }
    qint64 exitWith = 0;
    if (parser.isSet(exitWithOpt)) {
        bool ok = false;
        exitWith = parser.value(exitWithOpt).toLongLong(&ok);
        if (!ok || exitWith <= 0) {
            printer.error(QStringLiteral("--exit-with takes a process id"));
            return 2;
        }
    }
    QStringList scriptLines;
    if (parser.isSet(scriptOpt)) {
        QFile script(parser.value(scriptOpt));
        if (!script.open(QIODevice::ReadOnly | QIODevice::Text)) {
            printer.error(QStringLiteral("cannot read the script %1: %2").arg(script.fileName(), script.errorString()));
            return 2;
        }
        QTextStream stream(&script);
        while (!stream.atEnd())
            scriptLines << stream.readLine();
    }

    if (parser.isSet(freshOpt)) {
        const QString path = options.databasePath.isEmpty() ? Simulator::defaultDatabasePath() : options.databasePath;
        if (QFile::exists(path) && !QFile::remove(path)) {
            printer.error(QStringLiteral("cannot delete the database %1").arg(path));
            return 1;
        }
    }

    Simulator simulator;
    QObject::connect(&simulator, &Simulator::event, &app, [&printer](const QString &line) { printer.event(line); });
    QString error;
    if (!simulator.start(options, &error)) {
        printer.error(error);
        return 1;
    }
    for (const QString &line : simulator.banner())
        printer.line(line);

    SimConsole console(&simulator);
    QObject::connect(&console, &SimConsole::output, &app, [&printer](const QString &line) { printer.line(line); });
    QObject::connect(&console, &SimConsole::ready, &app, [&printer] { printer.prompt(); });
    // Quitting waits for the current command to return.
    QObject::connect(&console, &SimConsole::quitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(&input, &ConsoleInput::terminationRequested, &app, [&printer](const QString &name) {
        printer.endPrompt();
        printer.line(QStringLiteral("%1: stopping").arg(name));
        QCoreApplication::quit();
    });
    QObject::connect(&input, &ConsoleInput::processEnded, &app, [&printer](qint64 pid) {
        printer.endPrompt();
        printer.line(QStringLiteral("Process %1 has ended: stopping").arg(pid));
        QCoreApplication::quit();
    });
    if (exitWith > 0) {
        printer.line(QStringLiteral("Stops when process %1 ends.").arg(exitWith));
        input.watchProcess(exitWith);
    }

    for (const QString &line : scriptLines)
        console.feed(line);
    if (parser.isSet(noInputOpt)) {
        printer.line(QStringLiteral("Reading no commands: Ctrl+C or SIGTERM stops the simulator."));
    } else {
        QObject::connect(&input, &ConsoleInput::lineRead, &console, [&printer, &console, &input](const QString &line) {
            printer.inputTaken();
            console.feed(line);
            if (console.isBacklogged())
                input.setReading(false);
        });
        QObject::connect(&console, &SimConsole::ready, &input, [&input] { input.setReading(true); });
        QObject::connect(&input, &ConsoleInput::inputEnded, &console, [&printer, &console] {
            printer.inputTaken();
            console.endOfInput();
        });
        if (!input.readLines(0))
            console.endOfInput();
    }
    printer.prompt();

    const int code = app.exec();
    printer.endPrompt();
    simulator.stop();
    printer.line(QStringLiteral("Simulator stopped."));
    return code;
}
