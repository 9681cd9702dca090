// The key engine with the real transport thread against the emulated key, and its relay against
// loopback echo servers.

#include "app/configuration.h"
#include "key/clinker.h"
#include "key/kframe.h"
#include "key/srvlink.h"
#include "key/usblink.h"
#include "sim/emulatedkey.h"
#include "support/keytestsupport.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {

const quint32 kNow = 0x65432100;
const QByteArray kMarkerAnswer = QByteArray::fromHex("0001110200 04ffffffff 00");

// What the engine frames: the serialised message and the one spare byte after it.
QByteArray sent(const char *hex)
{
    return QByteArray::fromHex(hex) + QByteArray(1, '\0');
}

QByteArray keyMessage(uint8_t type, std::vector<std::unique_ptr<KTag>> items)
{
    KMessage message(type);
    for (auto &item : items)
        message.addTag(std::move(item));
    return serialised(message);
}

template <typename... Items>
QByteArray notify(Items... items)
{
    std::vector<std::unique_ptr<KTag>> list;
    (list.push_back(std::move(items)), ...);
    return keyMessage(NOTIFY, std::move(list));
}

QByteArray withFcs(const QByteArray &payload)
{
    const uint16_t fcs = static_cast<uint16_t>(
        kframe::fcs16(0xFFFF, reinterpret_cast<const uint8_t *>(payload.constData()), payload.size()) ^ 0xFFFF);
    return payload + QByteArray(1, static_cast<char>(fcs & 0xFF)) + QByteArray(1, static_cast<char>(fcs >> 8));
}

} // namespace

class TestCLinker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void plugIn_sendsConnectRequestAndCompletesDetails();
    void detailsSplitOverTwoMessages_neverComplete();
    void connectRequest_atMostOncePerSecond_data();
    void connectRequest_atMostOncePerSecond();
    void sendMode_followsKeySoftwareVersion_data();
    void sendMode_followsKeySoftwareVersion();
    void tagRead_foldsBytesIntoDecimalId_data();
    void tagRead_foldsBytesIntoDecimalId();
    void keyBar_emitsStatesThenRawProgress_data();
    void keyBar_emitsStatesThenRawProgress();
    void lockOperation_showsStatusTextThenKeyLabels_data();
    void lockOperation_showsStatusTextThenKeyLabels();
    void hostRequest_answeredAtEachQueryEnd_data();
    void hostRequest_answeredAtEachQueryEnd();
    void labelTooLong_isSkippedNotEmittedStale();
    void relayDataForKey_longerThanOneMessage_sentInOrder();
    void relayTransfer_roundTripLosesNothing_data();
    void relayTransfer_roundTripLosesNothing();
    void relayProtocolSwitch_closesOldConnection();
    void relayRefused_sendsNoOpenedToKey();
    void relayWhileKeyNotReady_logsKeyNotConnected();
    void unplug_reportsDisconnectAndClosesRelay();

private:
    EmulatedKeyConfig keyConfig() const;
    void startStation(const EmulatedKeyConfig &config);
    void waitForDetails();
    void sync();

    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<QTcpServer> m_tcpServer;
    std::unique_ptr<QUdpSocket> m_udpServer;
    std::unique_ptr<EmulatedKey> m_key;
    std::unique_ptr<usbLink> m_link;
    std::unique_ptr<cLinker> m_linker;
    std::unique_ptr<QSignalSpy> m_nvmReady;
    QDateTime m_now;
    int m_tcpAccepted = 0;
};

void TestCLinker::init()
{
    m_log = std::make_unique<LogCapture>();
    m_dir = std::make_unique<QTemporaryDir>();
    m_config = std::make_unique<Configuration>();
    m_now = QDateTime::fromSecsSinceEpoch(kNow, Qt::UTC);
    m_tcpAccepted = 0;

    // Echo servers on one port number, TCP and UDP, standing in for the key's server.
    m_tcpServer = std::make_unique<QTcpServer>();
    QVERIFY(m_tcpServer->listen(QHostAddress::LocalHost, 0));
    connect(m_tcpServer.get(), &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_tcpServer->nextPendingConnection()) {
            ++m_tcpAccepted;
            connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write(socket->readAll()); });
        }
    });
    m_udpServer = std::make_unique<QUdpSocket>();
    QVERIFY(m_udpServer->bind(QHostAddress::LocalHost, m_tcpServer->serverPort()));
    connect(m_udpServer.get(), &QUdpSocket::readyRead, this, [this] {
        while (m_udpServer->hasPendingDatagrams()) {
            const QNetworkDatagram datagram = m_udpServer->receiveDatagram();
            m_udpServer->writeDatagram(datagram.data(), datagram.senderAddress(),
                                       static_cast<quint16>(datagram.senderPort()));
        }
    });
}

