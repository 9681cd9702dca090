#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

// What the emulated key reports about itself and how it paces its answers.
struct EmulatedKeyConfig
{
    QString socketPath; // empty: the application's default key socket path
    quint32 serial = 0x00ABCDEF;
    QString box = QStringLiteral("VESK-BOX-01");
    QString softwareVersion = QStringLiteral("1.6.3");
    QString hardwareVersion = QStringLiteral("HW-2.1");
    QString relayServer = QStringLiteral("127.0.0.1");
    quint16 relayPort = 7000;
    QString serviceAddress = QStringLiteral("127.0.0.1");
    quint16 servicePort = 8080;
    bool answerConnect = true;    // false: a key that never reports its details
    int stepDelayMs = 150;        // between the reports of a lock operation (0: all at once)
    int transferTimeoutMs = 5000; // how long a transfer waits for each relay step
    // Sent by a transfer that the application asks for (or startTransfer without payloads).
    QList<QByteArray> transferPayloads = {QByteArrayLiteral("VESK-TRANSFER-1"), QByteArrayLiteral("VESK-TRANSFER-2")};
};

// A key on the emulated-key socket (a listening Unix SOCK_SEQPACKET socket, one bulk transfer per
// packet). It answers the application's commands as a key does and can start its own requests.
// Its socket work runs on a thread of its own; every method may be called from the owner's thread
// and returns once the key has acted. Signals are emitted in the owner's thread.
class EmulatedKey : public QObject
{
    Q_OBJECT

public:
    explicit EmulatedKey(const EmulatedKeyConfig &config = EmulatedKeyConfig(), QObject *parent = nullptr);
    ~EmulatedKey() override;

    // Plugs the key in (listens on the socket) and starts its thread. False when the socket cannot
    // be created or another key already answers on that path.
    bool start();
    void stop();
    QString socketPath() const;

    // Unplugging closes the application's connection and stops listening; plugging listens again.
    bool plug();
    void unplug();
    bool isPluggedIn() const;
    bool hasClient() const;

    // The lock in front of the key. An RF number is presented as 7 bytes, most significant first.
    void presentLock(quint64 rfNumber);
    void presentLockBytes(const QByteArray &tagBytes);
    void removeLock();
    // The next close or open reports `labelText` on label 0 in place of the success text.
    void failNextOperation(const QString &labelText);

    void setServiceAddress(const QString &address, quint16 port);
    void setRelayServer(const QString &server, quint16 port);
    void setSoftwareVersion(const QString &version);
    void setStepDelay(int ms);
    // false: the key's firmware hangs and reads nothing more from the application, until it
    // connects afresh.
    void setReading(bool reading);
    // false: the key takes and records every request but answers none of them: plugged in and silent.
    void setAnswering(bool answering);

    // The key's own requests.
    void sendHostRequest(const QList<int> &tags);  // UInt32 items of tags 16, 17, 18
    void requestRelayOpen();                       // REQUEST TAG_CONNECT
    void requestRelayClose();                      // REQUEST TAG_DISCONNECT
    void sendRelayData(const QByteArray &payload); // DATA messages, split so each frame fits a transfer
    // Opens the relay, sends each payload, waits for as many answers, closes the relay and ends with
    // transferFinished. Empty: the configured payloads. False when no application is connected or a
    // transfer is already running.
    bool startTransfer(const QList<QByteArray> &payloads = QList<QByteArray>());

    // Sends a serialised message as one frame in one packet, or raw bytes as one packet.
    void sendMessagePayload(const QByteArray &message);
    void sendPacket(const QByteArray &bytes);

    // What the key received: every packet, every good frame's payload (FCS removed), the relay data.
    QList<QByteArray> packets() const;
    QList<QByteArray> messages() const;
    QList<QByteArray> relayData() const;
    int badFrames() const;
    void clearRecord();

signals:
    void clientConnected();
    void clientDisconnected();
    void messageReceived(QByteArray payload);
    void relayDataReceived(QByteArray data);
    void relayOpened();
    void relayClosed();
    void transferFinished(bool ok);
    // One readable line about what the key did, for consoles.
    void activity(QString text);

private:
    class Engine;
    const std::unique_ptr<Engine> m_engine;
};
