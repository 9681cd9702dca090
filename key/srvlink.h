#pragma once

#include "key/kframe.h"

#include <QHostAddress>
#include <QObject>

#include <optional>
#include <vector>

class QTcpSocket;
class QUdpSocket;

// The relay between the key and its own server: one connection at a time, over TCP (payloads in
// key frames) or UDP (one payload per datagram). Lives on the GUI thread.
class srvLink : public QObject
{
    Q_OBJECT

public:
    enum State
    {
        Closed = 0,
        UdpOpen = 1,
        TcpOpen = 2
    };

    // The TCP connect wait blocks the GUI thread for at most this long.
    static constexpr int kConnectWaitMs = 1500;
    // Largest TCP frame content accepted from the server; longer ones are dropped and the stream resyncs.
    static constexpr size_t kMaxServerFrame = 65536;
    // Bytes allowed to wait for a TCP server that does not read; past this the relay closes.
    static constexpr qint64 kMaxPendingWrite = 256 * 1024;

    // The product's relay, created by the key engine.
    static srvLink *get();

    explicit srvLink(QObject *parent = nullptr);
    ~srvLink() override;

    // Virtual so that a relay without sockets can stand in for it.
    virtual bool connectServer(const char *host, int port, bool tcp);
    virtual bool closeServer();

    State state() const { return m_state; }
    QHostAddress hostAddress() const { return m_hostAddress; }
    quint16 port() const { return m_port; }

    void setMaxPendingWrite(qint64 bytes) { m_maxPendingWrite = bytes; }

signals:
    void dataReceived(unsigned char *buff, int len);
    // The relay closed itself (the server stopped taking data); the key is to be told as on a close.
    void connectionLost();

public slots:
    void handleDataReceived();
    virtual int send(unsigned char *buff, int len);

private:
    void readDatagrams();
    void readStream();
    bool resolve(const char *host);

    // Outgoing TCP frame, sized for the worst case of stuffing.
    std::vector<uint8_t> m_frameBuffer;
    // One whole datagram or one TCP read.
    std::vector<uint8_t> m_receiveBuffer;
    int m_receiveCount = 0;
    kframe::StreamDeframer m_deframer;
    QHostAddress m_hostAddress;
    QUdpSocket *m_udpSocket;
    QTcpSocket *m_tcpSocket;
    quint16 m_port = 0;
    State m_state = Closed;
    std::optional<bool> m_lastProtocolTcp;
    qint64 m_maxPendingWrite = kMaxPendingWrite;
};
