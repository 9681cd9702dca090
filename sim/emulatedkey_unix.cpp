#include "sim/emulatedkey.h"

#include "key/kcodec.h"
#include "key/kframe.h"
#include "key/usbdevice.h"

#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxReceivedFrame = 4096;

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

class EmulatedKey::Engine
{
public:
    Engine(EmulatedKey *owner, const EmulatedKeyConfig &config) : m_owner(owner), m_config(config)
    {
        m_path = m_config.socketPath.isEmpty() ? QString::fromStdString(defaultKeySocketPath()) : m_config.socketPath;
    }

    ~Engine() { stop(); }

    bool start()
    {
        if (m_thread.joinable())
            return true;
        if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        if (!listenNow()) {
            closeWake();
            return false;
        }
        m_quit = false;
        m_thread = std::thread([this] { loop(); });
        return true;
    }

    void stop()
    {
        if (m_thread.joinable()) {
            {
                std::lock_guard<std::mutex> lock(m_commandMutex);
                m_quit = true;
            }
            wake();
            m_thread.join();
        }
        dropClient(false);
        stopListening();
        closeWake();
        m_schedule.clear();
    }

    // Runs `fn` on the key's thread and returns when it has run (inline when the thread is not running).
    void run(const std::function<void()> &fn)
    {
        if (!m_thread.joinable() || std::this_thread::get_id() == m_thread.get_id()) {
            fn();
            return;
        }
        std::mutex doneMutex;
        std::condition_variable doneWake;
        bool done = false;
        {
            std::lock_guard<std::mutex> lock(m_commandMutex);
            m_commands.push_back([&] {
                fn();
                std::lock_guard<std::mutex> doneLock(doneMutex);
                done = true;
                doneWake.notify_all();
            });
        }
        wake();
        std::unique_lock<std::mutex> doneLock(doneMutex);
        doneWake.wait(doneLock, [&] { return done; });
    }

    QString path() const { return m_path; }

    // ---- Called on the key's thread (through run) ----------------------------------------------

