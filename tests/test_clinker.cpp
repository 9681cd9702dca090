// The key engine with the real transport thread against the emulated key, and its relay against
// the simulator's relay server.

#include "app/configuration.h"
#include "key/clinker.h"
#include "key/kframe.h"
#include "key/srvlink.h"
#include "key/usblink.h"
#include "sim/emulatedkey.h"
#include "sim/relayserver.h"
#include "support/keytestsupport.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const quint32 kNow = 0x65432100;
const QByteArray kMarkerAnswer = QByteArray::fromHex("0001 110200 04ffffffff 00");
const QByteArray kRelayOpened = QByteArray::fromHex("0001 1a050000 00");

// What the engine frames: the serialised message and the one spare byte after it.
QByteArray sent(const QByteArray &hex)
{
    return QByteArray::fromHex(hex) + QByteArray(1, '\0');
}

template <typename... Items>
QByteArray notify(Items... items)
{
    KMessage message(NOTIFY);
    (message.addTag(std::move(items)), ...);
    return serialised(message);
}

// A loopback TCP port whose accept queue is full, so that a connect to it is never answered.
class SilentServer
{
public:
    SilentServer()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        socklen_t size = sizeof(address);
        if (::bind(m_listen, reinterpret_cast<sockaddr *>(&address), size) != 0 || ::listen(m_listen, 0) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        m_port = ntohs(address.sin_port);
        for (int &fd : m_fillers) {
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        }
    }
    ~SilentServer()
    {
        for (int fd : m_fillers)
            ::close(fd);
        ::close(m_listen);
    }
    quint16 port() const { return m_port; }

private:
    int m_listen = -1;
    int m_fillers[4] = {-1, -1, -1, -1};
    quint16 m_port = 0;
};

} // namespace