void TestCLinker::cleanup()
{
    m_nvmReady.reset();
    m_linker.reset();
    m_link.reset();
    QCoreApplication::sendPostedEvents();
    m_key.reset();
    m_udpServer.reset();
    m_tcpServer.reset();
    m_config.reset();
    m_dir.reset();
    m_log.reset();
}

EmulatedKeyConfig TestCLinker::keyConfig() const
{
    EmulatedKeyConfig config;
    config.socketPath = m_dir->filePath(QStringLiteral("key.sock"));
    config.relayServer = QStringLiteral("127.0.0.1");
    config.relayPort = m_tcpServer->serverPort();
    config.serviceAddress = QStringLiteral("10.1.2.3");
    config.servicePort = 8081;
    config.stepDelayMs = 0;
    return config;
}

void TestCLinker::startStation(const EmulatedKeyConfig &config)
{
    m_key = std::make_unique<EmulatedKey>(config);
    QVERIFY(m_key->start());
    m_link = std::make_unique<usbLink>(createUsbDevice(config.socketPath.toStdString()), 20, [] {});
    m_linker = std::make_unique<cLinker>(m_link.get(), m_config.get(), [this] { return m_now; });
    m_nvmReady = std::make_unique<QSignalSpy>(m_linker.get(), &cLinker::nvmReady);
}

void TestCLinker::waitForDetails()
{
    QTRY_COMPARE(m_nvmReady->count(), 1);
    QVERIFY(m_linker->isKeyReady());
}

// Everything the engine received before this has been handled once the key has the marker's answer.
void TestCLinker::sync()
{
    const int before = static_cast<int>(m_key->messages().count(kMarkerAnswer));
    m_key->sendHostRequest({TAG_HOST_QUERY_END});
    QTRY_COMPARE(static_cast<int>(m_key->messages().count(kMarkerAnswer)), before + 1);
}

void TestCLinker::plugIn_sendsConnectRequestAndCompletesDetails()
{
    startStation(keyConfig());
    QSignalSpy connected(m_linker.get(), &cLinker::usbConnected);
    QSignalSpy address(m_linker.get(), &cLinker::ServiceAddressSet);
    QSignalSpy port(m_linker.get(), &cLinker::ServicePortSet);
    QSignalSpy layout(m_linker.get(), &cLinker::setLayout);
    waitForDetails();

    QCOMPARE(m_key->messages().value(0), sent("01011a020004 00000000"));
    QCOMPARE(connected.count(), 1);
    QCOMPARE(connected.at(0).at(0).toBool(), true);
    QCOMPARE(layout.at(0).at(0).toInt(), 1);
    QCOMPARE(address.at(0).at(0).toString(), QStringLiteral("10.1.2.3"));
    QCOMPARE(port.at(0).at(0).toUInt(), 8081u);
    QCOMPARE(m_nvmReady->at(0), QVariantList({QStringLiteral("VESK-BOX-01"), QStringLiteral("00ABCDEF"),
                                              QStringLiteral("1.6.3"), QStringLiteral("HW-2.1"),
                                              QStringLiteral("127.0.0.1")}));
    QCOMPARE(m_linker->firmwareVersion(), 1539);
    QCOMPARE(m_linker->relayPort(), QString::asprintf("%04d", m_tcpServer->serverPort()));
    QCOMPARE(m_log->count(QStringLiteral("Device found")), 1);
    QCOMPARE(m_log->count(QStringLiteral("Server 127.0.0.1")), 1);
}

void TestCLinker::detailsSplitOverTwoMessages_neverComplete()
{
    startStation(keyConfig());
    waitForDetails();
    m_linker->disConnectKey();
    QVERIFY(!m_linker->isKeyReady());

    m_key->sendMessagePayload(notify(newTagUInt32(TAG_SERIAL, 1), newTagString(TAG_BOX, "B"),
                                     newTagString(TAG_SW_VERSION, "1.6.2")));
    m_key->sendMessagePayload(
        notify(newTagString(TAG_HW_VERSION, "H"), newTagString(TAG_SERVER, "S"), newTagUInt16(TAG_PORT, 80)));
    sync();
    QCOMPARE(m_nvmReady->count(), 1);
    QVERIFY(!m_linker->isKeyReady());
    QCOMPARE(m_linker->relayPort(), QStringLiteral("0080"));
}

