#include "app/configuration.h"
#include "support/outputcapture.h"
#include "support/testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

class TestConfig : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

    QString configPath() const { return m_home.path() + QStringLiteral("/Vesk/SealStation/user.config"); }

    void writeConfig(const QByteArray &content) { QVERIFY(writeFile(configPath(), content)); }
    QByteArray readConfig() const { return readFile(configPath()); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        useDataHome(m_home.path());
    }

    void cleanup() { QFile::remove(configPath()); }

    void freshStart_usesTheProductDefaults()
    {
        Configuration config;
        config.load(QStringLiteral("user.config"));
        QCOMPARE(config.filePath(), configPath());
        QVERIFY(config.configDirectory().endsWith(QStringLiteral("/Vesk/SealStation/")));
        // What start-up hands the logger, and what the pages and the key engine read.
        QCOMPARE(config.get(Setting::LogEnabled), true);
        QCOMPARE(config.get(Setting::LogSize), 1000000);
        QCOMPARE(config.get(Setting::LogCount), 10);
        QCOMPARE(config.get(Setting::AutoSeal), false);
        QCOMPARE(config.multipleSealDialogue(), true);
        QCOMPARE(config.get(Setting::Protocol), QStringLiteral("tcp"));
        QCOMPARE(config.get(Setting::ProxyType), 0);
        QCOMPARE(config.get(Setting::ProxyPort), 0);
        QCOMPARE(config.get(Setting::ProxyHost) + config.get(Setting::ProxyUser) + config.get(Setting::ProxyPass),
                 QString());
        QVERIFY(!QFile::exists(configPath()));
    }

    void parsing_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("expectedInteger");
        QTest::addColumn<bool>("expectedBoolean");
        QTest::addColumn<QString>("expectedString");

        // Only "true" and "yes", in any letter case, are true.
        QTest::newRow("TRUE") << QByteArray("autoseal=TRUE") << "autoseal" << 0 << true << "TRUE";
        QTest::newRow("yes") << QByteArray("autoseal=yes") << "autoseal" << 0 << true << "yes";
        QTest::newRow("1 is false") << QByteArray("autoseal=1") << "autoseal" << 1 << false << "1";
        QTest::newRow("on is false") << QByteArray("autoseal=on") << "autoseal" << 0 << false << "on";
        // A value that is not a number reads as 0, not as the default.
        QTest::newRow("abc gives 0") << QByteArray("debug.log.size=abc") << "debug.log.size" << 0 << false << "abc";
        QTest::newRow("trimmed line") << QByteArray("  protocol=udp \t") << "protocol" << 0 << false << "udp";
        // Spaces around "=" belong to key and value; the plain key stays unset.
        QTest::newRow("spaced key") << QByteArray("autoseal = true") << "autoseal " << 0 << false << " true";
        // Everything after the first "=" is the value.
        QTest::newRow("first = only") << QByteArray("proxypass=a=b") << "proxypass" << 0 << false << "a=b";
        QTest::newRow("last line wins") << QByteArray("protocol=tcp\nprotocol=udp") << "protocol" << 0 << false
                                        << "udp";
    }

    void parsing()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, key);
        QFETCH(int, expectedInteger);
        QFETCH(bool, expectedBoolean);
        QFETCH(QString, expectedString);

        writeConfig("unrelated=1\n" + line + "\nno separator here\n");
        Configuration config;
        config.load(QStringLiteral("user.config"));
        QCOMPARE(config.getString(key, QStringLiteral("<absent>")), expectedString);
        QCOMPARE(config.getInteger(key, 777), expectedInteger);
        QCOMPARE(config.getBoolean(key, true), expectedBoolean);
        QCOMPARE(config.getString(QStringLiteral("no separator here"), QStringLiteral("<absent>")),
                 QStringLiteral("<absent>"));
        if (key == QLatin1String("autoseal "))
            QCOMPARE(config.getBoolean(QStringLiteral("autoseal")), false);
    }

    void save_keepsUnknownKeysAndValuesWithEquals_andRefusesLineBreaks()
    {
        writeConfig("some.future.key=42\nproxypass=x\n");
        {
            Configuration config;
            config.load(QStringLiteral("user.config"));
            QVERIFY(config.set(Setting::ProxyPass, QStringLiteral("a=b")));
            config.set(Setting::AutoSeal, true);
            // Written raw, these would come back as keys of their own.
            QVERIFY(!config.set(Setting::ProxyHost, QStringLiteral("h\nproxytype=2")));
            QVERIFY(!config.setString(QStringLiteral("proxyuser"), QStringLiteral("u\rautoseal=false")));
            QCOMPARE(config.get(Setting::ProxyHost), QString());
            OutputCapture capture;
            QVERIFY(config.save());
            // The proxy password is stored in clear but never logged.
            QVERIFY(capture.messages().contains(QStringLiteral("some.future.key=42")));
            QVERIFY(!capture.messages().join(QLatin1Char('\n')).contains(QStringLiteral("a=b")));
        }
        Configuration reloaded;
        reloaded.load(QStringLiteral("user.config"));
        QCOMPARE(reloaded.getString(QStringLiteral("some.future.key")), QStringLiteral("42"));
        QCOMPARE(reloaded.getString(QStringLiteral("proxypass")), QStringLiteral("a=b"));
        QCOMPARE(reloaded.getString(QStringLiteral("autoseal")), QStringLiteral("true"));
        QCOMPARE(readConfig().count('\n'), 3);
        QVERIFY(!readConfig().contains('\r'));
    }

    void save_thatFails_leavesFileAndKeepsValue_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("cannot commit") << "full disk";
        QTest::newRow("cannot open") << "directory in place of the file";
        QTest::newRow("before load") << "no file named";
    }

    void save_thatFails_leavesFileAndKeepsValue()
    {
        QFETCH(QString, failure);
        const QByteArray original = "autoseal=true\nproxyhost=old\n";
        if (failure == QLatin1String("directory in place of the file"))
            QVERIFY(QDir().mkpath(configPath()));
        else
            writeConfig(original);
        Configuration config;
        if (failure != QLatin1String("no file named"))
            config.load(QStringLiteral("user.config"));
        config.set(Setting::ProxyHost, QString(200, QLatin1Char('x')));

        // A file-size limit makes every write past it fail with EFBIG, as a full disk would,
        // even for root.
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
        rlimit tight = previous;
        tight.rlim_cur = 64;
        if (failure == QLatin1String("full disk"))
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        const bool saved = config.save();
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!saved);
        if (failure == QLatin1String("directory in place of the file")) {
            QVERIFY(QFileInfo(configPath()).isDir());
            QVERIFY(QDir(configPath()).removeRecursively());
        } else {
            QCOMPARE(readConfig(), original);
        }
        const QStringList leftovers = QDir(QFileInfo(configPath()).path()).entryList(QDir::Files);
        QVERIFY(leftovers.isEmpty() || leftovers == QStringList{QStringLiteral("user.config")});
        // The value stays in effect for this run.
        QCOMPARE(config.get(Setting::ProxyHost).size(), 200);
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "test_config.moc"
