// The station simulator: its console commands, the relay server over real sockets, and the
// sealstation-sim program itself run as a process with commands on its standard input.

#include "key/kcodec.h"
#include "key/kframe.h"
#include "key/usbdevice.h"
#include "sim/emulatedkey.h"
#include "sim/relayserver.h"
#include "sim/simconsole.h"
#include "sim/simulator.h"
#include "support/keytestsupport.h"
#include "support/websim_support.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <future>
#include <memory>

#include <csignal>

Q_DECLARE_METATYPE(SimCommand::Kind)

namespace {

// The application's side of the key socket: its real device, with a deadline on every read.
class KeyClient
{
public:
    explicit KeyClient(const QString &path) : m_device(createUsbDevice(path.toStdString())) {}

    bool open() { return m_device->openDevice(); }

    bool send(KMessage &message)
    {
        uint8_t buffer[KMESSAGE_MAX_SIZE];
        const int length = message.serialize(buffer, sizeof(buffer));
        return length > 0 && kframe::sendWhole(*m_device, buffer, length) == 1;
    }

    // The next good frame's message, or nothing after timeoutMs.
    std::unique_ptr<KMessage> receive(int timeoutMs = 5000)
    {
        auto read = std::async(std::launch::async, [this] {
            for (;;) {
                std::unique_ptr<uint8_t[]> payload;
                int length = 0;
                const kframe::FrameReceiver::Step step = m_receiver.step(*m_device, payload, length);
                if (step == kframe::FrameReceiver::Step::PipeFailed)
                    return std::unique_ptr<KMessage>();
                if (step == kframe::FrameReceiver::Step::Delivered)
                    return KMessage::parse(payload.get(), static_cast<size_t>(length));
            }
        });
        if (read.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready)
            m_device->cancel();
        return read.get();
    }

private:
    std::unique_ptr<UsbDevice> m_device;
    kframe::FrameReceiver m_receiver;
};

const KTag *findTag(KMessage &message, uint8_t tag)
{
    message.first();
    while (const KTag *item = message.next()) {
        if (item->tag() == tag)
            return item;
    }
    return nullptr;
}

// sealstation-sim as a child process; its standard output is collected as it arrives.
class SimProcess
{
public:
    explicit SimProcess(const QTemporaryDir &dir)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        m_process.setProcessEnvironment(environment);
        m_socket = dir.filePath(QStringLiteral("key.sock"));
        m_arguments = QStringList{QStringLiteral("--port"),       QStringLiteral("0"),
                                  QStringLiteral("--relay-port"), QStringLiteral("0"),
                                  QStringLiteral("--db"),         dir.filePath(QStringLiteral("vesk.db")),
                                  QStringLiteral("--key-socket"), m_socket,
                                  QStringLiteral("--key-delay"),  QStringLiteral("0")};
    }

    ~SimProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool start(const QStringList &extra = QStringList())
    {
        m_process.start(QStringLiteral(SEALSTATION_SIM_PATH), m_arguments + extra);
        return m_process.waitForStarted(5000);
    }

    // True once the output holds `text`.
    bool waitFor(const QString &text, int timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!output().contains(text)) {
            if (timer.hasExpired(timeoutMs) || m_process.state() == QProcess::NotRunning)
                return output().contains(text);
            m_process.waitForReadyRead(50);
        }
        return true;
    }

    bool finish(int timeoutMs = 10000)
    {
        const bool done = m_process.waitForFinished(timeoutMs);
        output();
        return done;
    }

    // Ended by itself with code 0, said so last, and removed its key socket.
    bool stoppedCleanly()
    {
        return finish() && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0 &&
               output().endsWith(QLatin1String("Simulator stopped.\n")) && !QFile::exists(m_socket);
    }

    QString output()
    {
        m_output += m_process.readAllStandardOutput();
        return QString::fromLocal8Bit(m_output);
    }

    quint16 portAfter(const QString &label)
    {
        const QRegularExpression pattern(QRegularExpression::escape(label) +
                                         QStringLiteral("[^\\n]*127\\.0\\.0\\.1:(\\d+)"));
        return static_cast<quint16>(pattern.match(output()).captured(1).toUInt());
    }

    QProcess m_process;
    QString m_socket;