void TestCLinker::connectRequest_atMostOncePerSecond_data()
{
    QTest::addColumn<int>("laterMs");
    QTest::addColumn<int>("requests");
    QTest::newRow("half a second") << 500 << 1;
    QTest::newRow("exactly one second") << 1000 << 1;
    QTest::newRow("one and a half seconds") << 1500 << 2;
}

void TestCLinker::connectRequest_atMostOncePerSecond()
{
    QFETCH(int, laterMs);
    QFETCH(int, requests);
    startStation(keyConfig());
    waitForDetails();
    m_now = m_now.addMSecs(laterMs);
    m_linker->connectKeynew();
    sync();
    QCOMPARE(static_cast<int>(m_key->messages().count(sent("01011a020004 00000000"))), requests);
    QCOMPARE(m_log->count(QStringLiteral("connectKeynew")), requests);
}

void TestCLinker::sendMode_followsKeySoftwareVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("detailsReported");
    QTest::addColumn<bool>("inPieces");
    QTest::newRow("1.6.3 uses framedSend") << "1.6.3" << true << true;
    QTest::newRow("1.6.2 uses send") << "1.6.2" << true << false;
    QTest::newRow("no details yet uses send") << "1.6.3" << false << false;
}

void TestCLinker::sendMode_followsKeySoftwareVersion()
{
    QFETCH(QString, version);
    QFETCH(bool, detailsReported);
    QFETCH(bool, inPieces);
    EmulatedKeyConfig config = keyConfig();
    config.softwareVersion = version;
    config.answerConnect = detailsReported;
    startStation(config);
    if (detailsReported)
        waitForDetails();
    else
        QTRY_COMPARE(m_key->messages().size(), 1);

    m_key->clearRecord();
    // Seven queries and the end: an answer that frames to 71 bytes.
    m_key->sendHostRequest({16, 16, 16, 16, 16, 16, 16, 17});
    QTRY_COMPARE(m_key->messages().size(), 1);
    QCOMPARE(m_key->messages().at(0).size(), 2 + 8 * 8 + 1);
    QList<int> sizes;
    for (const QByteArray &packet : m_key->packets())
        sizes.append(packet.size());
    QCOMPARE(sizes, inPieces ? QList<int>({63, 8}) : QList<int>({71}));
}

void TestCLinker::tagRead_foldsBytesIntoDecimalId_data()
{
    QTest::addColumn<QByteArray>("tagBytes");
    QTest::addColumn<QString>("rfId");
    QTest::newRow("three bytes") << QByteArray::fromHex("04a22b") << "303659";
    QTest::newRow("nine bytes keep the last eight") << QByteArray::fromHex("010000000000000005") << "5";
    QTest::newRow("all zero") << QByteArray::fromHex("0000") << "";
    QTest::newRow("no lock presented") << QByteArray() << "";
}

void TestCLinker::tagRead_foldsBytesIntoDecimalId()
{
    QFETCH(QByteArray, tagBytes);
    QFETCH(QString, rfId);
    startStation(keyConfig());
    waitForDetails();
    m_key->presentLockBytes(tagBytes);
    QSignalSpy success(m_linker.get(), &cLinker::tagReadSuccess);
    QSignalSpy failed(m_linker.get(), &cLinker::tagReadFailed);
    QSignalSpy status(m_linker.get(), &cLinker::updateStatus);
    m_linker->requestScanTag();
    QTRY_COMPARE(success.count() + failed.count(), 1);
    QCOMPARE(status.value(0).value(0).toString(), QStringLiteral("Reading tag..."));
    QVERIFY(m_key->messages().contains(sent("010113050000")));
    if (rfId.isEmpty()) {
        QCOMPARE(failed.count(), 1);
        QCOMPARE(m_log->count(QStringLiteral("x = 0")), 1);
    } else {
        QCOMPARE(success.at(0).at(0).toString(), rfId);
        QCOMPARE(m_log->count(QStringLiteral("Notify only - Success")), 1);
    }
}

