#include "key/clinker.h"

#include "app/configuration.h"
#include "key/kframe.h"
#include "key/srvlink.h"
#include "key/usblink.h"

#include <QCoreApplication>
#include <QDebug>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void logText(const QString &text)
{
    qDebug().noquote() << text;
}

// Reads an item as text whatever its type code: the bytes up to the first NUL within its length.
// False (field untouched) when the text and its NUL do not fit.
bool copyText(const KTag &item, char *field, size_t size)
{
    const uint8_t *payload = item.payload();
    const size_t length = payload ? item.length() : 0;
    size_t chars = 0;
    while (chars < length && payload[chars] != 0)
        ++chars;
    if (chars + 1 > size)
        return false;
    if (chars > 0)
        std::memcpy(field, payload, chars);
    field[chars] = '\0';
    return true;
}

// atoi without its undefined behaviour on overflow: the value is clamped to the int range.
long long clampedAtoi(const std::string &text)
{
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return std::clamp<long long>(value, INT_MIN, INT_MAX);
}

} // namespace

cLinker *cLinker::get()
{
    // Lives until the process ends; its transport thread is stopped when the event loop quits.
    static cLinker *const engine = [] {
        usbLink *usb = usbLink::get();
        auto *created = new cLinker(usb, Configuration::instance());
        if (QCoreApplication *app = QCoreApplication::instance())
            connect(app, &QCoreApplication::aboutToQuit, created, &cLinker::stopTransport);
        return created;
    }();
    return engine;
}

// Defined here so that the relay does not depend on the engine.
srvLink *srvLink::get()
{
    return cLinker::get()->relay();
}

cLinker::cLinker(usbLink *usb, Configuration *config, Clock clock, QObject *parent, srvLink *relay)
    : QThread(parent), m_usb(usb), m_config(config),
      m_clock(clock ? std::move(clock) : [] { return QDateTime::currentDateTimeUtc(); }),
      m_lastConnectRequest(QDateTime::fromSecsSinceEpoch(0, Qt::UTC))
{
    qRegisterMetaType<uint8_t>("uint8_t");
    // Connected before the thread starts, so that a key found at once is not missed.
    connect(m_usb, &usbLink::received, this, &cLinker::receiveUSB);
    connect(m_usb, &usbLink::usbConnected, this, &cLinker::tryConnectKey);
    // A key that is there but cannot be opened says so in the status bar instead of staying grey.
    connect(m_usb, &usbLink::keyUnusable, this, &cLinker::updateStatus);
    if (!m_usb->isRunning())
        m_usb->start(QThread::NormalPriority);

    m_relay = relay ? relay : new srvLink();
    m_relay->setParent(this);
    connect(m_relay, &srvLink::dataReceived, this, &cLinker::sendUSB);
    connect(this, &cLinker::sendToServer, m_relay, &srvLink::send);
    // Queued: the relay gives up inside a send, while the key's payload is still in messageBuffer.
    connect(
        m_relay, &srvLink::connectionLost, this,
        [this] {
            if (switchRelay(false))
                reportRelayClosed();
        },
        Qt::QueuedConnection);
    m_deferredConnect.setSingleShot(true);
    connect(&m_deferredConnect, &QTimer::timeout, this, [this] {
        if (m_usb->isConnected())
            connectOrDefer();
    });
}

cLinker::~cLinker()
{
    KMessage goodbye(REQUEST);
    goodbye.addTag(newTagUInt8(TAG_DISCONNECT, 0));
    sendMessage(goodbye);

    // Frames still waiting in the transport are freed there once nobody receives them.
    disconnect(m_usb, nullptr, this, nullptr);
    blockSignals(true);
}

void cLinker::stopTransport()
{
    m_relay->closeServer();
    m_usb->stop();
}

int cLinker::sendMessage(KMessage &message)
{
    emit TransferBusy(0);
    const int length = message.serialize(m_messageBuffer, kMessageBufferSize);
    if (length <= 0)
        return 0;
    // The byte after the message travels in the frame too; the key ignores it.
    m_messageBuffer[length] = 0;
    // The key reads one transfer of at most 1024 bytes; a longer frame would reach it cut.
    if (kframe::frameLength(m_messageBuffer, static_cast<size_t>(length) + 1) > kframe::kTransferSize) {
        logText(QStringLiteral("Message of %1 bytes does not fit one transfer to the key, not sent").arg(length));
        return 0;
    }
    if (m_firmwareVersion >= kframe::kFramedSendMinFirmware)
        m_usb->framedSend(m_messageBuffer, length + 1);
    else
        m_usb->send(m_messageBuffer, length + 1);
    return length;
}