class TestCLinker : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // A station that never came up would make every case wait out its bounds.
        if (m_stationBroken)
            QSKIP("the station did not come up in an earlier case");
        m_dir = std::make_unique<QTemporaryDir>();
        m_config = std::make_unique<Configuration>();
        m_now = QDateTime::fromSecsSinceEpoch(kNow, Qt::UTC);
        m_events.clear();

        // The simulator's relay server stands in for the key's server.
        m_server = std::make_unique<RelayServer>();
        QVERIFY(m_server->start(0));
    }

    void cleanup()
    {
        // Stop the transport first, as the program does at quit: a frame the thread posts while the
        // engine is being destroyed would be dropped with the buffer it owns.
        if (m_linker) {
            m_linker->stopTransport();
            QCoreApplication::sendPostedEvents();
        }
        m_linker.reset();
        m_link.reset();
        QCoreApplication::sendPostedEvents();
        m_key.reset();
        m_server.reset();
        m_config.reset();
        m_dir.reset();
    }

    // The connect request goes at plug-in and at most once a second after it.
    void plugIn_sendsConnectRequestAndCompletesDetails_data()
    {
        QTest::addColumn<int>("laterMs");
        QTest::addColumn<bool>("replug");
        QTest::addColumn<int>("requests");
        QTest::newRow("again after exactly one second") << 1000 << false << 1;
        QTest::newRow("again after one and a half seconds") << 1500 << false << 2;
        // The key found again within the second is asked once the second is over, not never.
        QTest::newRow("plugged in again within the second") << 1001 << true << 2;
    }

    void plugIn_sendsConnectRequestAndCompletesDetails()
    {
        QFETCH(int, laterMs);
        QFETCH(bool, replug);
        QFETCH(int, requests);
        startStation(keyConfig());
        QCOMPARE(m_key->messages().value(0), sent("0101 1a020004 00000000"));
        QCOMPARE(m_events, QStringList({"layout 1", "usb 1", "label 3 00ABCDEF", "address 10.1.2.3", "port 8081",
                                        "status READY", "colour green", "button 1", "pbar -1", "progress 128",
                                        "nvmReady VESK-BOX-01 00ABCDEF 1.6.3 HW-2.1 127.0.0.1"}));
        QCOMPARE(m_linker->firmwareVersion(), 1539);
        const auto connectRequests = [this] {
            return static_cast<int>(m_key->messages().count(sent("0101 1a020004 00000000")));
        };
        if (replug) {
            m_key->unplug();
            QTRY_VERIFY_WITH_TIMEOUT(!m_linker->isKeyReady(), kKeyWaitMs);
            m_key->plug();
            QTRY_COMPARE_WITH_TIMEOUT(m_events.count(QStringLiteral("usb 1")), 2, kKeyWaitMs);
            QCOMPARE(connectRequests(), 1);
            m_now = m_now.addMSecs(laterMs);
            QTRY_COMPARE_WITH_TIMEOUT(connectRequests(), requests, kKeyWaitMs);
            return;
        }
        m_now = m_now.addMSecs(laterMs);
        m_linker->connectKeynew();
        sync();
        QCOMPARE(connectRequests(), requests);
    }

    // Each row: the command (or none), what the key is given (a failure text, or a scanned tag's bytes),
    // then what the key reports, and the signals that follow.
    void lockOperation_showsStatusTextThenKeyLabels_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("given");
        QTest::addColumn<QList<QByteArray>>("notifies"); // sent by the key when there is no command
        QTest::addColumn<QStringList>("events");
        const auto operation = [](const QString &status, const QString &result) {
            return QStringList({"pbarColour 0", "pbar 30", "status " + status, "colour yellow", "progress 30",
                                "pbarColour 0", "pbar 70", "status " + status, "colour yellow", "progress 70",
                                "label 0 Please wait...", "label 0 " + result, "status READY", "colour green",
                                "button 1", "pbar -1", "progress 128"});
        };
        const auto scan = [](const char *result) { return QStringList({"status Reading tag...", result}); };
        const auto bar = [](int value) { return QList<QByteArray>{notify(newTagUInt8(TAG_KEY_BAR, uint8_t(value)))}; };
        const auto label = [](const QByteArray &text, const char *colour) {
            return notify(newTagUInt8(TAG_LABEL_INDEX, 2), newTagString(TAG_LABEL_TEXT, text.data()),
                          newTagString(TAG_LABEL_COLOR, colour));
        };
        const auto row = [](const char *name, const char *command, const char *given, const QStringList &events,
                            const QList<QByteArray> &notifies = {}) {
            QTest::newRow(name) << QString(command) << QString(given) << notifies << events;
        };
        row("close", "close", "", operation("Locking...", "Authorised\r\nlocked"));
        row("open", "open", "", operation("Unlocking...", "Authorised\r\nunlocked"));
        row("close fails", "close", "Lock\r\njammed", operation("Locking...", "Lock\r\njammed"));
        row("scan three bytes", "scan", "04a22b", scan("tag 303659"));
        row("scan nine bytes keeps the last eight", "scan", "010000000000000005", scan("tag 5"));
        row("scan all zero", "scan", "0000", scan("tag failed"));
        row("key bar 129 transfer busy", "", "",
            {"pbarColour 1", "pbar 1", "status DATA TRANSFER BUSY", "colour turkois", "progress 129"}, bar(129));
        row("key bar 228 ready", "", "", {"status READY", "colour green", "button 1", "pbar -1", "progress 228"},
            bar(228));
        row("key bar 127 without a command", "", "",
            {"pbarColour 0", "pbar 127", "status ", "colour yellow", "progress 127"}, bar(127));
        // A label of 64 bytes is skipped, not emitted with stale text.
        const QByteArray tooLong(64, 'y');
        row("label too long", "", "", {"label 2 " + QString(63, 'x'), "labelColour 2 red"},
            {label(tooLong, tooLong.constData()), label(QByteArray(63, 'x'), "red")});
    }

    void lockOperation_showsStatusTextThenKeyLabels()
    {
        QFETCH(QString, command);
        QFETCH(QString, given);
        QFETCH(QList<QByteArray>, notifies);
        QFETCH(QStringList, events);
        startStation(keyConfig());
        const bool scan = command == QLatin1String("scan");
        if (scan)
            m_key->presentLockBytes(QByteArray::fromHex(given.toLatin1()));
        else if (!given.isEmpty())
            m_key->failNextOperation(given);
        m_events.clear();
        if (command == QLatin1String("close"))
            m_linker->requestClose();
        else if (command == QLatin1String("open"))
            m_linker->requestOpen();
        else if (scan)
            m_linker->requestScanTag();
        for (const QByteArray &payload : notifies)
            m_key->sendMessagePayload(payload);
        QTRY_COMPARE_WITH_TIMEOUT(m_events, events, kKeyWaitMs);
        if (!command.isEmpty())
            QCOMPARE(m_key->messages().last(), sent(scan                                ? "0101 13050000"
                                                    : command == QLatin1String("close") ? "0101 16050000"
                                                                                        : "0101 15050000"));
    }

    void hostRequest_answeredAtEachQueryEnd_data()
    {
        QTest::addColumn<QString>("version"); // empty: the key has not reported its details
        QTest::addColumn<QList<int>>("tags");
        QTest::addColumn<QList<QByteArray>>("answers");
        QTest::addColumn<QList<int>>("packetSizes"); // of the first answer, if given
        const auto row = [](const char *name, const char *version, const QList<int> &tags,
                            const QList<QByteArray> &answers, const QList<int> &sizes = {}) {
            QTest::newRow(name) << QString(version) << tags << answers << sizes;
        };
        row("16 18 17 in order", "1.6.3", {16, 18, 17},
            {sent("0003 100200 04ffffffff 120200 0465432100 110200 04ffffffff")});
        row("no 17, no answer", "1.6.3", {16, 18}, {});
        row("items after 17 get a fresh answer", "1.6.3", {16, 17, 18, 17},
            {sent("0002 100200 04ffffffff 110200 04ffffffff"), sent("0002 120200 0465432100 110200 04ffffffff")});
        // Seven queries and the end: an answer that frames to 71 bytes.
        const QList<int> seven = {16, 16, 16, 16, 16, 16, 16, 17};
        const QList<QByteArray> sevenAnswer = {
            sent("0008" + QByteArray("100200 04ffffffff").repeated(7) + "110200 04ffffffff")};
        row("1.6.3 uses framedSend", "1.6.3", seven, sevenAnswer, {63, 8});
        row("1.6.2 uses send", "1.6.2", seven, sevenAnswer, {71});
        row("no details yet uses send", "", seven, sevenAnswer, {71});
    }

    void hostRequest_answeredAtEachQueryEnd()
    {
        QFETCH(QString, version);
        QFETCH(QList<int>, tags);
        QFETCH(QList<QByteArray>, answers);
        QFETCH(QList<int>, packetSizes);
        EmulatedKeyConfig config = keyConfig();
        config.softwareVersion = version;
        config.answerConnect = !version.isEmpty();
        startStation(config, config.answerConnect);
        m_key->clearRecord();
        m_key->sendHostRequest(tags);
        sync();
        QCOMPARE(m_key->messages(), answers + QList<QByteArray>({kMarkerAnswer}));
        QList<int> sizes;
        for (const QByteArray &packet : m_key->packets())
            sizes.append(packet.size());
        QCOMPARE(sizes.mid(0, packetSizes.size()), packetSizes);
    }

    void relayDataForKey_splitSoEachFrameFitsATransfer_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QList<int>>("pieces");
        QByteArray plain(2500, '\0');
        for (int i = 0; i < plain.size(); ++i)
            plain[i] = static_cast<char>(i % 0x70);
        // 1013 payload bytes: message 1019, the spare byte, FCS and flags make 1024 on the wire.
        QTest::newRow("plain bytes") << plain << QList<int>({1013, 1013, 474});
        QTest::newRow("largest that fits one transfer") << plain.left(1013) << QList<int>({1013});
        QTest::newRow("one byte more") << plain.left(1014) << QList<int>({1013, 1});
        QTest::newRow("flag bytes") << QByteArray(1018, '\x7e') << QList<int>({506, 506, 6});
        QTest::newRow("escape bytes") << QByteArray(1500, '\x7d') << QList<int>({506, 506, 488});
    }

    void relayDataForKey_splitSoEachFrameFitsATransfer()
    {
        QFETCH(QByteArray, data);
        QFETCH(QList<int>, pieces);
        startStation(keyConfig());
        m_key->clearRecord();
        m_linker->sendUSB(reinterpret_cast<unsigned char *>(data.data()), data.size());
        QTRY_COMPARE_WITH_TIMEOUT(m_key->relayData().join(), data, kKeyWaitMs);
        QList<int> sizes;
        for (const QByteArray &piece : m_key->relayData())
            sizes.append(piece.size());
        QCOMPARE(sizes, pieces);
        for (const QByteArray &packet : m_key->packets())
            QVERIFY2(packet.size() <= kframe::kTransferSize, qPrintable(QString::number(packet.size())));
    }

    void relayTransfer_roundTripLosesNothing_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("tcp");
        QTest::newRow("tcp") << "tcp" << true;
        QTest::newRow("udp") << "udp" << false;
        QTest::newRow("only the exact lower-case text means tcp") << "TCP" << false;
    }

    void relayTransfer_roundTripLosesNothing()
    {
        QFETCH(QString, protocol);
        QFETCH(bool, tcp);
        m_config->setString(QStringLiteral("protocol"), protocol);
        startStation(keyConfig());
        QSignalSpy finished(m_key.get(), &EmulatedKey::transferFinished);
        const QList<QByteArray> payloads = {QByteArray("first"), QByteArray::fromHex("7e7d00ff7e"),
                                            QByteArray(1000, 'z'), QByteArray("last")};
        m_events.clear();
        QVERIFY(m_key->startTransfer(payloads));
        QVERIFY(finished.wait(kKeyWaitMs));
        QCOMPARE(finished.at(0).at(0).toBool(), true);

        // Each payload reached the server whole and in order, and each answer came back to the key, over
        // TCP with the two FCS bytes the relay suite checks.
        QCOMPARE(m_server->received(), payloads);
        QList<QByteArray> answers = m_key->relayData();
        for (int i = 0; i < answers.size(); ++i)
            answers[i].chop(tcp ? 2 : 0);
        QCOMPARE(answers,
                 QList<QByteArray>({"ACK first", "ACK " + payloads.at(1), "ACK " + payloads.at(2), "ACK last"}));
        QCOMPARE(m_events.mid(0, 3), QStringList({"progress 10", "server 0", "button 0"}));
        QVERIFY(m_events.contains("server 1"));
        QVERIFY(m_key->messages().contains(kRelayOpened));
        QVERIFY(m_key->messages().contains(sent("0001 1b050000")));
    }

    void relayServerStopsTakingData_keyToldRelayClosed()
    {
        startStation(keyConfig());
        QSignalSpy opened(m_key.get(), &EmulatedKey::relayOpened);
        QSignalSpy closed(m_key.get(), &EmulatedKey::relayClosed);
        m_key->requestRelayOpen();
        QVERIFY(opened.wait(kKeyWaitMs));
        // Nothing more may wait for the server: the next data closes the relay.
        m_linker->relay()->setMaxPendingWrite(0);
        m_events.clear();
        m_key->sendRelayData("more");
        QVERIFY(closed.wait(kKeyWaitMs));
        QVERIFY(m_key->messages().contains(sent("0001 1b050000")));
        QCOMPARE(m_events,
                 QStringList({"progress 100", "server 1", "status READY", "colour green", "button 1", "pbar -1"}));
        QCOMPARE(m_linker->relay()->state(), srvLink::Closed);
    }

    void relayRefusedOrKeyNotReady_sendsNoOpenedToKey_data()
    {
        QTest::addColumn<bool>("keyReady");
        QTest::addColumn<bool>("silentServer");
        QTest::addColumn<int>("opens");
        QTest::addColumn<QString>("logged");
        QTest::newRow("connection refused") << true << false << 1 << "Opening server connection";
        QTest::newRow("key not ready") << false << false << 1 << "Key not connected";
        // Each connect attempt may wait the full connect time; one message gets one attempt.
        QTest::newRow("server never answers three opens in one message")
            << true << true << 3 << "Opening server connection";
    }

    void relayRefusedOrKeyNotReady_sendsNoOpenedToKey()
    {
        QFETCH(bool, keyReady);
        QFETCH(bool, silentServer);
        QFETCH(int, opens);
        QFETCH(QString, logged);
        SilentServer silent;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        EmulatedKeyConfig config = keyConfig();
        config.relayPort = silentServer ? silent.port() : closed.serverPort();
        config.answerConnect = keyReady;
        closed.close();
        startStation(config, keyReady);
        const LogCapture log;
        const EventLoopGap gap;
        QList<int> items;
        for (int i = 0; i < opens; ++i)
            items.append(TAG_CONNECT);
        m_key->sendHostRequest(items);
        sync();
        QCOMPARE(log.count(logged), 1);
        QVERIFY(!m_key->messages().contains(kRelayOpened));
        QCOMPARE(m_linker->relay()->state(), srvLink::Closed);
        QVERIFY2(gap.longestMs() < srvLink::kConnectWaitMs + 1000, qPrintable(QString::number(gap.longestMs())));
    }

    void unplug_reportsDisconnectAndClosesRelay()
    {
        m_config->setString(QStringLiteral("protocol"), QStringLiteral("udp"));
        startStation(keyConfig());
        QSignalSpy opened(m_key.get(), &EmulatedKey::relayOpened);
        m_key->requestRelayOpen();
        QVERIFY(opened.wait(kKeyWaitMs));
        m_events.clear();
        m_key->unplug();
        // Reported at once, and again when the transport looks for the key next.
        QTRY_COMPARE_WITH_TIMEOUT(
            m_events, QStringList({"keyDisconnected", "layout 0", "usb 0", "keyDisconnected", "layout 0", "usb 0"}),
            kKeyWaitMs);
        QVERIFY(!m_linker->isKeyReady());
        QCOMPARE(m_linker->relay()->state(), srvLink::Closed);
        // The next key may run older software: frames go whole until it reports.
        QCOMPARE(m_linker->firmwareVersion(), 0);
    }