void TestCLinker::keyBar_emitsStatesThenRawProgress_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<int>("pbar");
    QTest::addColumn<int>("pbarColour");
    QTest::newRow("129 transfer busy") << 129 << "DATA TRANSFER BUSY" << "turkois" << 1 << 1;
    QTest::newRow("228 ready") << 228 << "READY" << "green" << -1 << -1;
    QTest::newRow("128 ready") << 128 << "READY" << "green" << -1 << -1;
    QTest::newRow("127 operation") << 127 << "" << "yellow" << 127 << 0;
}

void TestCLinker::keyBar_emitsStatesThenRawProgress()
{
    QFETCH(int, value);
    QFETCH(QString, status);
    QFETCH(QString, colour);
    QFETCH(int, pbar);
    QFETCH(int, pbarColour);
    startStation(keyConfig());
    waitForDetails();
    QSignalSpy progress(m_linker.get(), &cLinker::progressBar);
    QSignalSpy statusSpy(m_linker.get(), &cLinker::updateStatus);
    QSignalSpy colourSpy(m_linker.get(), &cLinker::updateStatusColor);
    QSignalSpy pbarSpy(m_linker.get(), &cLinker::updatePbar);
    QSignalSpy pbarColourSpy(m_linker.get(), &cLinker::updatePbarColor);
    m_key->sendMessagePayload(notify(newTagUInt8(TAG_KEY_BAR, static_cast<uint8_t>(value))));
    QTRY_COMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).value<uint8_t>(), static_cast<uint8_t>(value));
    QCOMPARE(statusSpy.at(0).at(0).toString(), status);
    QCOMPARE(colourSpy.at(0).at(0).toString(), colour);
    QCOMPARE(pbarSpy.at(0).at(0).toInt(), pbar);
    QCOMPARE(pbarColourSpy.isEmpty() ? -1 : pbarColourSpy.at(0).at(0).toInt(), pbarColour);
}

void TestCLinker::lockOperation_showsStatusTextThenKeyLabels_data()
{
    QTest::addColumn<bool>("close");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("statusText");
    QTest::addColumn<QString>("result");
    QTest::newRow("close") << true << "" << sent("010116050000") << "Locking..." << "Authorised\r\nlocked";
    QTest::newRow("open") << false << "" << sent("010115050000") << "Unlocking..." << "Authorised\r\nunlocked";
    QTest::newRow("close fails") << true << "Lock\r\njammed" << sent("010116050000") << "Locking..."
                                 << "Lock\r\njammed";
}

void TestCLinker::lockOperation_showsStatusTextThenKeyLabels()
{
    QFETCH(bool, close);
    QFETCH(QString, failure);
    QFETCH(QByteArray, request);
    QFETCH(QString, statusText);
    QFETCH(QString, result);
    startStation(keyConfig());
    waitForDetails();
    if (!failure.isEmpty())
        m_key->failNextOperation(failure);
    QSignalSpy status(m_linker.get(), &cLinker::updateStatus);
    QSignalSpy colour(m_linker.get(), &cLinker::updateStatusColor);
    QSignalSpy pbar(m_linker.get(), &cLinker::updatePbar);
    QSignalSpy label(m_linker.get(), &cLinker::updateLabel);
    if (close)
        m_linker->requestClose();
    else
        m_linker->requestOpen();
    QTRY_COMPARE(status.count(), 3);
    QVERIFY(m_key->messages().contains(request));
    QCOMPARE(status.at(0).at(0).toString(), statusText);
    QCOMPARE(status.at(1).at(0).toString(), statusText);
    QCOMPARE(status.at(2).at(0).toString(), QStringLiteral("READY"));
    QCOMPARE(colour.at(0).at(0).toString(), QStringLiteral("yellow"));
    QCOMPARE(pbar.at(0).at(0).toInt(), 30);
    QCOMPARE(pbar.at(2).at(0).toInt(), -1);
    QCOMPARE(label.count(), 2);
    QCOMPARE(label.at(0), QVariantList({0u, QStringLiteral("Please wait...")}));
    QCOMPARE(label.at(1), QVariantList({0u, result}));
}

void TestCLinker::hostRequest_answeredAtEachQueryEnd_data()
{
    QTest::addColumn<QList<int>>("tags");
    QTest::addColumn<QList<QByteArray>>("answers");
    QTest::newRow("16 18 17 in order")
        << QList<int>({16, 18, 17})
        << QList<QByteArray>({sent("0003 100200 04ffffffff 120200 0465432100 110200 04ffffffff")});
    QTest::newRow("no 17, no answer") << QList<int>({16, 18}) << QList<QByteArray>();
    QTest::newRow("items after 17 get a fresh answer")
        << QList<int>({16, 17, 18, 17})
        << QList<QByteArray>({sent("0002 100200 04ffffffff 110200 04ffffffff"),
                              sent("0002 120200 0465432100 110200 04ffffffff")});
}

