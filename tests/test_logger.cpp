#include "app/simplelogger.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

namespace {

const QMessageLogContext kNoContext;

// Sets up a logger without leaving its handler installed over QtTest's own.
void setupQuietly(SimpleLogger &logger, const QString &dir, int size, int count)
{
    const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    logger.setup(dir, QStringLiteral("sealstation.log"), true, size, count);
    qInstallMessageHandler(previous);
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("function");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected");

        const QString hello = QStringLiteral("hello world");
        QTest::newRow("debug, no context")
            << int(QtDebugMsg) << QString() << 0 << QString() << hello << QByteArray("Debug:hello world (:0) \n");
        QTest::newRow("warning with context")
            << int(QtWarningMsg) << "usblink.cpp" << 42 << "void usbLink::run()" << hello
            << QByteArray("Warning:hello world (usblink.cpp:42) void usbLink::run()\n");
        QTest::newRow("info writes nothing") << int(QtInfoMsg) << QString() << 0 << QString() << hello << QByteArray();
        // Texts of the key and the service cannot end their line or forge one.
        QTest::newRow("key text with CR LF")
            << int(QtDebugMsg) << QString() << 0 << QString() << QStringLiteral("Type: 0 : [Authorised\r\nlocked]")
            << QByteArray("Debug:Type: 0 : [Authorised\\r\\nlocked] (:0) \n");
        QTest::newRow("forged line in a service message")
            << int(QtDebugMsg) << QString() << 0 << QString()
            << QString::fromUtf8("Code string 'OK\nWarning:forged (:0) \r\tx\x1b\x7f\u2028'")
            << QByteArray("Debug:Code string 'OK\\nWarning:forged (:0) \\r\\tx\\x1b\\x7f\\u2028' (:0) \n");
    }

    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QString, file);
        QFETCH(int, line);
        QFETCH(QString, function);
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);

        // A log that exists already is appended to.
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("sealstation.log")), "earlier line\n"));
        SimpleLogger logger;
        setupQuietly(logger, dir.path(), 1000000, 10);
        const QByteArray fileBytes = file.toLatin1();
        const QByteArray functionBytes = function.toLatin1();
        const QMessageLogContext context(file.isEmpty() ? nullptr : fileBytes.constData(), line,
                                         function.isEmpty() ? nullptr : functionBytes.constData(), "default");
        logger.handleMessage(QtMsgType(type), context, text);
        QCOMPARE(readFile(dir.filePath(QStringLiteral("sealstation.log"))), "earlier line\n" + expected);
    }

    // Lines are "Debug:m<i> (:0) \n", 15 bytes each. `expected` holds the log, then the rotated
    // files 0 to 3, each ended by "|".
    void rotation_data()
    {
        QTest::addColumn<int>("sizeLimit");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("messages");
        QTest::addColumn<int>("closeAfter"); // messages before close(); -1: never closed
        QTest::addColumn<QByteArray>("expected");

        const QByteArray m0 = "Debug:m0 (:0) \n", m1 = "Debug:m1 (:0) \n", m2 = "Debug:m2 (:0) \n";
        QTest::newRow("exactly at the limit stays") << 30 << 10 << 2 << -1 << m0 + m1 + "|||||";
        QTest::newRow("above the limit, then a fresh log") << 29 << 10 << 3 << -1 << m2 + "|" + m0 + m1 + "||||";
        // Limit 0 rotates after every message; indices run 0, 1, 2, 0: count 2 gives three names.
        QTest::newRow("index wraps, old file replaced")
            << 0 << 2 << 4 << -1 << "|Debug:m3 (:0) \n|" + m1 + "|" + m2 + "||";
        QTest::newRow("nothing written after close") << 0 << 10 << 3 << 1 << "|" + m0 + "||||";
    }

    void rotation()
    {
        QFETCH(int, sizeLimit);
        QFETCH(int, count);
        QFETCH(int, messages);
        QFETCH(int, closeAfter);
        QFETCH(QByteArray, expected);

        QTemporaryDir dir;
        SimpleLogger logger;
        setupQuietly(logger, dir.path(), sizeLimit, count);
        for (int i = 0; i < messages; ++i) {
            if (i == closeAfter)
                logger.close();
            logger.handleMessage(QtDebugMsg, kNoContext, QStringLiteral("m%1").arg(i));
        }
        QByteArray files = readFile(dir.filePath(QStringLiteral("sealstation.log"))) + '|';
        for (int index = 0; index < 4; ++index)
            files += readFile(dir.filePath(QStringLiteral("sealstation.log%1").arg(index))) + '|';
        QCOMPARE(files, expected);
    }

    void twoThreads_giveWholeLines_andLoseNone()
    {
        QTemporaryDir dir;
        SimpleLogger logger;
        // Small enough to rotate often while both threads write.
        setupQuietly(logger, dir.path(), 4000, 1000);
        const int perThread = 2000;
        auto writer = [&logger](char tag) {
            for (int i = 0; i < perThread; ++i)
                logger.handleMessage(QtDebugMsg, kNoContext, QStringLiteral("%1-%2").arg(tag).arg(i));
        };
        std::thread a(writer, 'a');
        std::thread b(writer, 'b');
        a.join();
        b.join();
        logger.close();

        QByteArray all;
        const QStringList files = QDir(dir.path()).entryList(QDir::Files);
        QVERIFY(files.size() > 2);
        for (const QString &name : files)
            all += readFile(dir.path() + QLatin1Char('/') + name);
        const QList<QByteArray> lines = all.split('\n');
        QCOMPARE(lines.size() - 1, 2 * perThread);
        QSet<QByteArray> seen;
        const QRegularExpression shape(QStringLiteral("^Debug:[ab]-\\d+ \\(:0\\) $"));
        for (int i = 0; i < lines.size() - 1; ++i) {
            QVERIFY2(shape.match(QString::fromLatin1(lines.at(i))).hasMatch(), lines.at(i).constData());
            seen.insert(lines.at(i));
        }
        QCOMPARE(seen.size(), 2 * perThread);
    }
};

QTEST_GUILESS_MAIN(TestLogger)
#include "test_logger.moc"