private:
    bool m_stationBroken = false;

    EmulatedKeyConfig keyConfig() const
    {
        EmulatedKeyConfig config;
        config.socketPath = m_dir->filePath(QStringLiteral("key.sock"));
        config.relayPort = m_server->port();
        config.serviceAddress = QStringLiteral("10.1.2.3");
        config.servicePort = 8081;
        config.stepDelayMs = 0;
        return config;
    }

    void startStation(const EmulatedKeyConfig &config, bool waitForDetails = true)
    {
        m_key = std::make_unique<EmulatedKey>(config);
        QVERIFY(m_key->start());
        m_link = std::make_unique<usbLink>(createUsbDevice(config.socketPath.toStdString()), 20, [] {});
        m_linker = std::make_unique<cLinker>(m_link.get(), m_config.get(), [this] { return m_now; });
        recordEvents();
        m_stationBroken = true;
        if (waitForDetails)
            QTRY_VERIFY_WITH_TIMEOUT(m_linker->isKeyReady(), kKeyWaitMs);
        else
            QTRY_COMPARE_WITH_TIMEOUT(m_key->messages().size(), 1, kKeyWaitMs);
        m_stationBroken = false;
    }

    // The engine's signals in the order they came, as readable lines: the name, then the values.
    void recordEvents()
    {
        record(&cLinker::updateStatus, "status");
        record(&cLinker::updateStatusColor, "colour");
        record(&cLinker::updatePbar, "pbar");
        record(&cLinker::updatePbarColor, "pbarColour");
        record(&cLinker::progressBar, "progress");
        record(&cLinker::setBtnEnabled, "button");
        record(&cLinker::updateLabel, "label");
        record(&cLinker::updateLabelColor, "labelColour");
        record(&cLinker::nvmReady, "nvmReady");
        record(&cLinker::ServiceAddressSet, "address");
        record(&cLinker::ServicePortSet, "port");
        record(&cLinker::usbConnected, "usb");
        record(&cLinker::keyDisconnected, "keyDisconnected");
        record(&cLinker::setLayout, "layout");
        record(&cLinker::serverConnected, "server");
        record(&cLinker::tagReadSuccess, "tag");
        record(&cLinker::tagReadFailed, "tag failed");
    }

    // Everything the engine received before this has been handled once the key has the marker's answer.
    void sync()
    {
        const int before = static_cast<int>(m_key->messages().count(kMarkerAnswer));
        m_key->sendHostRequest({TAG_HOST_QUERY_END});
        QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(m_key->messages().count(kMarkerAnswer)), before + 1, kKeyWaitMs);
    }

    template <typename... Values>
    void record(void (cLinker::*signal)(Values...), const char *name)
    {
        connect(m_linker.get(), signal, this, [this, name](Values... values) {
            m_events.append(QStringList{QString::fromLatin1(name), text(values)...}.join(' '));
        });
    }
    static QString text(const QString &value) { return value; }
    template <typename Number>
    static QString text(Number value)
    {
        return QString::number(qlonglong(value));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<RelayServer> m_server;
    std::unique_ptr<EmulatedKey> m_key;
    std::unique_ptr<usbLink> m_link;
    std::unique_ptr<cLinker> m_linker;
    QDateTime m_now;
    QStringList m_events;
};

QTEST_GUILESS_MAIN(TestCLinker)
#include "test_clinker.moc"