private:
    QStringList m_arguments;
    QByteArray m_output;
};

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void parseCommand_data();
    void parseCommand();
    void readableEvents_data();
    void readableEvents();

    void relay_answersEachTcpFrameWhetherSplitOrJoined();
    void relay_answersUdpDatagramOnSamePort();
    void relay_stopClosesAcceptedConnections();
    void relay_answersWithoutNagleDelay();

    void console_sleepHoldsLaterCommandsThenEndOfInputQuits();
    void console_waitSealEndsWhenServiceRecordsSeal();
    void console_explainsCommandsThatCannotRun();
    void console_framesShowWhatTheKeyReceived();

    void program_keyReportsServiceAndRelayItPrinted();
    void program_stopsCleanlyOnSignal_data();
    void program_stopsCleanlyOnSignal();
    void program_exitWithStopsWhenProcessEnds();
    void program_busyPortFailsWithHint();
    void program_scriptWaitsForApplication();
    void program_floodOfCommandsRunsEveryOneInOrder();

private:
    // Starts the simulator in this process with a console on it; the console's lines go to m_output.
    void startConsole();

    QTemporaryDir m_dir;
    std::unique_ptr<Simulator> m_simulator;
    std::unique_ptr<SimConsole> m_console;
    QStringList m_output;
};

void TestSimulator::parseCommand_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<SimCommand::Kind>("kind");
    QTest::addColumn<quint64>("rf");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("milliseconds");
    using K = SimCommand::Kind;
    QTest::newRow("present") << "present 303659" << K::Present << quint64(303659) << "" << 0;
    QTest::newRow("spaces and case") << "  PRESENT \t 303659 " << K::Present << quint64(303659) << "" << 0;
    QTest::newRow("largest 7-byte tag") << "present 72057594037927935" << K::Present << quint64(72057594037927935ULL)
                                        << "" << 0;
    QTest::newRow("tag too long") << "present 72057594037927936" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("not a number") << "present 30a659" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("no number") << "present" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("fail keeps spaces") << "fail  Lock   jammed " << K::Fail << quint64(0) << "Lock   jammed" << 0;
    QTest::newRow("fail line break") << "fail Lock\\njammed" << K::Fail << quint64(0) << "Lock\r\njammed" << 0;
    QTest::newRow("fail without text") << "fail" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("frames") << "frames" << K::Frames << quint64(0) << "" << 0;
    QTest::newRow("frames takes nothing") << "frames 3" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("transfer") << "transfer" << K::Transfer << quint64(0) << "" << 0;
    QTest::newRow("transfer payload") << "transfer hello relay" << K::Transfer << quint64(0) << "hello relay" << 0;
    QTest::newRow("sleep fraction") << "sleep 0.25" << K::Sleep << quint64(0) << "" << 250;
    QTest::newRow("sleep negative") << "sleep -1" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("sleep too long") << "sleep 3601" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("wait default") << "wait app" << K::Wait << quint64(0) << "" << SimConsole::kDefaultWaitMs;
    QTest::newRow("wait seconds") << "wait seal 2" << K::Wait << quint64(0) << "" << 2000;
    QTest::newRow("wait for what") << "wait lunch" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("comment") << "  # present 303659" << K::Nothing << quint64(0) << "" << 0;
    QTest::newRow("blank") << "   " << K::Nothing << quint64(0) << "" << 0;
    QTest::newRow("argument where none belongs") << "remove 303659" << K::Invalid << quint64(0) << "" << 0;
    QTest::newRow("take") << "take" << K::Remove << quint64(0) << "" << 0;
    QTest::newRow("exit") << "exit" << K::Quit << quint64(0) << "" << 0;
    QTest::newRow("unknown") << "dance" << K::Invalid << quint64(0) << "" << 0;
}

void TestSimulator::parseCommand()
{
    QFETCH(QString, line);
    QFETCH(SimCommand::Kind, kind);
    QFETCH(quint64, rf);
    QFETCH(QString, text);
    QFETCH(int, milliseconds);
    const SimCommand command = parseSimCommand(line);
    QCOMPARE(command.kind, kind);
    if (kind == SimCommand::Kind::Invalid) {
        QVERIFY(!command.text.isEmpty()); // the user is told why
        return;
    }
    QCOMPARE(command.rf, rf);
    QCOMPARE(command.text, text);
    QCOMPARE(command.milliseconds, milliseconds);
}

