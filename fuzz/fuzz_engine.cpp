// libFuzzer target: the key engine's handling of whole messages from the key (reports, requests,
// relay data), relay data for the key and the application's commands, with the device and the relay
// replaced by in-memory fakes. Checks that every frame written to the key fits one transfer and
// carries a good FCS, that relay data from the key reaches the relay unchanged, and that relay data
// for the key reaches it whole and in order.
//
// Input: one byte of set-up (bit 0: the relay opens, bit 1: the key reports its details first,
// bit 2: its software sends in pieces), then records of kind (1 byte), length (2 bytes, little
// endian) and bytes. Kind 0: a message from the key; 1: relay data for the key; 2: a command.

#include "app/configuration.h"
#include "key/clinker.h"
#include "key/kcodec.h"
#include "key/kframe.h"
#include "key/srvlink.h"
#include "key/usbdevice.h"
#include "key/usblink.h"

#include <QCoreApplication>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// A key that is always plugged in: reads wait until cancelled, writes are recorded.
class MemoryDevice final : public UsbDevice
{
public:
    bool openDevice() override { return true; }
    int readBulk(uint8_t *, int) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return m_cancelled; });
        return -1;
    }
    int writeBulk(const uint8_t *data, int count, kframe::Deadline) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_written.insert(m_written.end(), data, data + count);
        return count;
    }
    void cancel() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        m_wake.notify_all();
    }
    std::vector<uint8_t> take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<uint8_t> written;
        written.swap(m_written);
        return written;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<uint8_t> m_written;
    bool m_cancelled = false;
};

// A relay without sockets: opens as the input says and records what it is given.
class MemoryRelay final : public srvLink
{
public:
    bool opens = false;
    bool open = false;
    std::vector<std::vector<uint8_t>> sent;

    bool connectServer(const char *, int, bool) override { return open = open || opens; }
    bool closeServer() override
    {
        open = false;
        return true;
    }
    int send(unsigned char *buff, int len) override
    {
        if (!open)
            return -1;
        sent.emplace_back(buff, buff + len);
        return len;
    }
    void deliver(std::vector<uint8_t> data) { emit dataReceived(data.data(), static_cast<int>(data.size())); }
};

struct Station
{
    Station()
    {
        static int argc = 1;
        static char name[] = "fuzz_engine";
        static char *argv[] = {name, nullptr};
        app = std::make_unique<QCoreApplication>(argc, argv);
        auto owned = std::make_unique<MemoryDevice>();
        device = owned.get();
        link = std::make_unique<usbLink>(std::move(owned), 1, [] {});
        link->start();
        while (!link->isConnected())
            QThread::msleep(1);
    }
    std::unique_ptr<QCoreApplication> app;
    MemoryDevice *device = nullptr;
    std::unique_ptr<usbLink> link;
    Configuration config;
};

// Frames written to the key: each fits one transfer and has a good FCS. Returns the payloads.
std::vector<std::vector<uint8_t>> framesOf(const std::vector<uint8_t> &written)
{
    std::vector<std::vector<uint8_t>> payloads;
    size_t frameStart = 0;
    bool inside = false;
    for (size_t i = 0; i < written.size(); ++i) {
        if (written[i] != kframe::kFlag)
            continue;
        if (!inside) {
            frameStart = i;
            inside = true;
            continue;
        }
        inside = false;
        if (i - frameStart + 1 > static_cast<size_t>(kframe::kTransferSize))
            std::abort();
        std::vector<uint8_t> content(i - frameStart + 1);
        const size_t n = kframe::unstuff(&written[frameStart], i - frameStart + 1, content.data(), content.size());
        if (!kframe::fcsGood(content.data(), n))
            std::abort();
        payloads.emplace_back(content.begin(), content.begin() + static_cast<long>(n - 2));
    }
    if (inside)
        std::abort();
    return payloads;
}