    bool listenNow()
    {
        if (m_listenFd >= 0)
            return true;
        const QByteArray path = m_path.toLocal8Bit();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.isEmpty() || static_cast<size_t>(path.size()) >= sizeof(address.sun_path))
            return false;
        std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()) + 1);

        // A live key on the path is left alone; a stale socket file is replaced.
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            const bool live = ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
            ::close(probe);
            if (live)
                return false;
        }
        ::unlink(path.constData());

        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return false;
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            return false;
        }
        m_listenFd = fd;
        return true;
    }

    void stopListening()
    {
        if (m_listenFd < 0)
            return;
        ::close(m_listenFd);
        m_listenFd = -1;
        ::unlink(m_path.toLocal8Bit().constData());
    }

    bool plugged() const { return m_listenFd >= 0; }
    bool client() const { return m_clientFd >= 0; }

    void unplug()
    {
        // Listening stops first: the application retries at once after losing the link.
        stopListening();
        dropClient(true);
        activity(QStringLiteral("Key unplugged"));
    }

    bool plug()
    {
        const bool ok = listenNow();
        activity(ok ? QStringLiteral("Key plugged in") : QStringLiteral("Key could not listen on ") + m_path);
        return ok;
    }

    void presentLock(const QByteArray &bytes)
    {
        m_lock = bytes;
        activity(bytes.isEmpty() ? QStringLiteral("Lock taken away") : QStringLiteral("Lock presented: ") + hex(bytes));
    }

    void failNext(const QString &text) { m_failText = text; }
    void setReading(bool reading) { m_reading = reading; }
    void setAnswering(bool answering) { m_answering = answering; }
    EmulatedKeyConfig &config() { return m_config; }

    void sendMessage(KMessage &message)
    {
        uint8_t buffer[KMESSAGE_MAX_SIZE];
        const int length = message.serialize(buffer, sizeof(buffer));
        if (length > 0)
            sendFramed(buffer, static_cast<size_t>(length));
    }

    void sendFramed(const uint8_t *payload, size_t len)
    {
        std::vector<uint8_t> frame(kframe::maxFrameSize(len));
        const size_t frameLength = kframe::buildFrame(payload, len, frame.data(), frame.size());
        sendPacket(frame.data(), frameLength);
    }

    void sendPacket(const uint8_t *data, size_t len)
    {
        if (m_clientFd < 0)
            return;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const ssize_t sent = ::send(m_clientFd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0)
                return;
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                break;
            // The application reads continuously; give it a moment rather than block the key for good.
            pollfd p{m_clientFd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        }
        activity(QStringLiteral("Packet of %1 bytes could not be sent").arg(len));
    }

    void sendSingle(uint8_t type, std::unique_ptr<KTag> item)
    {
        KMessage message(type);
        message.addTag(std::move(item));
        sendMessage(message);
    }

    void sendKeyBar(uint8_t value) { sendSingle(NOTIFY, newTagUInt8(TAG_KEY_BAR, value)); }

    void sendLabel(const QString &text)
    {
        KMessage message(NOTIFY);
        message.addTag(newTagUInt8(TAG_LABEL_INDEX, 0));
        message.addTag(newTagString(TAG_LABEL_TEXT, text.toUtf8().constData()));
        sendMessage(message);
    }

    void sendHostRequest(const QList<int> &tags)
    {
        KMessage message(REQUEST);
        for (int tag : tags)
            message.addTag(newTagUInt32(static_cast<uint8_t>(tag), 0));
        sendMessage(message);
    }

    // Splits so that no DATA message exceeds its limit and no frame exceeds one transfer.
    void sendRelayData(const QByteArray &payload)
    {
        const auto *bytes = reinterpret_cast<const uint8_t *>(payload.constData());
        const int total = payload.size();
        int offset = 0;
        do {
            const int chunk = dataChunkFitting(bytes + offset, total - offset, false);
            sendSingle(DATA, newTagBytes(TAG_DATA, bytes + offset, static_cast<size_t>(chunk)));
            offset += chunk;
        } while (offset < total);
    }

    bool startTransfer(const QList<QByteArray> &payloads)
    {
        if (m_clientFd < 0 || m_transfer != Transfer::Idle)
            return false;
        m_transferPayloads = payloads.isEmpty() ? m_config.transferPayloads : payloads;
        m_repliesSeen = 0;
        m_transfer = Transfer::Opening;
        activity(QStringLiteral("Transfer: asking for the relay"));
        sendSingle(REQUEST, newTagNull(TAG_CONNECT));
        armTransferTimeout();
        return true;
    }

    // ---- Thread loop -------------------------------------------------------------------------

    void loop()
    {
        std::vector<uint8_t> packet(65536);
        for (;;) {
            pollfd fds[3];
            nfds_t count = 0;
            fds[count++] = {m_wake[0], POLLIN, 0};
            const int listenIndex = m_listenFd >= 0 ? static_cast<int>(count) : -1;
            if (m_listenFd >= 0)
                fds[count++] = {m_listenFd, POLLIN, 0};
            const int clientIndex = m_clientFd >= 0 ? static_cast<int>(count) : -1;
            // A key that stopped reading still notices the application hanging up.
            if (m_clientFd >= 0)
                fds[count++] = {m_clientFd, static_cast<short>(m_reading ? POLLIN : 0), 0};

            int timeout = -1;
            if (!m_schedule.empty()) {
                const auto wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(m_schedule.begin()->first - Clock::now());
                timeout = static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, 60000));
            }
            const int ready = ::poll(fds, count, timeout);
            if (ready < 0 && errno != EINTR)
                break;

            if (fds[0].revents & POLLIN) {
                char drain[64];
                while (::read(m_wake[0], drain, sizeof(drain)) > 0) {
                }
            }
            std::deque<std::function<void()>> commands;
            bool quit;
            {
                std::lock_guard<std::mutex> lock(m_commandMutex);
                commands.swap(m_commands);
                quit = m_quit;
            }
            for (auto &command : commands)
                command();
            if (quit)
                break;

            if (listenIndex >= 0 && m_listenFd >= 0 && (fds[listenIndex].revents & POLLIN))
                acceptClient();
            if (clientIndex >= 0 && m_clientFd >= 0 && fds[clientIndex].revents != 0) {
                if (m_reading)
                    readClient(packet);
                else
                    dropClient(true);
            }
            runDue();
        }
    }

    void acceptClient()
    {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        if (m_clientFd >= 0) {
            // One application at a time, as with a key on one USB port.
            ::close(fd);
            return;
        }
        m_clientFd = fd;
        m_reading = true;
        m_deframer.reset();
        activity(QStringLiteral("Application connected"));
        post([](EmulatedKey *key) { emit key->clientConnected(); });
    }

    void readClient(std::vector<uint8_t> &packet)
    {
        const ssize_t n = ::recv(m_clientFd, packet.data(), packet.size(), 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            dropClient(true);
            return;
        }
        if (n == 0) {
            pollfd p{m_clientFd, POLLIN, 0};
            ::poll(&p, 1, 0);
            if (p.revents & (POLLHUP | POLLERR)) {
                dropClient(true);
                return;
            }
        }
        const QByteArray raw(reinterpret_cast<const char *>(packet.data()), static_cast<int>(n));
        {
            std::lock_guard<std::mutex> lock(m_recordMutex);
            m_packets.append(raw);
        }
        m_deframer.feed(packet.data(), static_cast<size_t>(n),
                        [this](const uint8_t *content, size_t len) { onFrame(content, len); });
    }

    void dropClient(bool notify)
    {
        if (m_clientFd < 0)
            return;
        ::close(m_clientFd);
        m_clientFd = -1;
        m_schedule.clear();
        m_transfer = Transfer::Idle;
        if (notify) {
            activity(QStringLiteral("Application disconnected"));
            post([](EmulatedKey *key) { emit key->clientDisconnected(); });
        }
    }

    void onFrame(const uint8_t *content, size_t len)
    {
        if (len < 2 || !kframe::fcsGood(content, len)) {
            std::lock_guard<std::mutex> lock(m_recordMutex);
            ++m_badFrames;
            return;
        }
        const QByteArray payload(reinterpret_cast<const char *>(content), static_cast<int>(len - 2));
        {
            std::lock_guard<std::mutex> lock(m_recordMutex);
            m_messages.append(payload);
        }
        post([payload](EmulatedKey *key) { emit key->messageReceived(payload); });

        const std::unique_ptr<KMessage> message = KMessage::parse(
            reinterpret_cast<const uint8_t *>(payload.constData()), static_cast<size_t>(payload.size()));
        if (!message)
            return;
        if (message->type() == REQUEST)
            onRequest(*message);
        else if (message->type() == NOTIFY)
            onNotify(*message);
        else if (message->type() == DATA)
            onData(*message);
    }

    void onRequest(KMessage &message)
    {
        if (!m_answering) {
            activity(QStringLiteral("Request not answered: the key is silent"));
            return;
        }
        message.first();
        while (const KTag *item = message.next()) {
            switch (item->tag()) {
            case TAG_CONNECT:
                if (m_config.answerConnect)
                    sendDetails();
                break;
            case TAG_SCAN:
                activity(m_lock.isEmpty() ? QStringLiteral("Scan: no lock") : QStringLiteral("Scan: ") + hex(m_lock));
                sendSingle(NOTIFY, newTagBytes(TAG_SCAN, reinterpret_cast<const uint8_t *>(m_lock.constData()),
                                               static_cast<size_t>(m_lock.size())));
                break;
            case TAG_CLOSE:
            case TAG_OPEN:
                startOperation(item->tag() == TAG_CLOSE);
                break;
            case TAG_DISCONNECT:
                activity(QStringLiteral("Disconnect acknowledged"));
                sendSingle(NOTIFY, newTagBytes(TAG_DISCONNECT, nullptr, 0));
                break;
            default:
                break;
            }
        }
    }

    void onNotify(KMessage &message)
    {
        message.first();
        while (const KTag *item = message.next()) {
            switch (item->tag()) {
            case TAG_TRANSFER_REQUEST:
                activity(QStringLiteral("Transfer requested by the application"));
                startTransfer({});
                break;
            case TAG_CONNECT:
                onRelayOpened();
                break;
            case TAG_DISCONNECT:
                onRelayClosed();
                break;
            default:
                break;
            }
        }
    }

    void onData(KMessage &message)
    {
        const KTag *item = message.first();
        if (!item)
            return;
        const QByteArray data = item->payload() ? QByteArray(reinterpret_cast<const char *>(item->payload()),
                                                             static_cast<int>(item->length()))
                                                : QByteArray();
        {
            std::lock_guard<std::mutex> lock(m_recordMutex);
            m_relayData.append(data);
        }
        activity(QStringLiteral("Relay data for the key: %1 bytes").arg(data.size()));
        post([data](EmulatedKey *key) { emit key->relayDataReceived(data); });
        if (m_transfer == Transfer::Sending && ++m_repliesSeen >= m_transferPayloads.size())
            closeTransferRelay();
    }

    void sendDetails()
    {
        activity(QStringLiteral("Connect request answered"));
        KMessage message(NOTIFY);
        message.addTag(newTagUInt32(TAG_SERIAL, m_config.serial));
        message.addTag(newTagString(TAG_BOX, m_config.box.toUtf8().constData()));
        message.addTag(newTagString(TAG_SW_VERSION, m_config.softwareVersion.toUtf8().constData()));
        message.addTag(newTagString(TAG_HW_VERSION, m_config.hardwareVersion.toUtf8().constData()));
        message.addTag(newTagString(TAG_SERVER, m_config.relayServer.toUtf8().constData()));
        message.addTag(newTagUInt16(TAG_PORT, m_config.relayPort));
        message.addTag(newTagString(TAG_SERVICE_ADDRESS, m_config.serviceAddress.toUtf8().constData()));
        message.addTag(newTagUInt16(TAG_SERVICE_PORT, m_config.servicePort));
        message.addTag(newTagUInt8(TAG_KEY_BAR, 128));
        sendMessage(message);
    }

    void startOperation(bool close)
    {
        const QString success =
            close ? QStringLiteral("Authorised\r\nlocked") : QStringLiteral("Authorised\r\nunlocked");
        const QString result = m_failText.value_or(success);
        m_failText.reset();
        activity((close ? QStringLiteral("Closing lock: ") : QStringLiteral("Opening lock: ")) +
                 QString(result).replace(QLatin1String("\r\n"), QLatin1String(" / ")));
        int step = 0;
        at(++step, [this] { sendKeyBar(30); });
        at(++step, [this] { sendKeyBar(70); });
        at(++step, [this] { sendLabel(QStringLiteral("Please wait...")); });
        at(++step, [this, result] { sendLabel(result); });
        at(++step, [this] { sendKeyBar(128); });
    }

    void onRelayOpened()
    {
        activity(QStringLiteral("Relay opened"));
        post([](EmulatedKey *key) { emit key->relayOpened(); });
        if (m_transfer != Transfer::Opening)
            return;
        m_transfer = Transfer::Sending;
        sendKeyBar(129);
        for (const QByteArray &payload : m_transferPayloads)
            sendRelayData(payload);
        if (m_transferPayloads.isEmpty())
            closeTransferRelay();
        else
            armTransferTimeout();
    }

    void onRelayClosed()
    {
        activity(QStringLiteral("Relay closed"));
        post([](EmulatedKey *key) { emit key->relayClosed(); });
        if (m_transfer == Transfer::Closing)
            finishTransfer(true);
    }

    void closeTransferRelay()
    {
        m_transfer = Transfer::Closing;
        sendSingle(REQUEST, newTagNull(TAG_DISCONNECT));
        armTransferTimeout();
    }

    void finishTransfer(bool ok)
    {
        m_transfer = Transfer::Idle;
        ++m_transferGeneration;
        sendKeyBar(128);
        activity(ok ? QStringLiteral("Transfer finished") : QStringLiteral("Transfer failed"));
        post([ok](EmulatedKey *key) { emit key->transferFinished(ok); });
    }

    void armTransferTimeout()
    {
        const int generation = ++m_transferGeneration;
        schedule(Clock::now() + std::chrono::milliseconds(m_config.transferTimeoutMs), [this, generation] {
            if (generation != m_transferGeneration)
                return;
            if (m_transfer == Transfer::Sending)
                closeTransferRelay();
            else if (m_transfer != Transfer::Idle)
                finishTransfer(false);
        });
    }

    // ---- Helpers -----------------------------------------------------------------------------

    void at(int step, std::function<void()> action)
    {
        schedule(Clock::now() + std::chrono::milliseconds(static_cast<long long>(step) * m_config.stepDelayMs),
                 std::move(action));
    }

    void schedule(Clock::time_point when, std::function<void()> action) { m_schedule.emplace(when, std::move(action)); }

    void runDue()
    {
        while (!m_schedule.empty() && m_schedule.begin()->first <= Clock::now()) {
            std::function<void()> action = std::move(m_schedule.begin()->second);
            m_schedule.erase(m_schedule.begin());
            action();
        }
    }

    void post(std::function<void(EmulatedKey *)> emitter)
    {
        EmulatedKey *key = m_owner;
        QMetaObject::invokeMethod(
            key, [key, emitter = std::move(emitter)] { emitter(key); }, Qt::QueuedConnection);
    }

    void activity(const QString &text)
    {
        post([text](EmulatedKey *key) { emit key->activity(text); });
    }

    void wake()
    {
        if (m_wake[1] >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t written = ::write(m_wake[1], &byte, 1);
        }
    }

    void closeWake()
    {
        for (int &fd : m_wake) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }

    enum class Transfer
    {
        Idle,
        Opening,
        Sending,
        Closing
    };

    EmulatedKey *const m_owner;
    EmulatedKeyConfig m_config;
    QString m_path;
    std::thread m_thread;
    int m_wake[2] = {-1, -1};
    int m_listenFd = -1;
    int m_clientFd = -1;
    bool m_reading = true;
    bool m_answering = true;
    kframe::StreamDeframer m_deframer{kMaxReceivedFrame};

    std::mutex m_commandMutex;
    std::deque<std::function<void()>> m_commands;
    bool m_quit = false;

    // Key state, touched only on the key's thread.
    QByteArray m_lock;
    std::optional<QString> m_failText;
    std::multimap<Clock::time_point, std::function<void()>> m_schedule;
    Transfer m_transfer = Transfer::Idle;
    QList<QByteArray> m_transferPayloads;
    int m_repliesSeen = 0;
    int m_transferGeneration = 0;

    mutable std::mutex m_recordMutex;
    QList<QByteArray> m_packets;
    QList<QByteArray> m_messages;
    QList<QByteArray> m_relayData;
    int m_badFrames = 0;
};