void TestSimulator::readableEvents_data()
{
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("expected");
    QTest::newRow("presented") << Simulator::readableKeyActivity(QStringLiteral("Lock presented: 00 00 00 00 04 a2 2b"))
                               << "Lock presented: RF 303659";
    QTest::newRow("beyond 32 bits") << Simulator::readableKeyActivity(QStringLiteral("Scan: 00 00 01 2a 05 f2 7b"))
                                    << "Tag read: RF 5000000123";
    QTest::newRow("no lock") << Simulator::readableKeyActivity(QStringLiteral("Scan: no lock"))
                             << "Tag read: no lock in front of the key";
    QTest::newRow("other activity") << Simulator::readableKeyActivity(QStringLiteral("Key unplugged"))
                                    << "Key unplugged";
    QTest::newRow("request") << Simulator::readableServiceRequest(
                                    QStringLiteral("PUT /veskservice/timetable/seal 200 rc=200"))
                             << "PUT /veskservice/timetable/seal -> 200  (record the seal)";
    QTest::newRow("refusal") << Simulator::readableServiceRequest(
                                    QStringLiteral("GET /veskservice/lock/find/by/rf/9 200 rc=404"))
                             << "GET /veskservice/lock/find/by/rf/9 -> HTTP 200, rc 404  (look up lock RF 9)";
    QTest::newRow("text payload") << Simulator::readablePayload("ACK x") << "\"ACK x\" (5 bytes)";
    QTest::newRow("binary payload") << Simulator::readablePayload(QByteArray("\x00\x7e", 2)) << "00 7e (2 bytes)";
    QTest::newRow("relay data with FCS") << Simulator::readableRelayData(QByteArray::fromHex("41434b206f79a1"))
                                         << "\"ACK o\" (5 bytes) and the frame's 2 check bytes";
    QTest::newRow("relay data without") << Simulator::readableRelayData("ACK o") << "\"ACK o\" (5 bytes)";
    QTest::newRow("long payload") << Simulator::readablePayload(QByteArray(60, 'a'))
                                  << "\"" + QString(48, QLatin1Char('a')) + "\" ... (60 bytes)";
}

void TestSimulator::readableEvents()
{
    QFETCH(QString, shown);
    QFETCH(QString, expected);
    QCOMPARE(shown, expected);
}

void TestSimulator::relay_answersEachTcpFrameWhetherSplitOrJoined()
{
    RelayServer relay;
    QVERIFY(relay.start(0));
    QSignalSpy opened(&relay, &RelayServer::connectionOpened);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, relay.port());
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(opened.wait(5000));

    // Two frames in one write, a frame with a bad FCS, then a frame in two writes (with a flag byte
    // in its payload, so stuffing is exercised).
    const QByteArray third = QByteArray("c\x7e", 2);
    QByteArray broken = framed("x");
    broken[2] = static_cast<char>(broken[2] ^ 0x01);
    client.write(framed("a") + framed("b") + broken);
    const QByteArray split = framed(third);
    client.write(split.left(3));
    client.flush();
    QTRY_COMPARE(relay.received().size(), 2);
    client.write(split.mid(3));

    // The relay runs on this thread: wait in the event loop, not in a blocking read.
    const QByteArray expected = framed("ACK a") + framed("ACK b") + framed("ACK " + third);
    QTRY_VERIFY(client.bytesAvailable() >= expected.size());
    QCOMPARE(client.readAll().toHex(' '), expected.toHex(' '));
    QCOMPARE(relay.received(), (QList<QByteArray>{"a", "b", third}));
}

void TestSimulator::relay_answersUdpDatagramOnSamePort()
{
    RelayServer relay;
    QVERIFY(relay.start(0));
    QSignalSpy payloads(&relay, &RelayServer::payloadReceived);
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    client.writeDatagram(QByteArray("\x01\x7e\x02", 3), QHostAddress::LocalHost, relay.port());
    QTRY_VERIFY(client.hasPendingDatagrams());
    QCOMPARE(client.receiveDatagram().data(), QByteArray("ACK \x01\x7e\x02", 7)); // raw, no framing on UDP
    QCOMPARE(payloads.size(), 1);
    QCOMPARE(payloads.first().at(1).toBool(), false);
}

void TestSimulator::relay_stopClosesAcceptedConnections()
{
    RelayServer relay;
    QVERIFY(relay.start(0));
    const quint16 port = relay.port();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(5000));
    QTRY_COMPARE(relay.connectionCount(), 1);
    relay.stop();
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!late.waitForConnected(2000));
}