void cLinker::sendSingle(uint8_t type, std::unique_ptr<KTag> item)
{
    KMessage message(type);
    message.addTag(std::move(item));
    sendMessage(message);
}

int cLinker::firmwareVersionFromText(const char *text)
{
    if (!text)
        return 0;
    std::string fields[3];
    int field = 0;
    for (int i = 0; i < 32 && text[i] != '\0'; ++i) {
        if (text[i] == '.') {
            if (++field > 2)
                break;
            continue;
        }
        fields[field] += text[i];
    }
    const long long version = clampedAtoi(fields[1]) * 256 + clampedAtoi(fields[2]);
    return static_cast<int>(std::clamp<long long>(version, INT_MIN, INT_MAX));
}

// ---- Commands --------------------------------------------------------------------------------

bool cLinker::requestConnect()
{
    const QDateTime now = m_clock();
    if (m_lastConnectRequest.addMSecs(1000) >= now)
        return false;
    logText(QStringLiteral("connectKeynew"));
    sendSingle(REQUEST, newTagUInt32(TAG_CONNECT, 0));
    emit setLayout(1);
    m_lastConnectRequest = now;
    return true;
}

void cLinker::connectOrDefer()
{
    if (requestConnect())
        return;
    const qint64 wait = 1001 - m_lastConnectRequest.msecsTo(m_clock());
    m_deferredConnect.start(static_cast<int>(std::clamp<qint64>(wait, 1, 1001)));
}

void cLinker::tryConnectKey(bool stat)
{
    if (stat) {
        connectOrDefer();
    } else {
        m_deferredConnect.stop();
        m_relay->closeServer();
        emit keyDisconnected();
        m_notConnected = 1;
        // The next key may run older software: until it reports, frames go whole.
        m_firmwareVersion = 0;
        emit setLayout(0);
    }
    emit usbConnected(stat);
}

void cLinker::connectKeynew()
{
    requestConnect();
}

void cLinker::connectKey()
{
    requestConnect();
}

void cLinker::disConnectKey()
{
    logText(QStringLiteral("Try Disconnect key"));
    sendSingle(REQUEST, newTagBytes(TAG_DISCONNECT, nullptr, 0));
    m_notConnected = 1;
    emit setLayout(0);
}

void cLinker::requestTransfer()
{
    logText(QStringLiteral("Request Data transfer..."));
    sendSingle(NOTIFY, newTagNull(TAG_TRANSFER_REQUEST));
}

void cLinker::requestScanTag()
{
    logText(QStringLiteral("requestScanTag..."));
    emit updateStatus(QStringLiteral("Reading tag..."));
    sendSingle(REQUEST, newTagBytes(TAG_SCAN, nullptr, 0));
}

void cLinker::requestOpen()
{
    logText(QStringLiteral("requestOpen..."));
    m_statusText = QStringLiteral("Unlocking...");
    sendSingle(REQUEST, newTagBytes(TAG_OPEN, nullptr, 0));
}

void cLinker::requestClose()
{
    logText(QStringLiteral("requestClose..."));
    m_statusText = QStringLiteral("Locking...");
    sendSingle(REQUEST, newTagBytes(TAG_CLOSE, nullptr, 0));
}

// Relay data for the key. More than one DATA message holds goes out as consecutive messages, each
// small enough that its frame fits one transfer however many bytes need escaping.
void cLinker::sendUSB(unsigned char *buff, int len)
{
    emit TransferBusy(3);
    if (m_notConnected != 0 || len < 0 || (!buff && len > 0))
        return;
    int offset = 0;
    int messages = 0;
    do {
        const int chunk = len > 0 ? dataChunkFitting(buff + offset, len - offset, true) : 0;
        sendSingle(DATA, newTagBytes(TAG_DATA, buff ? buff + offset : nullptr, static_cast<size_t>(chunk)));
        offset += chunk;
        ++messages;
    } while (offset < len);
    if (messages > 1)
        logText(QStringLiteral("Relay data of %1 bytes sent to the key in %2 DATA messages").arg(len).arg(messages));
}

// ---- What the key sends ----------------------------------------------------------------------