EmulatedKey::EmulatedKey(const EmulatedKeyConfig &config, QObject *parent)
    : QObject(parent), m_engine(std::make_unique<Engine>(this, config))
{
}

EmulatedKey::~EmulatedKey()
{
    m_engine->stop();
}

bool EmulatedKey::start()
{
    return m_engine->start();
}

void EmulatedKey::stop()
{
    m_engine->stop();
}

QString EmulatedKey::socketPath() const
{
    return m_engine->path();
}

bool EmulatedKey::plug()
{
    bool ok = false;
    m_engine->run([&] { ok = m_engine->plug(); });
    return ok;
}

void EmulatedKey::unplug()
{
    m_engine->run([&] { m_engine->unplug(); });
}

bool EmulatedKey::isPluggedIn() const
{
    bool plugged = false;
    m_engine->run([&] { plugged = m_engine->plugged(); });
    return plugged;
}

bool EmulatedKey::hasClient() const
{
    bool connected = false;
    m_engine->run([&] { connected = m_engine->client(); });
    return connected;
}

void EmulatedKey::presentLock(quint64 rfNumber)
{
    QByteArray bytes(7, '\0');
    for (int i = 6; i >= 0; --i, rfNumber >>= 8)
        bytes[i] = static_cast<char>(rfNumber & 0xFF);
    // Numbers beyond 7 bytes keep their high byte too.
    if (rfNumber != 0)
        bytes.prepend(static_cast<char>(rfNumber & 0xFF));
    presentLockBytes(bytes);
}

