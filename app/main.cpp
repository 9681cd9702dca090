#include "app/configuration.h"
#include "app/resources.h"
#include "app/simplelogger.h"
#include "app/trace.h"
#include "ui/packingwindow.h"

#include <QApplication>
#include <QCoreApplication>

#include <memory>

namespace {
// Registered while the program image initialises, before main() runs.
const bool resourcesRegistered = [] {
    initSealStationResources();
    return true;
}();
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("SealStation"));
    QCoreApplication::setOrganizationName(QStringLiteral("Vesk"));

    Configuration *config = Configuration::instance();
    config->load(QStringLiteral("user.config"));

    const bool logEnabled = config->get(Setting::LogEnabled);
    traceOut("Log enabled %d\n", logEnabled ? 1 : 0);
    const int logSize = config->get(Setting::LogSize);
    const int logCount = config->get(Setting::LogCount);
    const QString directory = config->configDirectory();

    SimpleLogger *logger = SimpleLogger::instance();
    logger->setup(directory, QStringLiteral("sealstation.log"), logEnabled, logSize, logCount);

    auto app = std::make_unique<QApplication>(argc, argv);
    auto window = std::make_unique<PackingWindow>();
    window->show();
    const int exitCode = app->exec();

    logger->close();
    window.reset();
    app.reset();
    return exitCode;
}