void TestCLinker::hostRequest_answeredAtEachQueryEnd()
{
    QFETCH(QList<int>, tags);
    QFETCH(QList<QByteArray>, answers);
    startStation(keyConfig());
    waitForDetails();
    m_key->clearRecord();
    m_key->sendHostRequest(tags);
    sync();
    QCOMPARE(m_key->messages(), answers + QList<QByteArray>({kMarkerAnswer}));
}

void TestCLinker::labelTooLong_isSkippedNotEmittedStale()
{
    startStation(keyConfig());
    waitForDetails();
    QSignalSpy label(m_linker.get(), &cLinker::updateLabel);
    QSignalSpy labelColour(m_linker.get(), &cLinker::updateLabelColor);
    const QByteArray fits(63, 'x');
    const QByteArray tooLong(64, 'y');
    m_key->sendMessagePayload(notify(newTagUInt8(TAG_LABEL_INDEX, 2), newTagString(TAG_LABEL_TEXT, tooLong.data()),
                                     newTagString(TAG_LABEL_COLOR, tooLong.data())));
    m_key->sendMessagePayload(notify(newTagUInt8(TAG_LABEL_INDEX, 2), newTagString(TAG_LABEL_TEXT, fits.data()),
                                     newTagString(TAG_LABEL_COLOR, "red")));
    QTRY_COMPARE(labelColour.count(), 1);
    QCOMPARE(label.count(), 1);
    QCOMPARE(label.at(0), QVariantList({2u, QString::fromLatin1(fits)}));
    QCOMPARE(labelColour.at(0), QVariantList({2u, QStringLiteral("red")}));
}

void TestCLinker::relayDataForKey_longerThanOneMessage_sentInOrder()
{
    startStation(keyConfig());
    waitForDetails();
    m_key->clearRecord();
    QByteArray data(2500, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    m_linker->sendUSB(reinterpret_cast<unsigned char *>(data.data()), data.size());
    m_linker->sendUSB(reinterpret_cast<unsigned char *>(data.data()), cLinker::kMaxDataPayload);
    QTRY_COMPARE(m_key->relayData().size(), 4);
    const QList<QByteArray> relayed = m_key->relayData();
    QCOMPARE(relayed.at(0).size(), 1018);
    QCOMPARE(relayed.at(1).size(), 1018);
    QCOMPARE(relayed.at(0) + relayed.at(1) + relayed.at(2), data);
    QCOMPARE(relayed.at(3), data.left(1018));
    QCOMPARE(m_key->messages().at(3).size(), 1024 + 1);
    QCOMPARE(m_log->count(QStringLiteral("Relay data of 2500 bytes sent to the key in 3 DATA messages")), 1);
}

void TestCLinker::relayTransfer_roundTripLosesNothing_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::newRow("tcp") << "tcp";
    QTest::newRow("udp") << "udp";
}

void TestCLinker::relayTransfer_roundTripLosesNothing()
{
    QFETCH(QString, protocol);
    m_config->setString(QStringLiteral("protocol"), protocol);
    startStation(keyConfig());
    waitForDetails();
    const bool tcp = protocol == QLatin1String("tcp");
    QSignalSpy finished(m_key.get(), &EmulatedKey::transferFinished);
    QSignalSpy serverConnected(m_linker.get(), &cLinker::serverConnected);
    const QList<QByteArray> payloads = {QByteArray("first"), QByteArray::fromHex("7e7d00ff7e"), QByteArray(1000, 'z'),
                                        QByteArray("last")};
    QVERIFY(m_key->startTransfer(payloads));
    QVERIFY(finished.wait());
    QCOMPARE(finished.at(0).at(0).toBool(), true);

    QList<QByteArray> expected;
    for (const QByteArray &payload : payloads)
        expected.append(tcp ? withFcs(payload) : payload);
    QCOMPARE(m_key->relayData(), expected);
    QCOMPARE(serverConnected.count(), 2);
    QCOMPARE(serverConnected.at(0).at(0).toBool(), false);
    QCOMPARE(serverConnected.at(1).at(0).toBool(), true);
    QVERIFY(m_key->messages().contains(sent("00011a050000")));
    QVERIFY(m_key->messages().contains(sent("00011b050000")));
    QCOMPARE(m_log->count(tcp ? QStringLiteral("TCP Connected") : QStringLiteral("UDP Connected")), 1);
    QCOMPARE(m_log->count(tcp ? QStringLiteral("Closing TCP connection") : QStringLiteral("Closing UDP connection")), 1);
    QCOMPARE(m_log->count(QStringLiteral("Key request UDP connection")), 1);
    QCOMPARE(m_log->count(QStringLiteral("Key request UDP disconnection")), 1);
}

