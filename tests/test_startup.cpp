#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Runs the built program as a new user would, with its own home and data folders.
class TestStartup : public QObject
{
    Q_OBJECT

private:
    static QString dataDir(const QString &home) { return home + QStringLiteral("/data/Vesk/SealStation"); }

private slots:
    void startup_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<bool>("logEnabled");

        QTest::newRow("no config file") << QByteArray() << true;
        QTest::newRow("logging switched off") << QByteArray("debug.log.enabled=no\n") << false;
    }

    void startup()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, logEnabled);

        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString configPath = dataDir(home.path()) + QStringLiteral("/user.config");
        if (!config.isEmpty())
            QVERIFY(writeFile(configPath, config));

        QProcess app;
        QProcessEnvironment env = freshUserEnvironment(home.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::SeparateChannels);
        app.start(QStringLiteral(SEALSTATION_APP_PATH), QStringList());
        QVERIFY(app.waitForStarted());

        QByteArray out;
        const QByteArray lastLine = logEnabled ? "Logging enabled to log file: " : "Logging disabled";
        QTRY_VERIFY_WITH_TIMEOUT((out += app.readAllStandardOutput()).contains(lastLine), 20000);
        // Give the output a moment to complete its line before we stop the program.
        QTRY_VERIFY_WITH_TIMEOUT((out += app.readAllStandardOutput()).endsWith('\n'), 5000);
        QCOMPARE(app.state(), QProcess::Running);
        app.kill();
        app.waitForFinished();

        const QList<QByteArray> lines = out.split('\n');
        QVERIFY(lines.size() >= 3);
        QCOMPARE(lines.at(0), "Load config file from: " + configPath.toLocal8Bit());
        QCOMPARE(lines.at(1), QByteArray(logEnabled ? "Log enabled 1" : "Log enabled 0"));
        const QString logPath = dataDir(home.path()) + QStringLiteral("//sealstation.log");
        QCOMPARE(lines.at(2),
                 logEnabled ? "Logging enabled to log file: " + logPath.toLocal8Bit() : QByteArray("Logging disabled"));
        QVERIFY(QFileInfo(dataDir(home.path())).isDir());
        if (!logEnabled)
            QVERIFY(!QFile::exists(logPath));
    }

    // Support staff and scripts ask the program about itself; it must answer without a
    // display and without leaving a settings folder behind.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << QByteArray("SealStation " SEALSTATION_VERSION " (Qt ") + qVersion() + ")\n";
        QTest::newRow("help") << QStringList{"-h"} << 0 << QByteArray("-v, --version");
        QTest::newRow("unknown option") << QStringList{"-platform", "offscreen", "--bogus"} << 2
                                        << QByteArray("Unknown option 'bogus'.");
        QTest::newRow("argument") << QStringList{"bag.txt"} << 2 << QByteArray("Unexpected argument 'bag.txt'.");
        QTest::newRow("value missing") << QStringList{"--version", "-name"} << 2
                                       << QByteArray("Missing value after '-name'.");

        // Qt's own options for every platform and for X11 reach Qt: each with its value, if it takes one, last
        // after --version, so that an option that wrongly takes or leaves a value shows as a usage error.
        const QString qtOptions = QStringLiteral(
            "-platform xcb|-platformpluginpath /opt/qt/plugins|-platformtheme gtk3|-plugin evdevtouch|"
            "-qwindowgeometry 800x600+0+0|-qwindowicon seal.png|-qwindowtitle Station-1|-session 10a3b4c5d6|"
            "-style fusion|-style=fusion|-stylesheet station.qss|-stylesheet=station.qss|-qmljsdebugger port:1234|"
            "-qmljsdebugger=port:1234,block|-reverse|-widgetcount|-display :0|-geometry 800x600+0+0|-name station|"
            "-title Station-1|-icon seal.png|-visual TrueColor|-ncols 216|-cmap|-fn Sans|-font Sans|-bg white|"
            "-background white|-fg black|-foreground black|-btn grey|-button grey|-im ibus|-inputstyle onthespot|"
            "-noxim|-nograb|-dograb|-sync|--platform xcb");
        for (const QString &option : qtOptions.split(QLatin1Char('|')))
            QTest::newRow(qPrintable(option))
                << QStringList{"--version", "-platform", "offscreen"} + option.split(QLatin1Char(' ')) << 0
                << QByteArray("SealStation " SEALSTATION_VERSION " (Qt ") + qVersion() + ")\n";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, expected);

        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcess app;
        QProcessEnvironment env = freshUserEnvironment(home.path());
        // A platform that does not exist: the application object would abort on it.
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("absent"));
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(SEALSTATION_APP_PATH), arguments);
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), exitCode);
        const QByteArray out = exitCode == 0 ? app.readAllStandardOutput() : app.readAllStandardError();
        QVERIFY2(expected.endsWith('\n') ? out == expected : out.contains(expected), out.constData());
        QVERIFY(!QFileInfo::exists(dataDir(home.path())));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