// Small answer writes held back by Nagle's algorithm would wait for the client's delayed acknowledgement.
void TestSimulator::relay_answersWithoutNagleDelay()
{
    RelayServer relay;
    QVERIFY(relay.start(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, relay.port());
    QVERIFY(client.waitForConnected(5000));
    QTRY_COMPARE(relay.connectionCount(), 1);
    const QList<QTcpSocket *> accepted = relay.findChildren<QTcpSocket *>();
    QCOMPARE(accepted.size(), 1);
    QCOMPARE(accepted.first()->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
}

void TestSimulator::startConsole()
{
    SimulatorOptions options;
    options.servicePort = 0;
    options.relayPort = 0;
    options.databasePath = m_dir.filePath(QStringLiteral("vesk%1.db").arg(QTest::currentTestFunction()));
    options.keySocket = m_dir.filePath(QStringLiteral("key.sock"));
    options.keyStepDelayMs = 0;
    m_console.reset();
    m_simulator = std::make_unique<Simulator>();
    QString error;
    QVERIFY2(m_simulator->start(options, &error), qPrintable(error));
    m_console = std::make_unique<SimConsole>(m_simulator.get());
    m_output.clear();
    connect(m_console.get(), &SimConsole::output, this, [this](const QString &line) { m_output << line; });
}

void TestSimulator::console_sleepHoldsLaterCommandsThenEndOfInputQuits()
{
    startConsole();
    SimConsole &console = *m_console;
    const QStringList &output = m_output;
    QSignalSpy quit(&console, &SimConsole::quitRequested);

    console.feed(QStringLiteral("sleep 0.3"));
    console.feed(QStringLiteral("seals"));
    console.endOfInput();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QVERIFY(output.isEmpty());
    QVERIFY(!console.isIdle());
    QVERIFY(quit.wait(5000));
    // The two seals of the demo data, listed before the console asked to quit.
    QCOMPARE(output.size(), 2);
    QVERIFY(output.at(0).contains(QLatin1String("bag 2531011034")));
    QVERIFY(output.at(1).contains(QLatin1String("lock 5105 RF 303663")));
    console.feed(QStringLiteral("help"));
    QCoreApplication::processEvents();
    QCOMPARE(output.size(), 2); // nothing runs after quitting
}

void TestSimulator::console_waitSealEndsWhenServiceRecordsSeal()
{
    startConsole();
    SimConsole &console = *m_console;
    const QStringList &output = m_output;
    const quint16 port = m_simulator->servicePort();
    console.setSealPollInterval(20);
    QSignalSpy ready(&console, &SimConsole::ready);

    console.feed(QStringLiteral("wait seal 30"));
    console.feed(QStringLiteral("seals"));
    QTRY_VERIFY(console.isHolding());
    const QByteArray token = websim::loginToken(port, "operator", QStringLiteral("Pack2025"));
    QVERIFY(!token.isEmpty());
    const websim::RawReply reply = websim::parseReply(
        websim::rawExchange(port, websim::rawRequest("PUT", "/veskservice/timetable/seal",
                                                     R"({"pointId":"1021","tableId":"3101","apId":"5101"})",
                                                     {"DRAV-Token: " + token, "Content-Type: application/json"})));
    QCOMPARE(reply.status, 200);
    QVERIFY(ready.wait(5000));
    QCOMPARE(output.first(), QStringLiteral("A new seal was recorded"));
    QCOMPARE(output.size(), 4);
    QVERIFY(output.last().contains(QLatin1String("bag 2531011021")));
    QVERIFY(output.last().contains(QLatin1String("lock 5101 RF 303659  by operator")));
}

void TestSimulator::console_explainsCommandsThatCannotRun()
{
    startConsole();
    SimConsole &console = *m_console;
    const QStringList &output = m_output;
    QSignalSpy ready(&console, &SimConsole::ready);

    for (const char *line : {"transfer", "present 411872", "present 999", "plug", "unplug", "transfer", "fly"})
        console.feed(QString::fromLatin1(line));
    QVERIFY(ready.wait(5000));
    QTRY_COMPARE(output.size(), 6);
    QCOMPARE(output.at(0), QStringLiteral("No transfer: the application is not connected to the key"));
    QVERIFY(output.at(1).contains(QLatin1String("lock 5107 is not commissioned")));
    QVERIFY(output.at(2).contains(QLatin1String("RF 999 is not a lock the service knows")));
    QCOMPARE(output.at(3), QStringLiteral("The key is already plugged in"));
    QCOMPARE(output.at(4), QStringLiteral("No transfer: the key is unplugged (plug it in first)"));
    QVERIFY(output.at(5).startsWith(QLatin1String("Unknown command \"fly\"")));
}

void TestSimulator::console_framesShowWhatTheKeyReceived()
{
    startConsole();
    Simulator *simulator = m_simulator.get();
    SimConsole &console = *m_console;
    const QStringList &output = m_output;

    KeyClient key(simulator->keySocketPath());
    QVERIFY(key.open());
    KMessage scan(REQUEST);
    scan.addTag(newTagBytes(TAG_SCAN, nullptr, 0));
    QVERIFY(key.send(scan));
    QVERIFY(key.receive()); // the key answers once it has taken the frame in
    KMessage data(DATA);
    data.addTag(newTagBytes(TAG_DATA, reinterpret_cast<const uint8_t *>(QByteArray(60, 'x').constData()), 60));
    QVERIFY(key.send(data));
    QTRY_COMPARE(simulator->key()->messages().size(), 2);

    console.feed(QStringLiteral("frames"));
    QTRY_COMPARE(output.size(), 3);
    QCOMPARE(output.at(0), QStringLiteral("Frames the key received: 2"));
    QCOMPARE(output.at(1), QStringLiteral("Frame 1  REQUEST  01 01 13 05 00 00"));
    QVERIFY2(output.at(2).startsWith(QLatin1String("Frame 2  DATA  05 01 25 05 00 3c 78 78")),
             qPrintable(output.at(2)));
    QVERIFY2(output.at(2).endsWith(QLatin1String(" 78 ... (66 bytes)")), qPrintable(output.at(2)));
}

void TestSimulator::program_keyReportsServiceAndRelayItPrinted()
{
    QTemporaryDir dir;
    SimProcess sim(dir);
    QVERIFY(sim.start());
    QVERIFY2(sim.waitFor(QStringLiteral("Type help")), qPrintable(sim.output()));
    const quint16 servicePort = sim.portAfter(QStringLiteral("Web service"));
    const quint16 relayPort = sim.portAfter(QStringLiteral("Relay server"));
    QVERIFY(servicePort > 0 && relayPort > 0 && servicePort != relayPort);
    QVERIFY(sim.output().contains(QLatin1String("Sign in as operator, password Pack2025")));
    QVERIFY(sim.output().contains(QLatin1String("2531011021  Mathematics Paper 1, Greenfield High School")));

    KeyClient key(sim.m_socket);
    QVERIFY(key.open());
    KMessage hello(REQUEST);
    hello.addTag(newTagNull(TAG_CONNECT));
    QVERIFY(key.send(hello));
    std::unique_ptr<KMessage> details = key.receive();
    QVERIFY(details);
    QCOMPARE(int(details->type()), int(NOTIFY));
    QVERIFY(findTag(*details, TAG_SERVICE_PORT) && findTag(*details, TAG_PORT));
    QCOMPARE(findTag(*details, TAG_SERVICE_PORT)->readUInt16(), servicePort);
    QCOMPARE(findTag(*details, TAG_PORT)->readUInt16(), relayPort);
    const KTag *address = findTag(*details, TAG_SERVICE_ADDRESS);
    QVERIFY(address && address->type() == KTAG_STRING);
    QCOMPARE(QByteArray(static_cast<const KTagString *>(address)->text()), QByteArray("127.0.0.1"));

    QVERIFY(!websim::loginToken(servicePort, "operator", QStringLiteral("Pack2025")).isEmpty());
    QVERIFY(sim.waitFor(QStringLiteral("POST /veskservice/login -> 200  (sign in)")));

    sim.m_process.write("present 303659\n");
    QVERIFY(sim.waitFor(QStringLiteral("Lock presented: RF 303659")));
    KMessage scan(REQUEST);
    scan.addTag(newTagNull(TAG_SCAN));
    QVERIFY(key.send(scan));
    std::unique_ptr<KMessage> tag = key.receive();
    QVERIFY(tag && findTag(*tag, TAG_SCAN));
    const KTag *bytes = findTag(*tag, TAG_SCAN);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes->payload()), bytes->length()).toHex(),
             QByteArray("0000000004a22b"));

    sim.m_process.closeWriteChannel();
    QVERIFY2(sim.stoppedCleanly(), qPrintable(sim.output()));
}