void TestCLinker::relayProtocolSwitch_closesOldConnection()
{
    m_config->setString(QStringLiteral("protocol"), QStringLiteral("udp"));
    startStation(keyConfig());
    waitForDetails();
    QSignalSpy opened(m_key.get(), &EmulatedKey::relayOpened);
    m_key->requestRelayOpen();
    QVERIFY(opened.wait());
    // Anything but the exact lower-case text selects UDP.
    m_config->setString(QStringLiteral("protocol"), QStringLiteral("TCP"));
    m_key->requestRelayOpen();
    QTRY_COMPARE(opened.count(), 2);
    QCOMPARE(m_log->count(QStringLiteral("Protocol differs...forcefully closing previous connection.")), 0);

    m_config->setString(QStringLiteral("protocol"), QStringLiteral("tcp"));
    m_key->requestRelayOpen();
    QTRY_COMPARE(opened.count(), 3);
    QCOMPARE(m_log->count(QStringLiteral("Protocol differs...forcefully closing previous connection.")), 1);
    QCOMPARE(m_log->count(QStringLiteral("Closing UDP connection")), 1);
    QCOMPARE(m_log->count(QStringLiteral("UDP Connected")), 1);
    QCOMPARE(m_linker->relay()->state(), srvLink::TcpOpen);
    QTRY_COMPARE(m_tcpAccepted, 1);
}

void TestCLinker::relayRefused_sendsNoOpenedToKey()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    EmulatedKeyConfig config = keyConfig();
    config.relayPort = closed.serverPort();
    closed.close();
    startStation(config);
    waitForDetails();
    m_key->requestRelayOpen();
    sync();
    QVERIFY(!m_key->messages().contains(sent("00011a050000")));
    QCOMPARE(m_log->count(QStringLiteral("Connection refused")), 1);
    QCOMPARE(m_linker->relay()->state(), srvLink::Closed);
}

void TestCLinker::relayWhileKeyNotReady_logsKeyNotConnected()
{
    EmulatedKeyConfig config = keyConfig();
    config.answerConnect = false;
    startStation(config);
    QTRY_COMPARE(m_key->messages().size(), 1);
    m_key->requestRelayOpen();
    sync();
    QCOMPARE(m_log->count(QStringLiteral("Key not connected")), 1);
    QVERIFY(!m_key->messages().contains(sent("00011a050000")));
    QCOMPARE(m_tcpAccepted, 0);
}

void TestCLinker::unplug_reportsDisconnectAndClosesRelay()
{
    m_config->setString(QStringLiteral("protocol"), QStringLiteral("udp"));
    startStation(keyConfig());
    waitForDetails();
    QSignalSpy opened(m_key.get(), &EmulatedKey::relayOpened);
    m_key->requestRelayOpen();
    QVERIFY(opened.wait());
    QSignalSpy connected(m_linker.get(), &cLinker::usbConnected);
    QSignalSpy disconnected(m_linker.get(), &cLinker::keyDisconnected);
    QSignalSpy layout(m_linker.get(), &cLinker::setLayout);
    m_key->unplug();
    QTRY_COMPARE(connected.count(), 2);
    QCOMPARE(connected.at(1).at(0).toBool(), false);
    QCOMPARE(disconnected.count(), 2);
    QCOMPARE(layout.count(), 2);
    QCOMPARE(layout.at(0).at(0).toInt(), 0);
    QCOMPARE(m_log->count(QStringLiteral("Closing UDP connection")), 1);
    QCOMPARE(m_log->count(QStringLiteral("Device disconnected")), 1);
    QVERIFY(!m_linker->isKeyReady());
    QCOMPARE(m_linker->relay()->state(), srvLink::Closed);
}

QTEST_GUILESS_MAIN(TestCLinker)
#include "test_clinker.moc"
