#include "sim/relayserver.h"

#include "key/kframe.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <vector>

namespace {


struct DeframerHolder : QObject
{
    explicit DeframerHolder(QObject *parent) : QObject(parent) {}
    kframe::StreamDeframer deframer{4096};
};

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
    m_tcp = std::make_unique<QTcpServer>();
    if (!m_tcp->listen(QHostAddress::LocalHost, port)) {
        m_tcp.reset();
        return false;
    }
    m_port = m_tcp->serverPort();
    m_udp = std::make_unique<QUdpSocket>();
    if (!m_udp->bind(QHostAddress::LocalHost, m_port)) {
        m_tcp.reset();
        m_udp.reset();
        m_port = 0;
        return false;
    }
    connect(m_tcp.get(), &QTcpServer::newConnection, this, &RelayServer::acceptConnections);
    connect(m_udp.get(), &QUdpSocket::readyRead, this, &RelayServer::readUdp);
    return true;
}

void RelayServer::stop()
{
    m_tcp.reset();
    m_udp.reset();
    m_port = 0;
}

void RelayServer::acceptConnections()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
        socket->setParent(this);
        new DeframerHolder(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readTcp(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void RelayServer::readTcp(QTcpSocket *socket)
{
    auto *holder = socket->findChild<DeframerHolder *>();
    if (!holder)
        return;
    const QByteArray bytes = socket->readAll();
    QList<QByteArray> payloads;
    holder->deframer.feed(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()),
                          [&payloads](const uint8_t *content, size_t length) {
                              if (length >= 2 && kframe::fcsGood(content, length))
                                  payloads.append(QByteArray(reinterpret_cast<const char *>(content),
                                                             int(length - 2)));
                          });
    for (const QByteArray &payload : payloads) {
        m_received.append(payload);
        emit payloadReceived(payload, true);
        socket->write(frameOf(answerFor(payload)));
    }
}

void RelayServer::readUdp()
{
    while (m_udp && m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram();
        const QByteArray payload = datagram.data();
        m_received.append(payload);
        emit payloadReceived(payload, false);
        m_udp->writeDatagram(answerFor(payload), datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}
