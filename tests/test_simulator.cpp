// The station simulator: its console commands, the relay server over real sockets, and the
// sealstation-sim program itself stopped by the end of its input and by signals.

#include "sim/relayserver.h"
#include "sim/simconsole.h"
#include "support/keytestsupport.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

Q_DECLARE_METATYPE(SimCommand::Kind)

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void parseCommand_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<SimCommand::Kind>("kind");
        QTest::addColumn<quint64>("rf");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("milliseconds");
        using K = SimCommand::Kind;
        const auto row = [](const char *name, const char *line, K kind, quint64 rf = 0, const char *text = "",
                            int ms = 0) {
            QTest::newRow(name) << QString::fromUtf8(line) << kind << rf << QString::fromUtf8(text) << ms;
        };
        row("present", "present 303659", K::Present, 303659);
        row("largest 7-byte tag", "present 72057594037927935", K::Present, 72057594037927935ULL);
        row("tag too long", "present 72057594037927936", K::Invalid);
        row("fail keeps spaces", "fail  Lock   jammed ", K::Fail, 0, "Lock   jammed");
        row("fail line break", "fail Lock\\njammed", K::Fail, 0, "Lock\r\njammed");
        row("transfer payload", "transfer hello relay", K::Transfer, 0, "hello relay");
        row("sleep fraction", "sleep 0.25", K::Sleep, 0, "", 250);
        row("sleep too long", "sleep 3601", K::Invalid);
        row("wait seconds", "wait seal 2", K::Wait, 0, "", 2000);
        row("comment", "  # present 303659", K::Nothing);
        row("unknown", "dance", K::Invalid);
    }

    void parseCommand()
    {
        QFETCH(QString, line);
        QFETCH(SimCommand::Kind, kind);
        const SimCommand command = parseSimCommand(line);
        QCOMPARE(command.kind, kind);
        if (kind == SimCommand::Kind::Invalid) {
            QVERIFY(!command.text.isEmpty()); // the user is told why
            return;
        }
        QTEST(command.rf, "rf");
        QTEST(command.text, "text");
        QTEST(command.milliseconds, "milliseconds");
    }

    void relay_answersEveryFrameWhetherSplitOrJoined()
    {
        RelayServer relay;
        QVERIFY(relay.start(0));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, relay.port());
        QVERIFY(client.waitForConnected(5000));
        QTRY_COMPARE_WITH_TIMEOUT(relay.findChildren<QTcpSocket *>().size(), 1, 2000);
        // Small answers held back by Nagle's algorithm would wait for the client's delayed acknowledgement.
        QCOMPARE(relay.findChildren<QTcpSocket *>().first()->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);

        // Two frames in one write, a frame with a bad FCS, then a frame in two writes (with a flag byte
        // in its payload, so stuffing is exercised).
        const QByteArray third = QByteArray("c\x7e", 2);
        QByteArray broken = framed("x");
        broken[2] = static_cast<char>(broken[2] ^ 0x01);
        client.write(framed("a") + framed("b") + broken);
        const QByteArray split = framed(third);
        client.write(split.left(3));
        client.flush();
        QTRY_COMPARE_WITH_TIMEOUT(relay.received().size(), 2, 2000);
        client.write(split.mid(3));

        // The relay runs on this thread: wait in the event loop, not in a blocking read.
        const QByteArray expected = framed("ACK a") + framed("ACK b") + framed("ACK " + third);
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= expected.size(), 2000);
        QCOMPARE(client.readAll().toHex(' '), expected.toHex(' '));
        QCOMPARE(relay.received(), (QList<QByteArray>{"a", "b", third}));
    }

    // A usage error exits with 2, as the application's does, so that scripts tell it from a failed start (1).
    void program_rejectsUsageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray("Unknown option 'bogus'.");
        QTest::newRow("missing value") << QStringList{"--port"} << QByteArray("Missing value after '--port'.");
        QTest::newRow("argument") << QStringList{"bag.txt"} << QByteArray("unexpected argument bag.txt");
    }

    void program_rejectsUsageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, said);
        QProcess sim;
        sim.start(QStringLiteral(SEALSTATION_SIM_PATH), arguments);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 2);
        const QByteArray error = sim.readAllStandardError();
        QVERIFY2(error.startsWith("sealstation-sim: " + said), error.constData());
        QVERIFY(sim.readAllStandardOutput().isEmpty());
    }

    // Every way the program is told to stop (the row's name) ends it with its last word said and its
    // key socket gone.
    void program_stopsCleanly_data()
    {
        QTest::addColumn<QString>("said");
        const auto row = [](const char *how, const char *said) { QTest::newRow(how) << QString::fromLatin1(said); };
        row("end of input", "");
        row("SIGINT", "SIGINT: stopping");
        row("SIGTERM", "SIGTERM: stopping");
    }

    void program_stopsCleanly()
    {
        QFETCH(QString, said);
        const QString how = QString::fromLatin1(QTest::currentDataTag());
        const bool byInput = how == QLatin1String("end of input");
        QTemporaryDir dir;
        const QString socket = dir.filePath(QStringLiteral("key.sock"));
        QStringList arguments{"--port", "0", "--relay-port", "0", "--key-socket", socket, "--key-delay", "0"};
        arguments << "--db" << dir.filePath(QStringLiteral("vesk.db"));

        QProcess sim;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        sim.setProcessEnvironment(environment);
        sim.setProcessChannelMode(QProcess::MergedChannels);
        sim.start(QStringLiteral(SEALSTATION_SIM_PATH), arguments);
        QVERIFY(sim.waitForStarted(5000));
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += sim.readAll()).contains("Type help"), 5000);
        // Far more commands than the console queues at once: reading pauses and resumes, none is lost.
        const int count = 3 * int(SimConsole::kMaxQueued);
        if (byInput) {
            for (int i = 0; i < count; ++i)
                sim.write("fly" + QByteArray::number(i) + '\n');
            sim.closeWriteChannel();
        } else {
            ::kill(static_cast<pid_t>(sim.processId()), how == QLatin1String("SIGINT") ? SIGINT : SIGTERM);
        }
        QVERIFY(sim.waitForFinished(10000));
        const QString text = QString::fromLocal8Bit(output + sim.readAll());
        QVERIFY2(text.contains(said), qPrintable(text.right(500)));
        QVERIFY(!QFile::exists(socket));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY2(text.endsWith(QLatin1String("Simulator stopped.\n")), qPrintable(text.right(500)));
        const QStringList unknown = text.split(QLatin1Char('\n')).filter(QStringLiteral("Unknown command"));
        QCOMPARE(unknown.size(), byInput ? count : 0);
        for (int i = 0; i < unknown.size(); i += 997)
            QVERIFY(unknown.at(i).startsWith(QStringLiteral("Unknown command \"fly%1\"").arg(i)));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "test_simulator.moc"
