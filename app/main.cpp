#include "app/configuration.h"
#include "app/resources.h"
#include "app/shutdownsignals.h"
#include "app/simplelogger.h"
#include "app/trace.h"
#include "journal/journal.h"
#include "ui/packingwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <memory>

namespace {
// Registered while the program image initialises, before main() runs.
const bool resourcesRegistered = [] {
    initSealStationResources();
    return true;
}();

const int kRun = -1;
const int kUsageError = 2;

// Options the application object and its platform plugins take for themselves, as Qt documents them
// for QGuiApplication, QApplication and X11. The parser accepts them so that they still reach Qt, and
// keeps them out of --help. "-style=fusion" and "-qmljsdebugger=port:1234" give the value after "=".
const char *const kQtValueOptions[] = {
    // every platform
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon", "qwindowtitle",
    "session", "style", "stylesheet", "qmljsdebugger",
    // X11
    "display", "geometry", "name", "title", "icon", "visual", "ncols", "fn", "font", "bg", "background", "fg",
    "foreground", "btn", "button", "im", "inputstyle"};
const char *const kQtFlagOptions[] = {"reverse", "widgetcount",
                                      // X11
                                      "nograb", "dograb", "sync", "cmap", "noxim"};

// Answers --help and --version, and refuses what the program does not know, before the
// settings are loaded, so that neither leaves a settings folder or log behind and neither
// needs a display. Returns the exit code, or kRun to start the program.
int handleCommandLine(int argc, char *argv[])
{
    if (argc <= 1)
        return kRun;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString program = QFileInfo(arguments.constFirst()).fileName();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Exam-paper packing station: signs the operator in to the Vesk service and seals\n"
                       "exam bags with the USB key. Settings and log live in the user's data folder."));
    // Qt's own options are single-dash words ("-platform offscreen").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Shows these options and exits."));
    const QCommandLineOption versionOption(
        {QStringLiteral("v"), QStringLiteral("version")},
        QStringLiteral("Shows the version and the Qt version it runs on, and exits."));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    for (const char *name : kQtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : kQtFlagOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    QString error;
    if (!parser.parse(arguments))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for the options.\n", qPrintable(program), qPrintable(error),
                     qPrintable(program));
        return kUsageError;
    }
    if (parser.isSet(helpOption)) {
        // The help text names the program from the core application object; it needs no display.
        QCoreApplication core(argc, argv);
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("SealStation %s (Qt %s)\n", SEALSTATION_VERSION, qVersion());
        return 0;
    }
    return kRun;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("SealStation"));
    QCoreApplication::setOrganizationName(QStringLiteral("Vesk"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SEALSTATION_VERSION));

    const int commandLineResult = handleCommandLine(argc, argv);
    if (commandLineResult != kRun)
        return commandLineResult;

    Configuration *config = Configuration::instance();
    config->load(QStringLiteral("user.config"));

    const bool logEnabled = config->get(Setting::LogEnabled);
    traceOut("Log enabled %d\n", logEnabled ? 1 : 0);
    const int logSize = config->get(Setting::LogSize);
    const int logCount = config->get(Setting::LogCount);
    const QString directory = config->configDirectory();

    SimpleLogger *logger = SimpleLogger::instance();
    logger->setup(directory, QStringLiteral("sealstation.log"), logEnabled, logSize, logCount);

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Stations often run at 150 % or 200 %; Qt 6 scales and picks @2x images by itself.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    auto app = std::make_unique<QApplication>(argc, argv);
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.vesk.SealStation"));
    // The station's journal, in the data folder; a bad or busy file is the journal's to handle.
    auto journal = std::make_unique<Journal>(directory);
    journal->setRetentionDays(config->get(Setting::JournalRetentionDays));
    journal->open();
    auto window = std::make_unique<PackingWindow>();
    window->setJournal(journal.get());
    // SIGTERM and its kin end the program as Exit does, once a seal under way has finished.
    ShutdownSignals shutdownSignals;
    QObject::connect(&shutdownSignals, &ShutdownSignals::requested, window.get(), &PackingWindow::endRequested);
    window->show();
    const int exitCode = app->exec();

    window->endJournalSession();
    logger->close();
    window.reset();
    journal.reset();
    app.reset();
    return exitCode;
}