void TestSimulator::program_stopsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("name");
    QTest::newRow("Ctrl+C") << int(SIGINT) << "SIGINT";
    QTest::newRow("SIGTERM") << int(SIGTERM) << "SIGTERM";
}

void TestSimulator::program_stopsCleanlyOnSignal()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, name);
    QTemporaryDir dir;
    SimProcess sim(dir);
    QVERIFY(sim.start());
    QVERIFY(sim.waitFor(QStringLiteral("Type help")));
    ::kill(static_cast<pid_t>(sim.m_process.processId()), signalNumber);
    QVERIFY2(sim.stoppedCleanly(), qPrintable(sim.output()));
    QVERIFY(sim.output().contains(name + QStringLiteral(": stopping")));
}

void TestSimulator::program_exitWithStopsWhenProcessEnds()
{
    QTemporaryDir dir;
    QProcess other;
    other.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(other.waitForStarted(5000));
    const qint64 pid = other.processId(); // 0 once the process has ended
    SimProcess sim(dir);
    QVERIFY(sim.start({QStringLiteral("--exit-with"), QString::number(pid), QStringLiteral("--no-input")}));
    QVERIFY(sim.waitFor(QStringLiteral("Reading no commands")));
    other.kill();
    QVERIFY(other.waitForFinished(5000));
    QVERIFY(sim.finish());
    QCOMPARE(sim.m_process.exitCode(), 0);
    QVERIFY(sim.output().contains(QStringLiteral("Process %1 has ended: stopping").arg(pid)));
}