void sendFromKey(cLinker &engine, const uint8_t *bytes, size_t len)
{
    auto copy = std::make_unique<unsigned char[]>(len > 0 ? len : 1);
    if (len > 0)
        std::memcpy(copy.get(), bytes, len);
    engine.receiveUSB(copy.release(), static_cast<int>(len));
}

void command(cLinker &engine, uint8_t which)
{
    switch (which % 8) {
    case 0:
        engine.requestScanTag();
        break;
    case 1:
        engine.requestOpen();
        break;
    case 2:
        engine.requestClose();
        break;
    case 3:
        engine.requestTransfer();
        break;
    case 4:
        engine.disConnectKey();
        break;
    case 5:
        engine.connectKeynew();
        break;
    case 6:
        engine.tryConnectKey(false);
        break;
    default:
        engine.tryConnectKey(true);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Station station;
    if (size < 1)
        return 0;
    auto *relay = new MemoryRelay;
    relay->opens = (data[0] & 1) != 0;
    QDateTime now = QDateTime::fromSecsSinceEpoch(0x65432100, Qt::UTC);
    cLinker engine(
        station.link.get(), &station.config, [&now] { return now; }, nullptr, relay);
    if (data[0] & 2) {
        KMessage details(NOTIFY);
        details.addTag(newTagUInt32(TAG_SERIAL, 0xABCDEF));
        details.addTag(newTagString(TAG_BOX, "B"));
        details.addTag(newTagString(TAG_SW_VERSION, (data[0] & 4) ? "1.6.3" : "1.6.2"));
        details.addTag(newTagString(TAG_HW_VERSION, "H"));
        details.addTag(newTagString(TAG_SERVER, "relay"));
        details.addTag(newTagUInt16(TAG_PORT, 7000));
        uint8_t bytes[KMESSAGE_MAX_SIZE];
        const int length = details.serialize(bytes, sizeof bytes);
        sendFromKey(engine, bytes, static_cast<size_t>(length));
    }
    station.device->take();

    size_t at = 1;
    while (at + 3 <= size) {
        const uint8_t kind = data[at] % 3;
        size_t len = static_cast<size_t>(data[at + 1]) | static_cast<size_t>(data[at + 2]) << 8;
        at += 3;
        len = std::min(len, size - at);
        const uint8_t *bytes = data + at;
        at += len;
        now = now.addMSecs(700);
        if (kind == 0) {
            const std::unique_ptr<KMessage> message = KMessage::parse(bytes, len);
            const size_t sentBefore = relay->sent.size();
            sendFromKey(engine, bytes, len);
            // A DATA message's first item reaches the relay unchanged while the relay is open.
            if (message && message->type() == DATA && message->first() && relay->open) {
                const KTag *item = message->first();
                const uint8_t *payload = item->payload();
                if (relay->sent.size() != sentBefore + 1 || relay->sent.back().size() != item->length() ||
                    (item->length() > 0 && std::memcmp(relay->sent.back().data(), payload, item->length()) != 0))
                    std::abort();
            }
            framesOf(station.device->take());
        } else if (kind == 1) {
            relay->deliver(std::vector<uint8_t>(bytes, bytes + len));
            // Relay data reaches a ready key whole and in order, in DATA messages that each fit.
            std::vector<uint8_t> received;
            size_t messages = 0;
            for (const std::vector<uint8_t> &payload : framesOf(station.device->take())) {
                const std::unique_ptr<KMessage> message = KMessage::parse(payload.data(), payload.size());
                if (!message || message->type() != DATA || !message->first())
                    std::abort();
                const KTag *item = message->first();
                if (item->length() > 0)
                    received.insert(received.end(), item->payload(), item->payload() + item->length());
                ++messages;
            }
            const bool ready = engine.isKeyReady();
            if (ready ? received != std::vector<uint8_t>(bytes, bytes + len) : messages != 0)
                std::abort();
        } else if (len > 0) {
            command(engine, bytes[0]);
            framesOf(station.device->take());
        }
    }
    return 0;
}