void EmulatedKey::presentLockBytes(const QByteArray &tagBytes)
{
    m_engine->run([&] { m_engine->presentLock(tagBytes); });
}

void EmulatedKey::removeLock()
{
    presentLockBytes(QByteArray());
}

void EmulatedKey::failNextOperation(const QString &labelText)
{
    m_engine->run([&] { m_engine->failNext(labelText); });
}

void EmulatedKey::setServiceAddress(const QString &address, quint16 port)
{
    m_engine->run([&] {
        m_engine->config().serviceAddress = address;
        m_engine->config().servicePort = port;
    });
}

void EmulatedKey::setRelayServer(const QString &server, quint16 port)
{
    m_engine->run([&] {
        m_engine->config().relayServer = server;
        m_engine->config().relayPort = port;
    });
}

void EmulatedKey::setSoftwareVersion(const QString &version)
{
    m_engine->run([&] { m_engine->config().softwareVersion = version; });
}

void EmulatedKey::setReading(bool reading)
{
    m_engine->run([&] { m_engine->setReading(reading); });
}

void EmulatedKey::setAnswering(bool answering)
{
    m_engine->run([&] { m_engine->setAnswering(answering); });
}

void EmulatedKey::setStepDelay(int ms)
{
    m_engine->run([&] { m_engine->config().stepDelayMs = std::max(0, ms); });
}