void TestSimulator::program_busyPortFailsWithHint()
{
    QTemporaryDir dir;
    QTcpServer busy;
    QVERIFY(busy.listen(QHostAddress::LocalHost, 0));
    SimProcess sim(dir);
    QVERIFY(sim.start({QStringLiteral("--port"), QString::number(busy.serverPort())}));
    QVERIFY(sim.finish());
    QCOMPARE(sim.m_process.exitCode(), 1);
    const QString error = QString::fromLocal8Bit(sim.m_process.readAllStandardError());
    QVERIFY2(error.contains(QLatin1String("--port")), qPrintable(error));
    QVERIFY(!QFile::exists(sim.m_socket)); // nothing left listening
}

void TestSimulator::program_scriptWaitsForApplication()
{
    QTemporaryDir dir;
    QFile script(dir.filePath(QStringLiteral("bag.txt")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("# one lock, once the application is there\nwait app 20\npresent 303660\nquit\n");
    script.close();
    SimProcess sim(dir);
    QVERIFY(sim.start({QStringLiteral("--script"), script.fileName()}));
    QVERIFY(sim.waitFor(QStringLiteral("Type help")));
    QVERIFY(!sim.output().contains(QLatin1String("Lock presented")));
    KeyClient key(sim.m_socket);
    QVERIFY(key.open());
    QVERIFY(sim.finish());
    QCOMPARE(sim.m_process.exitCode(), 0);
    const QString output = sim.output();
    const int connected = output.indexOf(QLatin1String("Application connected"));
    QVERIFY(connected > 0);
    QVERIFY(output.indexOf(QLatin1String("Lock presented: RF 303660")) > connected);
}

void TestSimulator::program_floodOfCommandsRunsEveryOneInOrder()
{
    // Far more than the console queues at once: reading pauses and resumes, nothing is lost.
    QTemporaryDir dir;
    SimProcess sim(dir);
    QVERIFY(sim.start());
    const int count = 3 * int(SimConsole::kMaxQueued);
    QByteArray input;
    for (int i = 0; i < count; ++i)
        input += "fly" + QByteArray::number(i) + '\n';
    sim.m_process.write(input);
    sim.m_process.closeWriteChannel();
    QVERIFY(sim.finish(60000));
    QCOMPARE(sim.m_process.exitCode(), 0);
    const QStringList lines = sim.output().split(QLatin1Char('\n')).filter(QStringLiteral("Unknown command"));
    QCOMPARE(lines.size(), count);
    for (int i = 0; i < count; i += 997)
        QVERIFY(lines.at(i).startsWith(QStringLiteral("Unknown command \"fly%1\"").arg(i)));
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "test_simulator.moc"
