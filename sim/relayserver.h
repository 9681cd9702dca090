#pragma once

#include "key/kframe.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

// The key's own server, as far as a relay transfer needs one: it takes each payload the key
// sends through the application and answers it at once ("ACK " followed by the payload), so a
// transfer can be watched end to end. TCP carries the key link's frames; UDP one payload per
// datagram. Both listen on the same port number.
class RelayServer : public QObject
{
    Q_OBJECT

public:
    explicit RelayServer(QObject *parent = nullptr);
    ~RelayServer() override;

    // Port 0 picks a free port, the same number for TCP and UDP.
    bool start(quint16 port = 0);
    // Stops listening and closes the connections already accepted.
    void stop();
    bool isListening() const { return m_tcp != nullptr; }
    quint16 port() const { return m_port; }

    // The most recent payloads (at most kMaxRecorded), oldest first.
    static constexpr int kMaxRecorded = 1000;
    QList<QByteArray> received() const { return m_received; }
    int connectionCount() const;
    static QByteArray answerFor(const QByteArray &payload);

signals:
    // One payload from the key (the frame's FCS removed); tcp tells which transport carried it.
    void payloadReceived(QByteArray payload, bool tcp);
    // A TCP connection from the application was accepted or has ended.
    void connectionOpened();
    void connectionClosed();

private:
    void acceptConnections();
    void readTcp(QTcpSocket *socket, kframe::StreamDeframer &deframer);
    void readUdp();
    void record(const QByteArray &payload);
    bool listenOn(quint16 port);

    std::unique_ptr<QTcpServer> m_tcp;
    std::unique_ptr<QUdpSocket> m_udp;
    quint16 m_port = 0;
    QList<QByteArray> m_received;
};