void cLinker::receiveUSB(unsigned char *buff, int len)
{
    const std::unique_ptr<unsigned char[]> owned(buff);
    emit TransferBusy(1);
    if (!buff || len < 0)
        return;
    const std::unique_ptr<KMessage> message = KMessage::parse(buff, static_cast<size_t>(len));
    if (!message)
        return;
    switch (message->type()) {
    case NOTIFY:
        handleReport(*message);
        break;
    case REQUEST:
        handleRequest(*message);
        break;
    case DATA:
        relayStep(*message);
        break;
    default:
        break;
    }
}

void cLinker::handleReport(KMessage &message)
{
    unsigned presence = 0;
    message.first();
    while (const KTag *item = message.next()) {
        switch (item->tag()) {
        case TAG_SERIAL:
            std::snprintf(m_serial, sizeof(m_serial), "%08X", static_cast<unsigned>(item->readUInt32()));
            emit updateLabel(3, QString::fromUtf8(m_serial));
            presence |= 0x01;
            break;
        case TAG_BOX:
            copyText(*item, m_box, sizeof(m_box));
            presence |= 0x02;
            break;
        case TAG_SW_VERSION:
            copyText(*item, m_softwareVersion, sizeof(m_softwareVersion));
            presence |= 0x04;
            break;
        case TAG_HW_VERSION:
            copyText(*item, m_hardwareVersion, sizeof(m_hardwareVersion));
            presence |= 0x08;
            break;
        case TAG_SERVER:
            copyText(*item, m_relayServer, sizeof(m_relayServer));
            presence |= 0x10;
            break;
        case TAG_PORT:
            std::snprintf(m_relayPort, sizeof(m_relayPort), "%04d", static_cast<int>(item->readUInt16()));
            presence |= 0x20;
            break;
        case TAG_SERVICE_ADDRESS:
            // An address that does not fit is not announced: the stale one would be taken as new.
            if (copyText(*item, m_serviceAddress, sizeof(m_serviceAddress)))
                emit ServiceAddressSet(QString::fromUtf8(m_serviceAddress));
            else
                logText(QStringLiteral("Service address too long, skipped"));
            break;
        case TAG_SERVICE_PORT:
            emit ServicePortSet(item->readUInt16());
            break;
        case TAG_KEY_BAR:
            keyBar(item->readUInt8());
            break;
        case TAG_LABEL_INDEX:
            m_labelIndex = item->readUInt8();
            break;
        case TAG_LABEL_TEXT:
        case TAG_LABEL_COLOR: {
            char text[64];
            if (!copyText(*item, text, sizeof(text))) {
                logText(QStringLiteral("Label text too long, skipped"));
                break;
            }
            if (item->tag() == TAG_LABEL_TEXT)
                emit updateLabel(static_cast<uint>(m_labelIndex), QString::fromUtf8(text));
            else
                emit updateLabelColor(static_cast<uint>(m_labelIndex), QString::fromUtf8(text));
            break;
        }
        case TAG_BATTERY:
            emit setBattery(item->readUInt8());
            break;
        case TAG_MODE: {
            const uint8_t mode = item->readUInt8();
            m_altProgressColour = (mode >> 1) & 1;
            emit setManual((mode & 1) != 0);
            break;
        }
        case TAG_TRANSFER_COUNT:
            emit setTransCount(static_cast<int>(item->readUInt32()));
            break;
        case TAG_SCAN:
            tagRead(*item);
            break;
        case TAG_DISCONNECT:
            logText(QStringLiteral("Disconnection acknowledge"));
            emit keyDisconnected();
            return;
        default:
            break;
        }
    }

    if (presence != 0x3F)
        return;
    logText(QStringLiteral("Server %1").arg(QString::fromUtf8(m_relayServer)));
    logText(QStringLiteral("Port %1").arg(QString::fromUtf8(m_relayPort)));
    m_notConnected = 0;
    m_firmwareVersion = firmwareVersionFromText(m_softwareVersion);
    emit nvmReady(QString::fromUtf8(m_box), QString::fromUtf8(m_serial), QString::fromUtf8(m_softwareVersion),
                  QString::fromUtf8(m_hardwareVersion), QString::fromUtf8(m_relayServer));
}

