// The server relay against loopback TCP and UDP servers.

#include "key/srvlink.h"
#include "support/keytestsupport.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

class TestSrvLink : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
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

    void cleanup()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::DefaultProxy));
        m_relay.reset();
        m_udpServer.reset();
        m_tcpServer.reset();
    }

    void tcpSend_writesStuffedFrame()
    {
        QVERIFY(m_relay->connectServer("127.0.0.1", m_tcpServer->serverPort(), true));
        QTcpSocket *server = acceptTcp();
        QVERIFY(server);
        unsigned char payload[] = {0x01, 0x7E};
        QCOMPARE(m_relay->send(payload, 2), 7);
        QTRY_COMPARE_WITH_TIMEOUT(server->bytesAvailable(), 7, kKeyWaitMs);
        QCOMPARE(server->readAll(), QByteArray::fromHex("7e017d5e668c7e"));

        // The worst case: every byte stuffed, twice the payload plus flags and FCS.
        QByteArray flags(1024, '\x7e');
        QVERIFY(m_relay->send(reinterpret_cast<unsigned char *>(flags.data()), flags.size()) >= 2 * 1024 + 4);
        QTRY_VERIFY_WITH_TIMEOUT(server->bytesAvailable() >= 2 * 1024 + 4, kKeyWaitMs);
        QCOMPARE(server->read(2049), QByteArray(1, '\x7e') + QByteArray::fromHex("7d5e").repeated(1024));
    }

    void tcpReceive_forwardsEachWholeFrameWithItsFcs_data()
    {
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<QList<QByteArray>>("forwarded");
        const QByteArray frame = QByteArray::fromHex("7e0506c9147e");
        const QByteArray stuffed = QByteArray::fromHex("7e017d5e668c7e");
        QTest::newRow("bad FCS still forwarded") << QList<QByteArray>({QByteArray::fromHex("7e050600007e")})
                                                 << QList<QByteArray>({QByteArray::fromHex("05060000")});
        QTest::newRow("two frames in one write")
            << QList<QByteArray>({frame + stuffed})
            << QList<QByteArray>({QByteArray::fromHex("0506c914"), QByteArray::fromHex("017e668c")});
        QTest::newRow("frame split inside an escape") << QList<QByteArray>({stuffed.left(3), stuffed.mid(3)})
                                                      << QList<QByteArray>({QByteArray::fromHex("017e668c")});
        QTest::newRow("line ends between and before frames dropped")
            << QList<QByteArray>({frame + QByteArray("\r\n") + stuffed, QByteArray("\r\n") + frame})
            << QList<QByteArray>(
                   {QByteArray::fromHex("0506c914"), QByteArray::fromHex("017e668c"), QByteArray::fromHex("0506c914")});
        QByteArray big(3000, '\x33');
        QTest::newRow("frame larger than one read")
            << QList<QByteArray>({QByteArray(1, '\x7e') + big + QByteArray(1, '\x7e')}) << QList<QByteArray>({big});
    }

    void tcpReceive_forwardsEachWholeFrameWithItsFcs()
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
            QTRY_VERIFY_WITH_TIMEOUT(readyRead.count() > reads, kKeyWaitMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_forwarded, forwarded, kKeyWaitMs);
    }

    void udp_sendsRawDatagramsAndForwardsOnlyTheServersWhole()
    {
        QVERIFY(m_relay->connectServer("localhost", m_udpServer->localPort(), false));
        QCOMPARE(m_relay->hostAddress(), QHostAddress(QHostAddress::LocalHost));
        unsigned char payload[] = {0x01, 0x7E};
        QCOMPARE(m_relay->send(payload, 2), 2);
        QTRY_VERIFY_WITH_TIMEOUT(m_udpServer->hasPendingDatagrams(), kKeyWaitMs);
        const QNetworkDatagram first = m_udpServer->receiveDatagram();
        QCOMPARE(first.data(), QByteArray::fromHex("017e"));
        // A stranger on the network knows the relay's port too.
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
        stranger.writeDatagram("forged", first.senderAddress(), static_cast<quint16>(first.senderPort()));
        const QList<QByteArray> datagrams = {QByteArray("one"), QByteArray(1500, '\x42'), QByteArray("three")};
        for (const QByteArray &datagram : datagrams)
            m_udpServer->writeDatagram(datagram, first.senderAddress(), static_cast<quint16>(first.senderPort()));
        QTRY_COMPARE_WITH_TIMEOUT(m_forwarded, datagrams, kKeyWaitMs);
    }

    // A second open: kept when the relay is open with the same protocol, made afresh when the TCP server
    // hung up or the protocol changed.
    void connectServer_data()
    {
        QTest::addColumn<bool>("firstTcp");
        QTest::addColumn<bool>("hangUp");
        QTest::addColumn<bool>("secondTcp");
        QTest::addColumn<bool>("httpProxy");
        QTest::addColumn<int>("tcpConnections");
        QTest::newRow("same protocol keeps the connection") << false << false << false << false << 0;
        QTest::newRow("tcp server hung up: reconnects") << true << true << true << false << 2;
        QTest::newRow("protocol switch closes the old one first") << false << false << true << false << 1;
        QTest::newRow("udp goes direct past an application http proxy") << false << false << false << true << 0;
    }

    void connectServer()
    {
        QFETCH(bool, firstTcp);
        QFETCH(bool, hangUp);
        QFETCH(bool, secondTcp);
        QFETCH(bool, httpProxy);
        QFETCH(int, tcpConnections);
        if (httpProxy)
            QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), 1));
        const quint16 port = m_tcpServer->serverPort();
        QVERIFY(m_relay->connectServer("127.0.0.1", port, firstTcp));
        std::unique_ptr<QTcpSocket> server(firstTcp ? acceptTcp() : nullptr);
        if (hangUp) {
            QVERIFY(server);
            server->disconnectFromHost();
            QTRY_COMPARE_WITH_TIMEOUT(m_relay->findChild<QTcpSocket *>()->state(), QAbstractSocket::UnconnectedState,
                                      kKeyWaitMs);
            QCOMPARE(m_relay->state(), srvLink::TcpOpen);
        }
        // Asked for another port while open: the open connection stays in use.
        QVERIFY(m_relay->connectServer("127.0.0.1", hangUp || firstTcp != secondTcp ? port : 1, secondTcp));
        std::unique_ptr<QTcpSocket> second(secondTcp ? acceptTcp() : nullptr);
        QCOMPARE(m_relay->state(), secondTcp ? srvLink::TcpOpen : srvLink::UdpOpen);
        QCOMPARE(m_relay->port(), port);
        QCOMPARE(int(bool(server)) + int(bool(second)), tcpConnections);
        QCOMPARE(m_relay->findChild<QUdpSocket *>()->state(),
                 secondTcp ? QAbstractSocket::UnconnectedState : QAbstractSocket::BoundState);

        unsigned char payload[] = {0x42};
        QVERIFY(m_relay->send(payload, 1) > 0);
        if (!secondTcp) {
            QTRY_VERIFY_WITH_TIMEOUT(m_udpServer->hasPendingDatagrams(), kKeyWaitMs);
            QCOMPARE(m_udpServer->receiveDatagram().data(), QByteArray("B"));
        }
    }

    void ipv6OnlyHost_isRefusedAndRelayStaysClosed()
    {
        QVERIFY(!m_relay->connectServer("::1", m_tcpServer->serverPort(), true));
        QVERIFY(m_relay->hostAddress().isNull());
        unsigned char payload[] = {0x01};
        QCOMPARE(m_relay->send(payload, 1), -1);
    }

    // A server that never reads: the relay's write buffer stays bounded and the relay closes.
    void tcpServerNeverReads_relayClosesPastTheCap()
    {
        QVERIFY(m_relay->connectServer("127.0.0.1", m_tcpServer->serverPort(), true));
        std::unique_ptr<QTcpSocket> server(acceptTcp());
        QVERIFY(server);
        server->setReadBufferSize(1);
        QSignalSpy lost(m_relay.get(), &srvLink::connectionLost);
        auto *client = m_relay->findChild<QTcpSocket *>();
        QByteArray payload(1000, '\x11');
        int result = 0;
        for (int i = 0; i < 100000 && result >= 0; ++i) {
            result = m_relay->send(reinterpret_cast<unsigned char *>(payload.data()), payload.size());
            QVERIFY(client->bytesToWrite() <= srvLink::kMaxPendingWrite);
        }
        QCOMPARE(result, -1);
        QCOMPARE(lost.count(), 1);
        QCOMPARE(m_relay->state(), srvLink::Closed);
        QCOMPARE(client->state(), QAbstractSocket::UnconnectedState);
    }

private:
    QTcpSocket *acceptTcp()
    {
        if (!m_tcpServer->hasPendingConnections() && !m_tcpServer->waitForNewConnection(kKeyWaitMs))
            return nullptr;
        return m_tcpServer->nextPendingConnection();
    }

    std::unique_ptr<QTcpServer> m_tcpServer;
    std::unique_ptr<QUdpSocket> m_udpServer;
    std::unique_ptr<srvLink> m_relay;
    QList<QByteArray> m_forwarded;
};

QTEST_GUILESS_MAIN(TestSrvLink)
#include "test_srvlink.moc"