void EmulatedKey::sendHostRequest(const QList<int> &tags)
{
    m_engine->run([&] { m_engine->sendHostRequest(tags); });
}

void EmulatedKey::requestRelayOpen()
{
    m_engine->run([&] { m_engine->sendSingle(REQUEST, newTagNull(TAG_CONNECT)); });
}

void EmulatedKey::requestRelayClose()
{
    m_engine->run([&] { m_engine->sendSingle(REQUEST, newTagNull(TAG_DISCONNECT)); });
}

void EmulatedKey::sendRelayData(const QByteArray &payload)
{
    m_engine->run([&] { m_engine->sendRelayData(payload); });
}

bool EmulatedKey::startTransfer(const QList<QByteArray> &payloads)
{
    bool started = false;
    m_engine->run([&] { started = m_engine->startTransfer(payloads); });
    return started;
}

void EmulatedKey::sendMessagePayload(const QByteArray &message)
{
    m_engine->run([&] {
        m_engine->sendFramed(reinterpret_cast<const uint8_t *>(message.constData()),
                             static_cast<size_t>(message.size()));
    });
}

void EmulatedKey::sendPacket(const QByteArray &bytes)
{
    m_engine->run([&] {
        m_engine->sendPacket(reinterpret_cast<const uint8_t *>(bytes.constData()), static_cast<size_t>(bytes.size()));
    });
}

QList<QByteArray> EmulatedKey::packets() const
{
    std::lock_guard<std::mutex> lock(m_engine->m_recordMutex);
    return m_engine->m_packets;
}

QList<QByteArray> EmulatedKey::messages() const
{
    std::lock_guard<std::mutex> lock(m_engine->m_recordMutex);
    return m_engine->m_messages;
}

QList<QByteArray> EmulatedKey::relayData() const
{
    std::lock_guard<std::mutex> lock(m_engine->m_recordMutex);
    return m_engine->m_relayData;
}

int EmulatedKey::badFrames() const
{
    std::lock_guard<std::mutex> lock(m_engine->m_recordMutex);
    return m_engine->m_badFrames;
}

void EmulatedKey::clearRecord()
{
    std::lock_guard<std::mutex> lock(m_engine->m_recordMutex);
    m_engine->m_packets.clear();
    m_engine->m_messages.clear();
    m_engine->m_relayData.clear();
    m_engine->m_badFrames = 0;
}