void cLinker::keyBar(uint8_t value)
{
    logText(QStringLiteral("SET::TAG_KEY_BAR::%1").arg(value));
    if (value == 128 || value == 228) {
        emit updateStatus(QStringLiteral("READY"));
        emit updateStatusColor(QStringLiteral("green"));
        emit setBtnEnabled(true);
        emit updatePbar(-1);
    } else if (value > 128) {
        emit updatePbarColor(1);
        emit updatePbar(value - 128);
        emit updateStatus(QStringLiteral("DATA TRANSFER BUSY"));
        emit updateStatusColor(QStringLiteral("turkois"));
    } else {
        emit updatePbarColor(m_altProgressColour == 1 ? 2 : 0);
        emit updatePbar(value);
        emit updateStatus(m_statusText);
        emit updateStatusColor(QStringLiteral("yellow"));
    }
    emit progressBar(value);
}

void cLinker::tagRead(const KTag &item)
{
    const uint8_t *bytes = item.payload();
    const int count = bytes ? std::min<int>(item.length(), KTAG_MAX_PAYLOAD) : 0;
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value * 256 + bytes[i];
        logText(QString::asprintf("%d - %d  -  %d", i, bytes[i], static_cast<int>(static_cast<uint32_t>(value))));
    }
    const QString id = QString::number(value);
    logText(QStringLiteral("x = ") + id);
    if (value == 0) {
        logText(QStringLiteral("Notify only - Failed"));
        emit tagReadFailed();
    } else {
        logText(QStringLiteral("Notify only - Success"));
        emit tagReadSuccess(id);
    }
}

// Items after a TAG_HOST_QUERY_END go into a fresh answer, so count, total and items always agree.
// A message gets at most one relay connect attempt: each may block the window for the connect wait.
void cLinker::handleRequest(KMessage &message)
{
    auto answer = std::make_unique<KMessage>(NOTIFY);
    bool connectTried = false;
    message.first();
    while (const KTag *item = message.next()) {
        switch (item->tag()) {
        case TAG_HOST_QUERY:
            answer->addTag(newTagUInt32(TAG_HOST_QUERY, 0xFFFFFFFFu));
            break;
        case TAG_HOST_QUERY_END:
            answer->addTag(newTagUInt32(TAG_HOST_QUERY_END, 0xFFFFFFFFu));
            sendMessage(*answer);
            answer = std::make_unique<KMessage>(NOTIFY);
            break;
        case TAG_HOST_TIME:
            answer->addTag(newTagUInt32(TAG_HOST_TIME, static_cast<uint32_t>(m_clock().toSecsSinceEpoch())));
            break;
        case TAG_CONNECT:
            logText(QStringLiteral("Key request UDP connection"));
            if (connectTried && m_relay->state() == srvLink::Closed)
                break;
            connectTried = true;
            if (switchRelay(true)) {
                KMessage opened(NOTIFY);
                opened.addTag(newTagBytes(TAG_CONNECT, nullptr, 0));
                emit setBtnEnabled(false);
                sendMessage(opened);
            }
            break;
        case TAG_DISCONNECT:
            logText(QStringLiteral("Key request UDP disconnection"));
            if (switchRelay(false))
                reportRelayClosed();
            break;
        default:
            break;
        }
    }
}

void cLinker::reportRelayClosed()
{
    KMessage closed(NOTIFY);
    closed.addTag(newTagBytes(TAG_DISCONNECT, nullptr, 0));
    emit updateStatus(QStringLiteral("READY"));
    emit updateStatusColor(QStringLiteral("green"));
    emit setBtnEnabled(true);
    emit updatePbar(-1);
    sendMessage(closed);
}

bool cLinker::switchRelay(bool open)
{
    if (m_notConnected != 0) {
        logText(QStringLiteral("Key not connected"));
        return false;
    }
    if (open) {
        const bool tcp = m_config->get(Setting::Protocol) == QLatin1String("tcp");
        logText(tcp ? QStringLiteral("Using TCP") : QStringLiteral("Using UDP"));
        if (!m_relay->connectServer(m_relayServer, std::atoi(m_relayPort), tcp))
            return false;
        emit progressBar(10);
        emit updateProgressOld(false);
        emit serverConnected(false);
        return true;
    }
    m_relay->closeServer();
    emit progressBar(100);
    emit updateProgressOld(false);
    emit serverConnected(true);
    return true;
}

void cLinker::relayStep(KMessage &message)
{
    const KTag *item = message.first();
    if (!item)
        return;
    const int length = item->payload() ? std::min<int>(item->length(), kMessageBufferSize) : 0;
    if (length > 0)
        std::memcpy(m_messageBuffer, item->payload(), static_cast<size_t>(length));
    emit sendToServer(m_messageBuffer, length);
    emit TransferBusy(2);
}
