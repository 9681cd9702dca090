// The server relay against loopback TCP and UDP servers.

#include "key/srvlink.h"
#include "key/usblink.h"
#include "support/keytestsupport.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

class TestSrvLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void tcpSend_writesStuffedFrame();
    void closed_sendFailsAndCloseLogsNothing();
    void tcpReceive_forwardsEachWholeFrameWithItsFcs_data();
    void tcpReceive_forwardsEachWholeFrameWithItsFcs();
    void udp_sendsRawDatagramsAndForwardsEveryOneWhole();
    void openSameProtocolTwice_keepsConnection();
    void ipv6OnlyHost_isRefused();
    void tcpServerHungUp_nextOpenReconnects();

private:
    QTcpSocket *acceptTcp();

    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<QTcpServer> m_tcpServer;
    std::unique_ptr<QUdpSocket> m_udpServer;
    std::unique_ptr<srvLink> m_relay;
    QList<QByteArray> m_forwarded;
};

void TestSrvLink::init()
{
    m_log = std::make_unique<LogCapture>();
    m_tcpServer = std::make_unique<QTcpServer>();
    QVERIFY(m_tcpServer->listen(QHostAddress::LocalHost, 0));
    m_udpServer = std::make_unique<QUdpSocket>();
    QVERIFY(m_udpServer->bind(QHostAddress::LocalHost, m_tcpServer->serverPort()));
    m_relay = std::make_unique<srvLink>();
    m_forwarded.clear();
    connect(m_relay.get(), &srvLink::dataReceived, this, [this](unsigned char *buff, int len) {
        m_forwarded.append(QByteArray(reinterpret_cast<const char *>(buff), len));
    });
}

void TestSrvLink::cleanup()
{
    m_relay.reset();
    m_udpServer.reset();
    m_tcpServer.reset();
    m_log.reset();
}

QTcpSocket *TestSrvLink::acceptTcp()
{
    if (!m_tcpServer->hasPendingConnections() && !m_tcpServer->waitForNewConnection(5000))
        return nullptr;
    return m_tcpServer->nextPendingConnection();
}

void TestSrvLink::tcpSend_writesStuffedFrame()
{
    QVERIFY(m_relay->connectServer("127.0.0.1", m_tcpServer->serverPort(), true));
    QCOMPARE(m_log->count(QStringLiteral("TCP Connected")), 1);
    QTcpSocket *server = acceptTcp();
    QVERIFY(server);
    unsigned char payload[] = {0x01, 0x7E};
    QCOMPARE(m_relay->send(payload, 2), 7);
    QTRY_COMPARE(server->bytesAvailable(), 7);
    QCOMPARE(server->readAll(), QByteArray::fromHex("7e017d5e668c7e"));

    // The worst case: every byte stuffed, twice the payload plus flags and FCS.
    QByteArray flags(1024, '\x7e');
    QVERIFY(m_relay->send(reinterpret_cast<unsigned char *>(flags.data()), flags.size()) >= 2 * 1024 + 4);
    QTRY_VERIFY(server->bytesAvailable() >= 2 * 1024 + 4);
    QCOMPARE(server->read(2049), QByteArray(1, '\x7e') + QByteArray::fromHex("7d5e").repeated(1024));
}

void TestSrvLink::closed_sendFailsAndCloseLogsNothing()
{
    unsigned char payload[] = {0x01};
    QCOMPARE(m_relay->send(payload, 1), -1);
    QVERIFY(m_relay->closeServer());
    QVERIFY(m_log->lines().isEmpty());
}

void TestSrvLink::tcpReceive_forwardsEachWholeFrameWithItsFcs_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<QList<QByteArray>>("forwarded");
    const QByteArray frame = QByteArray::fromHex("7e0506c9147e");
    const QByteArray stuffed = QByteArray::fromHex("7e017d5e668c7e");
    QTest::newRow("one frame") << QList<QByteArray>({frame}) << QList<QByteArray>({QByteArray::fromHex("0506c914")});
    QTest::newRow("bad FCS still forwarded") << QList<QByteArray>({QByteArray::fromHex("7e050600007e")})
                                             << QList<QByteArray>({QByteArray::fromHex("05060000")});
    QTest::newRow("two frames in one write")
        << QList<QByteArray>({frame + stuffed})
        << QList<QByteArray>({QByteArray::fromHex("0506c914"), QByteArray::fromHex("017e668c")});
    QTest::newRow("frame split inside an escape")
        << QList<QByteArray>({stuffed.left(3), stuffed.mid(3)}) << QList<QByteArray>({QByteArray::fromHex("017e668c")});
    QTest::newRow("noise before the flag") << QList<QByteArray>({QByteArray::fromHex("5555") + frame})
                                           << QList<QByteArray>({QByteArray::fromHex("0506c914")});
    QByteArray big(3000, '\x33');
    QTest::newRow("frame larger than one read")
        << QList<QByteArray>({QByteArray(1, '\x7e') + big + QByteArray(1, '\x7e')}) << QList<QByteArray>({big});
}

