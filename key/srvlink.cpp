#include "key/srvlink.h"

#include <QDebug>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QUdpSocket>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

void logText(const QString &text)
{
    qDebug().noquote() << text;
}

constexpr int kReadChunk = 1024;

// The name lookup runs on a thread of its own so that a slow or broken DNS holds the window for
// this long at most; a lookup still running then is left to finish on its own.
constexpr int kLookupWaitMs = 2000;

bool lookUpName(const QString &name, QList<QHostAddress> &addresses)
{
    struct Lookup
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool found = false;
        QList<QHostAddress> addresses;
    };
    const auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, name] {
        const QHostInfo info = QHostInfo::fromName(name);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->found = info.error() == QHostInfo::NoError;
        lookup->addresses = info.addresses();
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(kLookupWaitMs), [&] { return lookup->finished; })) {
        logText(QStringLiteral("Relay server name lookup timed out"));
        return false;
    }
    addresses = lookup->addresses;
    return lookup->found;
}

} // namespace

srvLink::srvLink(QObject *parent)
    : QObject(parent), m_receiveBuffer(kReadChunk), m_deframer(kMaxServerFrame), m_udpSocket(new QUdpSocket(this)),
      m_tcpSocket(new QTcpSocket(this))
{
    // An HTTP proxy cannot carry datagrams: with one set for the application the bind would fail.
    // The TCP relay keeps the application's proxy.
    m_udpSocket->setProxy(QNetworkProxy::NoProxy);
    connect(m_udpSocket, &QUdpSocket::readyRead, this, &srvLink::handleDataReceived);
    connect(m_tcpSocket, &QTcpSocket::readyRead, this, &srvLink::handleDataReceived);
}

srvLink::~srvLink() = default;

bool srvLink::connectServer(const char *host, int port, bool tcp)
{
    if (m_lastProtocolTcp.has_value() && *m_lastProtocolTcp != tcp) {
        logText(QStringLiteral("Protocol differs...forcefully closing previous connection."));
        closeServer();
    }
    m_lastProtocolTcp = tcp;

    // A server that hung up leaves the state at TCP; reusing that socket would report a dead relay as open.
    if (m_state == TcpOpen && m_tcpSocket->state() != QAbstractSocket::ConnectedState)
        closeServer();
    if (m_state != Closed)
        return true;

    logText(QStringLiteral("Opening server connection"));
    if (!host || !resolve(host)) {
        logText(QStringLiteral("could not get address"));
        m_hostAddress.clear();
        return false;
    }
    m_port = static_cast<quint16>(port);
    m_deframer.reset();

    if (tcp) {
        m_tcpSocket->connectToHost(m_hostAddress, m_port, QIODevice::ReadWrite);
        if (!m_tcpSocket->waitForConnected(kConnectWaitMs)) {
            const QString error = m_tcpSocket->errorString();
            m_tcpSocket->abort();
            logText(error);
            return false;
        }
        logText(QStringLiteral("TCP Connected"));
        m_state = TcpOpen;
        return true;
    }

    if (!m_udpSocket->bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        const QString error = m_udpSocket->errorString();
        m_udpSocket->abort();
        logText(error);
        return false;
    }
    logText(QStringLiteral("UDP Connected"));
    m_state = UdpOpen;
    return true;
}

// The first IPv4 address of the host, as the classic resolver gives it; IPv6 is not carried.
bool srvLink::resolve(const char *host)
{
    // A literal address is taken as it stands: a lookup could stall on a reverse query.
    const QString name = QString::fromLocal8Bit(host);
    QList<QHostAddress> addresses;
    QHostAddress literal;
    if (literal.setAddress(name)) {
        addresses.append(literal);
    } else if (!lookUpName(name, addresses)) {
        return false;
    }
    bool sawIpv6 = false;
    for (const QHostAddress &address : std::as_const(addresses)) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_hostAddress = address;
            return true;
        }
        if (address.protocol() == QAbstractSocket::IPv6Protocol)
            sawIpv6 = true;
    }
    if (sawIpv6)
        logText(QStringLiteral("IP version 6 not supported"));
    return false;
}

