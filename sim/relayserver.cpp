#include "sim/relayserver.h"

#include "key/kframe.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <memory>
#include <vector>

namespace {

constexpr size_t kMaxFrameContent = 4096;

QByteArray frameOf(const QByteArray &payload)
{
    std::vector<uint8_t> frame(kframe::maxFrameSize(size_t(payload.size())));
    const size_t length = kframe::buildFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                                             size_t(payload.size()), frame.data(), frame.size());
    return QByteArray(reinterpret_cast<const char *>(frame.data()), int(length));
}

} // namespace

RelayServer::RelayServer(QObject *parent) : QObject(parent) {}

RelayServer::~RelayServer() = default;

QByteArray RelayServer::answerFor(const QByteArray &payload)
{
    return QByteArrayLiteral("ACK ") + payload;
}

bool RelayServer::start(quint16 port)
{
    stop();
    // A free TCP port may be taken for UDP; a few fresh picks settle that.
    const int attempts = port == 0 ? 8 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (listenOn(port))
            return true;
    }
    return false;
}

bool RelayServer::listenOn(quint16 port)
{
    auto tcp = std::make_unique<QTcpServer>();
    if (!tcp->listen(QHostAddress::LocalHost, port))
        return false;
    auto udp = std::make_unique<QUdpSocket>();
    if (!udp->bind(QHostAddress::LocalHost, tcp->serverPort()))
        return false;
    m_tcp = std::move(tcp);
    m_udp = std::move(udp);
    m_port = m_tcp->serverPort();
    connect(m_tcp.get(), &QTcpServer::newConnection, this, &RelayServer::acceptConnections);
    connect(m_udp.get(), &QUdpSocket::readyRead, this, &RelayServer::readUdp);
    return true;
}

void RelayServer::stop()
{
    m_tcp.reset();
    m_udp.reset();
    m_port = 0;
    // Accepted connections outlive the listener unless closed here.
    for (QTcpSocket *socket : findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly)) {
        socket->abort();
        socket->deleteLater();
    }
}

int RelayServer::connectionCount() const
{
    int count = 0;
    for (const QTcpSocket *socket : findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            ++count;
    }
    return count;
}

void RelayServer::record(const QByteArray &payload)
{
    m_received.append(payload);
    while (m_received.size() > kMaxRecorded)
        m_received.removeFirst();
}

void RelayServer::acceptConnections()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
        socket->setParent(this);
        // Each connection has its own frame stream; the deframer lives as long as the connection does.
        auto deframer = std::make_shared<kframe::StreamDeframer>(kMaxFrameContent);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, deframer] { readTcp(socket, *deframer); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            socket->deleteLater();
            emit connectionClosed();
        });
        emit connectionOpened();
    }
}

void RelayServer::readTcp(QTcpSocket *socket, kframe::StreamDeframer &deframer)
{
    const QByteArray bytes = socket->readAll();
    QList<QByteArray> payloads;
    deframer.feed(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()),
                  [&payloads](const uint8_t *content, size_t length) {
                      if (length >= 2 && kframe::fcsGood(content, length))
                          payloads.append(QByteArray(reinterpret_cast<const char *>(content), int(length - 2)));
                  });
    for (const QByteArray &payload : payloads) {
        record(payload);
        // Answered before the signal: a receiver may stop the server.
        socket->write(frameOf(answerFor(payload)));
        emit payloadReceived(payload, true);
    }
}

void RelayServer::readUdp()
{
    while (m_udp && m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram();
        const QByteArray payload = datagram.data();
        record(payload);
        m_udp->writeDatagram(answerFor(payload), datagram.senderAddress(), quint16(datagram.senderPort()));
        emit payloadReceived(payload, false);
    }
}