void TestSrvLink::tcpReceive_forwardsEachWholeFrameWithItsFcs()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QList<QByteArray>, forwarded);
    QVERIFY(m_relay->connectServer("127.0.0.1", m_tcpServer->serverPort(), true));
    QTcpSocket *server = acceptTcp();
    QVERIFY(server);
    // Each write is read by the relay before the next one goes out.
    QSignalSpy readyRead(m_relay->findChild<QTcpSocket *>(), &QTcpSocket::readyRead);
    for (const QByteArray &write : writes) {
        const int reads = readyRead.count();
        server->write(write);
        QTRY_VERIFY(readyRead.count() > reads);
    }
    QTRY_COMPARE(m_forwarded, forwarded);
}

void TestSrvLink::udp_sendsRawDatagramsAndForwardsEveryOneWhole()
{
    QVERIFY(m_relay->connectServer("localhost", m_udpServer->localPort(), false));
    QCOMPARE(m_relay->hostAddress(), QHostAddress(QHostAddress::LocalHost));
    unsigned char payload[] = {0x01, 0x7E};
    QCOMPARE(m_relay->send(payload, 2), 2);
    QTRY_VERIFY(m_udpServer->hasPendingDatagrams());
    const QNetworkDatagram first = m_udpServer->receiveDatagram();
    QCOMPARE(first.data(), QByteArray::fromHex("017e"));
    const QList<QByteArray> datagrams = {QByteArray("one"), QByteArray(1500, '\x42'), QByteArray("three")};
    for (const QByteArray &datagram : datagrams)
        m_udpServer->writeDatagram(datagram, first.senderAddress(), static_cast<quint16>(first.senderPort()));
    QTRY_COMPARE(m_forwarded, datagrams);
}

void TestSrvLink::openSameProtocolTwice_keepsConnection()
{
    QVERIFY(m_relay->connectServer("127.0.0.1", m_udpServer->localPort(), false));
    QVERIFY(m_relay->connectServer("127.0.0.1", 1, false));
    QCOMPARE(m_log->count(QStringLiteral("Opening server connection")), 1);
    QCOMPARE(m_relay->port(), m_udpServer->localPort());
    QCOMPARE(m_relay->state(), srvLink::UdpOpen);
}

void TestSrvLink::ipv6OnlyHost_isRefused()
{
    QVERIFY(!m_relay->connectServer("::1", m_tcpServer->serverPort(), true));
    QCOMPARE(m_log->lines(),
             QStringList({QStringLiteral("Opening server connection"), QStringLiteral("IP version 6 not supported"),
                          QStringLiteral("could not get address")}));
    QVERIFY(m_relay->hostAddress().isNull());
}

void TestSrvLink::tcpServerHungUp_nextOpenReconnects()
{
    QVERIFY(m_relay->connectServer("127.0.0.1", m_tcpServer->serverPort(), true));
    std::unique_ptr<QTcpSocket> server(acceptTcp());
    QVERIFY(server);
    server->disconnectFromHost();
    const QTcpSocket *client = m_relay->findChild<QTcpSocket *>();
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_relay->state(), srvLink::TcpOpen);

    QVERIFY(m_relay->connectServer("127.0.0.1", m_tcpServer->serverPort(), true));
    std::unique_ptr<QTcpSocket> again(acceptTcp());
    QVERIFY(again);
    QCOMPARE(m_log->count(QStringLiteral("Closing TCP connection")), 1);
    QCOMPARE(m_log->count(QStringLiteral("TCP Connected")), 2);
}

QTEST_GUILESS_MAIN(TestSrvLink)
#include "test_srvlink.moc"
