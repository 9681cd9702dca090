#pragma once

#include "key/kcodec.h"
#include "key/keystatus.h"

#include <QDateTime>
#include <QString>
#include <QThread>
#include <QTimer>

#include <cstdint>
#include <functional>

class Configuration;
class srvLink;
class usbLink;

// The key protocol engine: sends the application's commands to the key, answers the key's own
// requests and turns its reports into state and signals. Derives from QThread for historical
// reasons but runs no thread of its own: all of it runs on the GUI thread.
class cLinker : public QThread
{
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;

    static constexpr int kMessageBufferSize = 1024;

    // The product's engine: starts the product transport and creates the relay on first use. Its
    // transport is stopped when the application's event loop quits.
    static cLinker *get();

    // Starts `usb`'s thread and takes `relay` as its child (null: a new srvLink). `clock` gives the
    // current time for the connect rate limit and the key's time requests (empty: the system clock).
    explicit cLinker(usbLink *usb, Configuration *config, Clock clock = {}, QObject *parent = nullptr,
                     srvLink *relay = nullptr);
    ~cLinker() override;

    // Serialises and frames one message; the serialised length, or 0 when nothing was sent.
    int sendMessage(KMessage &message);

    // Stops the transport thread (unblocking its pending read) and closes the relay.
    void stopTransport();

    srvLink *relay() const { return m_relay; }
    usbLink *transport() const { return m_usb; }

    bool isKeyReady() const { return m_notConnected == 0; }
    int firmwareVersion() const { return m_firmwareVersion; }
    QString serial() const { return QString::fromUtf8(m_serial); }
    QString box() const { return QString::fromUtf8(m_box); }
    QString softwareVersion() const { return QString::fromUtf8(m_softwareVersion); }
    QString hardwareVersion() const { return QString::fromUtf8(m_hardwareVersion); }
    QString relayServer() const { return QString::fromUtf8(m_relayServer); }
    QString relayPort() const { return QString::fromUtf8(m_relayPort); }
    QString serviceAddress() const { return QString::fromUtf8(m_serviceAddress); }
    QString statusText() const { return m_statusText; }

    // Version number of a dot-separated version text: second field times 256 plus the third.
    static int firmwareVersionFromText(const char *text);

signals:
    void updateLabel(uint Type, QString str);
    void updateLabelColor(uint Type, QString str);
    void updateStatus(QString str);
    void updateStatusColor(QString str);
    void updatePbar(int value);
    void updatePbarColor(int color);
    void setBtnEnabled(bool val);
    void nvmReady(QString box, QString serial, QString SW, QString HW, QString server);
    void usbConnected(bool stat);
    void keyDisconnected();
    void serverConnected(bool stat);
    void serverDisConnected();
    void sendToServer(unsigned char *buff, int len);
    void progressBar(uint8_t progress);
    void updateProgressOld(bool enable);
    void setReqBtn(bool enable);
    void setBattery(int val);
    void setManual(bool val);
    void setTransCount(int val);
    void setLayout(int View);
    void TransferBusy(int i);
    void ServiceAddressSet(QString server);
    void ServicePortSet(uint port);
    void tagReadSuccess(QString rfId);
    void tagReadFailed();

public slots:
    void tryConnectKey(bool stat);
    void connectKeynew();
    void connectKey();
    void disConnectKey();
    void sendUSB(unsigned char *buff, int len);
    void receiveUSB(unsigned char *buff, int len);
    void requestTransfer();
    void requestScanTag();
    void requestOpen();
    void requestClose();

private:
    // False when the once-a-second limit held the request back.
    bool requestConnect();
    // Asks a key just found for its details now, or as soon as the limit allows.
    void connectOrDefer();
    void handleReport(KMessage &message);
    void handleRequest(KMessage &message);
    void relayStep(KMessage &message);
    bool switchRelay(bool open);
    void keyBar(uint8_t value);
    void tagRead(const KTag &item);
    void sendSingle(uint8_t type, std::unique_ptr<KTag> item);
    void reportRelayClosed();

    usbLink *const m_usb;
    Configuration *const m_config;
    const Clock m_clock;
    srvLink *m_relay = nullptr;

    int m_notConnected = 1;
    char m_serial[32] = {};
    char m_box[32] = {};
    int m_firmwareVersion = 0;
    char m_softwareVersion[32] = {};
    char m_hardwareVersion[32] = {};
    char m_relayServer[64] = {};
    char m_relayPort[16] = {};
    char m_serviceAddress[64] = {};
    QDateTime m_lastConnectRequest;
    // A key plugged in again within a second of the last connect request is asked once the second
    // is over; dropping that request would leave the key unidentified until it is plugged in again.
    QTimer m_deferredConnect;
    int m_labelIndex = -1;
    // One spare byte: the byte after the serialised message is framed with it.
    uint8_t m_messageBuffer[kMessageBufferSize + 1] = {};
    QString m_statusText;
    int m_altProgressColour = 0;
};