bool srvLink::closeServer()
{
    if (m_state == UdpOpen) {
        logText(QStringLiteral("Closing UDP connection"));
        m_udpSocket->abort();
    } else if (m_state == TcpOpen) {
        logText(QStringLiteral("Closing TCP connection"));
        m_tcpSocket->abort();
    }
    m_state = Closed;
    m_deframer.reset();
    return true;
}

int srvLink::send(unsigned char *buff, int len)
{
    if (m_state == Closed || len < 0 || (!buff && len > 0))
        return -1;

    qint64 written;
    QAbstractSocket *socket;
    if (m_state == TcpOpen) {
        m_frameBuffer.resize(kframe::maxFrameSize(static_cast<size_t>(len)));
        const size_t frameLength =
            kframe::buildFrame(buff, static_cast<size_t>(len), m_frameBuffer.data(), m_frameBuffer.size());
        if (m_tcpSocket->bytesToWrite() + static_cast<qint64>(frameLength) > m_maxPendingWrite) {
            logText(QStringLiteral("Relay server does not take its data, closing the relay"));
            closeServer();
            emit connectionLost();
            return -1;
        }
        written =
            m_tcpSocket->write(reinterpret_cast<const char *>(m_frameBuffer.data()), static_cast<qint64>(frameLength));
        if (written >= 0)
            m_tcpSocket->flush();
        socket = m_tcpSocket;
    } else {
        written = m_udpSocket->writeDatagram(reinterpret_cast<const char *>(buff), len, m_hostAddress, m_port);
        socket = m_udpSocket;
    }
    if (written < 0)
        logText(socket->errorString());
    return static_cast<int>(written);
}

void srvLink::handleDataReceived()
{
    if (m_state == UdpOpen)
        readDatagrams();
    else if (m_state == TcpOpen)
        readStream();
}

// Every pending datagram from the relay server goes to the key on its own, whole; datagrams from
// anyone else are dropped.
void srvLink::readDatagrams()
{
    while (m_state == UdpOpen && m_udpSocket->hasPendingDatagrams()) {
        const qint64 size = m_udpSocket->pendingDatagramSize();
        if (size < 0)
            break;
        m_receiveBuffer.resize(std::max<size_t>(static_cast<size_t>(size), 1));
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 read =
            m_udpSocket->readDatagram(reinterpret_cast<char *>(m_receiveBuffer.data()),
                                      static_cast<qint64>(m_receiveBuffer.size()), &sender, &senderPort);
        if (read < 0)
            break;
        if (senderPort != m_port || !sender.isEqual(m_hostAddress, QHostAddress::TolerantConversion))
            continue;
        m_receiveCount = static_cast<int>(read);
        emit dataReceived(m_receiveBuffer.data(), m_receiveCount);
    }
}

// readyRead does not fire again for bytes left unread, so the socket is drained here. Frames split or
// joined across reads are put back together; each goes on with its two FCS bytes, as the key expects.
void srvLink::readStream()
{
    std::vector<uint8_t> decoded;
    while (m_state == TcpOpen && m_tcpSocket->bytesAvailable() > 0) {
        m_receiveBuffer.resize(kReadChunk);
        const qint64 read = m_tcpSocket->read(reinterpret_cast<char *>(m_receiveBuffer.data()), kReadChunk);
        if (read <= 0)
            break;
        m_receiveCount = static_cast<int>(read);
        m_deframer.feed(m_receiveBuffer.data(), static_cast<size_t>(read), [&](const uint8_t *content, size_t len) {
            decoded.assign(content, content + len);
            emit dataReceived(decoded.data(), static_cast<int>(decoded.size()));
        });
    }
}
