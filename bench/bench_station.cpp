// Per-bag overhead and relay throughput of the client, each against a minimal baseline measured in
// the same run.
//
//   bench_station [--bags N] [--transfers M] [--payloads K] [--size BYTES]
//
// The station side (simulated web service, relay server, emulated key answering at once) runs in a
// child process ("bench_station --serve DIR", commands on its standard input), so the CPU time
// measured here is the client's alone. The client is the real PackingWindow with its cLinker and
// usbLink on the emulated key's socket, with the product's timings and its debug log on.
//
// Per bag: from Enter in the barcode field (Pack pressed as soon as the link returns) until the first
// byte of the close request is written to the key; wall and CPU time. Baselines: the same four
// requests (link, lock lookup, existing seals, seal record) with a bare QNetworkAccessManager, and
// written whole to a raw socket.
//
// Relay: the key sends K payloads of BYTES bytes; the application relays them to the relay server
// over TCP and the answers back; from the key's transfer request to its end. Once with key software
// 1.6.3 (the application writes to it in 63-byte pieces), once with 1.5.0 (whole frames). Baseline:
// the same frames and answers between a TCP socket and the same relay server, nothing in between.
#include "app/configuration.h"
#include "app/simplelogger.h"
#include "bench/benchsupport.h"
#include "journal/journal.h"
#include "key/clinker.h"
#include "key/kframe.h"
#include "key/usbdevice.h"
#include "key/usblink.h"
#include "service/json.h"
#include "sim/emulatedkey.h"
#include "sim/relayserver.h"
#include "sim/webservice.h"
#include "ui/packingwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest/QTest>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kBarcode[] = "2531011021"; // no seals with other locks: the multiple-seals question stays away
const char kLockRf[] = "303659";
const char kUser[] = "operator";
const char kPassword[] = "Pack2025";

// Payload `index` of a transfer: deterministic bytes with frame flags and escapes among them.
QByteArray transferPayload(int index, int size)
{
    QByteArray payload(size, '\0');
    quint32 state = 2463534242u + quint32(index);
    for (int i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        payload[i] = char(state & 0xFF);
    }
    return payload;
}

QList<QByteArray> transferPayloads(int count, int size)
{
    QList<QByteArray> payloads;
    for (int i = 0; i < count; ++i)
        payloads.append(transferPayload(i, size));
    return payloads;
}

// ---- Station side ----------------------------------------------------------------------------

// Reads commands from standard input, one a line:
//   lock RF                  present a lock
//   software VERSION         replug the key reporting another software version
//   transfer COUNT SIZE      run a relay transfer; answers "transfer OK NANOSECONDS"
class Station : public QObject
{
public:
    explicit Station(const QString &dir, QObject *parent = nullptr) : QObject(parent), m_dir(dir) {}

    bool start()
    {
        sim::WebService::Options options;
        options.databasePath = (m_dir + QStringLiteral("/vesk.db")).toStdString();
        m_service = std::make_unique<sim::WebService>(options);
        std::string error;
        if (!m_service->start(&error)) {
            std::fprintf(stderr, "station: web service: %s\n", error.c_str());
            return false;
        }
        m_relay = std::make_unique<RelayServer>();
        if (!m_relay->start(0))
            return false;
        EmulatedKeyConfig config;
        config.socketPath = m_dir + QStringLiteral("/key.sock");
        config.servicePort = quint16(m_service->port());
        config.relayPort = m_relay->port();
        config.stepDelayMs = 0;
        config.transferTimeoutMs = 120000;
        m_key = std::make_unique<EmulatedKey>(config);
        if (!m_key->start())
            return false;
        connect(m_key.get(), &EmulatedKey::transferFinished, this, [this](bool ok) {
            answer(QByteArrayLiteral("transfer ") + (ok ? "1 " : "0 ") +
                   QByteArray::number(bench::monotonicNs() - m_transferStartNs));
        });
        m_input = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        connect(m_input.get(), &QSocketNotifier::activated, this, [this] { readInput(); });
        answer("ready");
        return true;
    }

    void stop()
    {
        m_input.reset();
        if (m_key)
            m_key->stop();
        m_key.reset();
        m_relay.reset();
        if (m_service)
            m_service->stop();
    }

private:
    void answer(const QByteArray &line)
    {
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    void readInput()
    {
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof(chunk));
        if (got <= 0) {
            QCoreApplication::quit();
            return;
        }
        m_pending.append(chunk, int(got));
        int end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = m_pending.left(end).simplified().split(' ');
            m_pending.remove(0, end + 1);
            run(words);
        }
    }

    void run(const QList<QByteArray> &words)
    {
        const QByteArray &command = words.value(0);
        if (command == "lock") {
            m_key->presentLock(words.value(1).toULongLong());
            answer("ok");
        } else if (command == "software") {
            m_key->setSoftwareVersion(QString::fromLatin1(words.value(1)));
            m_key->unplug();
            answer(m_key->plug() ? "ok" : "failed");
        } else if (command == "transfer") {
            m_transferStartNs = bench::monotonicNs();
            if (!m_key->startTransfer(transferPayloads(words.value(1).toInt(), words.value(2).toInt())))
                answer("transfer 0 0");
        } else {
            answer("unknown");
        }
    }

    const QString m_dir;
    std::unique_ptr<sim::WebService> m_service;
    std::unique_ptr<RelayServer> m_relay;
    std::unique_ptr<EmulatedKey> m_key;
    std::unique_ptr<QSocketNotifier> m_input;
    QByteArray m_pending;
    long long m_transferStartNs = 0;
};

int serve(int argc, char *argv[], const QString &dir)
{
    QCoreApplication app(argc, argv);
    Station station(dir);
    if (!station.start())
        return 1;
    const int code = app.exec();
    station.stop();
    return code;
}

// ---- Client side -----------------------------------------------------------------------------

// The key's device with a stopwatch: notes the time of the first write after arm().
class TimedDevice : public UsbDevice
{
public:
    explicit TimedDevice(std::unique_ptr<UsbDevice> inner) : m_inner(std::move(inner)) {}

    bool openDevice() override { return m_inner->openDevice(); }
    int readBulk(uint8_t *buffer, int capacity) override { return m_inner->readBulk(buffer, capacity); }
    int writeBulk(const uint8_t *data, int count, kframe::Deadline deadline) override
    {
        if (m_armed.exchange(false)) {
            m_writeNs = bench::monotonicNs();
            m_writeCpuNs = bench::processCpuNs();
            m_written = true;
            if (m_onWrite)
                m_onWrite();
        }
        return m_inner->writeBulk(data, count, deadline);
    }
    kframe::Deadline frameDeadline() const override { return m_inner->frameDeadline(); }
    bool lostToWriteTimeout() const override { return m_inner->lostToWriteTimeout(); }
    void cancel() override { m_inner->cancel(); }

    // Called on the GUI thread, which is also the only writer.
    void arm() { m_armed = true; }
    // Starts a measurement; `onWrite` runs on the noted write.
    void start(std::function<void()> onWrite)
    {
        m_written = false;
        m_onWrite = std::move(onWrite);
    }
    void finish() { m_onWrite = nullptr; }
    bool written() const { return m_written; }
    long long writeNs() const { return m_writeNs; }
    long long writeCpuNs() const { return m_writeCpuNs; }

private:
    const std::unique_ptr<UsbDevice> m_inner;
    std::atomic<bool> m_armed{false};
    bool m_written = false;
    long long m_writeNs = 0;
    long long m_writeCpuNs = 0;
    std::function<void()> m_onWrite;
};

// The debug log goes to the product's logger; the close request's log line arms the stopwatch.
SimpleLogger *g_logger = nullptr;
TimedDevice *g_device = nullptr;

void logHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (g_device && text == QLatin1String("requestClose..."))
        g_device->arm();
    if (g_logger)
        g_logger->handleMessage(type, context, text);
}

// Runs the event loop until `done` or the time is up.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    if (!done())
        loop.exec();
    return done();
}

// The station child process, spoken to a line at a time.
class StationProcess
{
public:
    bool start(const QString &dir)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve"), dir});
        return m_process.waitForStarted(10000) && readLine(20000) == "ready";
    }

    QByteArray command(const QByteArray &line, int timeoutMs = 60000)
    {
        m_process.write(line + '\n');
        return readLine(timeoutMs);
    }

    void stop()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    // The client's event loop keeps running meanwhile.
    QByteArray readLine(int timeoutMs)
    {
        waitFor(
            [this] {
                m_buffer += m_process.readAllStandardOutput();
                return m_buffer.contains('\n') || m_process.state() != QProcess::Running;
            },
            timeoutMs);
        const int end = m_buffer.indexOf('\n');
        if (end < 0)
            return QByteArray();
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        return line;
    }

    QProcess m_process;
    QByteArray m_buffer;
};

// The baseline client: the four requests of a bag, nothing else.
class MinimalClient
{
public:
    explicit MinimalClient(quint16 port) : m_base(QStringLiteral("http://127.0.0.1:%1/veskservice/").arg(port)) {}

    bool login()
    {
        const QByteArray digest = QCryptographicHash::hash(kPassword, QCryptographicHash::Md5).toHex().toUpper();
        QNetworkRequest request(QUrl(m_base + QStringLiteral("login")));
        request.setRawHeader("Content-Type", "application/x-www-form-urlencoded");
        QNetworkReply *reply = m_manager.post(request, QByteArrayLiteral("username=") + kUser + "&password=" + digest);
        finish(reply);
        m_token = reply->rawHeader("DRAV-Token");
        reply->deleteLater();
        return !m_token.isEmpty();
    }

    // One bag's requests; false when one of them did not come back with HTTP 200.
    bool bag(QString *pointId = nullptr, QString *tableId = nullptr, QString *lockId = nullptr)
    {
        const QByteArray link = put(QStringLiteral("examschedule/link/subject/to/center"),
                                    QByteArrayLiteral("{\"scanCode\":\"") + kBarcode + "\"}");
        const QByteArray lock = get(QStringLiteral("lock/find/by/rf/") + QLatin1String(kLockRf));
        if (pointId) {
            const QJsonObject schedule = QJsonDocument::fromJson(link).object().value("result").toObject();
            *pointId = schedule.value("pointId").toVariant().toString();
            *tableId = schedule.value("tableId").toVariant().toString();
            *lockId = QJsonDocument::fromJson(lock)
                          .object()
                          .value("result")
                          .toObject()
                          .value("lockId")
                          .toVariant()
                          .toString();
            m_pointId = *pointId;
            m_tableId = *tableId;
            m_lockId = *lockId;
        }
        get(QStringLiteral("examschedule/ap?pointId=%1&tableId=%2").arg(m_pointId, m_tableId));
        put(QStringLiteral("timetable/seal"), QStringLiteral("{\"pointId\":\"%1\",\"tableId\":\"%2\",\"apId\":\"%3\"}")
                                                  .arg(m_pointId, m_tableId, m_lockId)
                                                  .toUtf8());
        const bool ok = m_failures == 0;
        m_failures = 0;
        return ok;
    }

private:
    QNetworkRequest request(const QString &path) const
    {
        QNetworkRequest request(QUrl(m_base + path));
        request.setRawHeader("DRAV-Token", m_token);
        request.setRawHeader("Accept", "application/json");
        request.setRawHeader("Content-Type", "application/json");
        return request;
    }

    QByteArray get(const QString &path) { return body(m_manager.get(request(path))); }

    QByteArray put(const QString &path, const QByteArray &data)
    {
        QNetworkRequest put = request(path);
        put.setRawHeader("X-HTTP-Method-Override", "PUT");
        return body(m_manager.put(put, data));
    }

    static void finish(QNetworkReply *reply)
    {
        if (reply->isFinished())
            return;
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }

    QByteArray body(QNetworkReply *reply)
    {
        finish(reply);
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
            ++m_failures;
        const QByteArray data = reply->readAll();
        reply->deleteLater();
        return data;
    }

    const QString m_base;
    QNetworkAccessManager m_manager;
    QByteArray m_token;
    QString m_pointId;
    QString m_tableId;
    QString m_lockId;
    int m_failures = 0;
};

// The floor: the same requests, each written whole on one kept-alive socket, replies read by their
// Content-Length. No HTTP stack, so no stack's way of sending headers and body apart.
class RawClient
{
public:
    explicit RawClient(quint16 port) : m_port(port) {}
    ~RawClient() { disconnect(); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool login()
    {
        const QByteArray digest = QCryptographicHash::hash(kPassword, QCryptographicHash::Md5).toHex().toUpper();
        const QByteArray form = QByteArrayLiteral("username=") + kUser + "&password=" + digest;
        QByteArray headers;
        if (!exchange("POST /veskservice/login HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                          QByteArray::number(form.size()) + "\r\n\r\n" + form,
                      &headers))
            return false;
        for (const QByteArray &line : headers.split('\n')) {
            if (line.toLower().startsWith("drav-token:"))
                m_token = line.mid(11).trimmed();
        }
        return !m_token.isEmpty();
    }

    bool bag(const QString &pointId, const QString &tableId, const QString &lockId)
    {
        const QByteArray seal = QStringLiteral("{\"pointId\":\"%1\",\"tableId\":\"%2\",\"apId\":\"%3\"}")
                                    .arg(pointId, tableId, lockId)
                                    .toUtf8();
        return exchange(put("/veskservice/examschedule/link/subject/to/center",
                            QByteArrayLiteral("{\"scanCode\":\"") + kBarcode + "\"}")) &&
               exchange(get(QByteArrayLiteral("/veskservice/lock/find/by/rf/") + kLockRf)) &&
               exchange(
                   get("/veskservice/examschedule/ap?pointId=" + pointId.toUtf8() + "&tableId=" + tableId.toUtf8())) &&
               exchange(put("/veskservice/timetable/seal", seal));
    }

private:
    QByteArray common() const
    {
        return "Host: 127.0.0.1\r\nDRAV-Token: " + m_token +
               "\r\nAccept: application/json\r\nContent-Type: application/json\r\n";
    }
    QByteArray get(const QByteArray &target) const { return "GET " + target + " HTTP/1.1\r\n" + common() + "\r\n"; }
    QByteArray put(const QByteArray &target, const QByteArray &body) const
    {
        return "PUT " + target + " HTTP/1.1\r\n" + common() +
               "X-HTTP-Method-Override: PUT\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }

    bool connectToService()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    }

    void disconnect()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // One request and its reply; true for HTTP 200. Like any HTTP client it opens a new connection
    // when the server has ended the last one (the simulated service serves five requests on each).
    bool exchange(const QByteArray &request, QByteArray *headersOut = nullptr)
    {
        if (m_fd < 0 && !connectToService())
            return false;
        for (int sent = 0; sent < request.size();) {
            const ssize_t n = ::send(m_fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += int(n);
        }
        QByteArray reply;
        int headerEnd = -1;
        qint64 bodyLength = -1;
        char chunk[16384];
        while (headerEnd < 0 || reply.size() < headerEnd + 4 + bodyLength) {
            const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
            if (n <= 0)
                return false;
            reply.append(chunk, int(n));
            if (headerEnd < 0 && (headerEnd = reply.indexOf("\r\n\r\n")) >= 0) {
                bodyLength = 0;
                for (const QByteArray &line : reply.left(headerEnd).split('\n')) {
                    if (line.toLower().startsWith("content-length:"))
                        bodyLength = line.mid(15).trimmed().toLongLong();
                }
            }
        }
        const QByteArray headers = reply.left(headerEnd);
        if (headers.toLower().contains("\r\nconnection: close"))
            disconnect();
        if (headersOut)
            *headersOut = headers;
        return reply.startsWith("HTTP/1.1 200");
    }

    const quint16 m_port;
    int m_fd = -1;
    QByteArray m_token;
};

// The baseline transfer: the key's frames straight to the relay server and its answers back.
double directTransferMs(quint16 port, int count, int size)
{
    std::vector<QByteArray> frames;
    for (int i = 0; i < count; ++i) {
        const QByteArray payload = transferPayload(i, size);
        std::vector<uint8_t> frame(kframe::maxFrameSize(size_t(payload.size())));
        const size_t length = kframe::buildFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                                                 size_t(payload.size()), frame.data(), frame.size());
        frames.emplace_back(reinterpret_cast<const char *>(frame.data()), int(length));
    }

    QTcpSocket socket;
    kframe::StreamDeframer deframer(65536);
    QEventLoop loop;
    int answers = 0;
    long long endNs = 0;
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        const QByteArray bytes = socket.readAll();
        deframer.feed(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()),
                      [&](const uint8_t *content, size_t length) {
                          if (length >= 2 && kframe::fcsGood(content, length))
                              ++answers;
                      });
        if (answers >= count && endNs == 0) {
            socket.disconnectFromHost();
            endNs = bench::monotonicNs();
            loop.quit();
        }
    });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);

    const long long startNs = bench::monotonicNs();
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return -1;
    for (const QByteArray &frame : frames)
        socket.write(frame);
    loop.exec();
    return endNs > 0 ? double(endNs - startNs) / 1e6 : -1;
}

struct Options
{
    int bags = 30;
    int transfers = 9;
    int payloads = 100;
    int size = 1000;
};

// Wall and CPU time of one measured step, in milliseconds.
struct Step
{
    double wallMs = 0;
    double cpuMs = 0;
};

// Delivers what earlier steps left posted (chiefly the window's deferred paints), so that one
// measured step is not charged with another's work.
void settle()
{
    QCoreApplication::sendPostedEvents();
}

template <typename Work>
bool timed(Step *step, Work work)
{
    settle();
    const long long startNs = bench::monotonicNs();
    const long long startCpuNs = bench::processCpuNs();
    const bool ok = work();
    step->wallMs = double(bench::monotonicNs() - startNs) / 1e6;
    step->cpuMs = double(bench::processCpuNs() - startCpuNs) / 1e6;
    return ok;
}

// The client under measurement: the product's window, engine and transport on the station's key.
class ClientBench
{
public:
    explicit ClientBench(const Options &options) : m_options(options) {}

    ~ClientBench()
    {
        if (m_linker)
            m_linker->stopTransport();
        m_window.reset();
        m_linker.reset();
        m_usb.reset();
        qInstallMessageHandler(nullptr);
        g_device = nullptr;
        g_logger = nullptr;
        m_station.stop();
    }
    ClientBench(const ClientBench &) = delete;
    ClientBench &operator=(const ClientBench &) = delete;

    int run()
    {
        if (!m_dir.isValid() || !m_station.start(m_dir.path())) {
            fail("the station did not start");
            return 1;
        }
        startClient();
        if (!signIn() || !startBaselines() || !measureBags())
            return 1;
        // First as a current key takes the application's frames (63-byte pieces), then whole.
        if (!measureRelay("1.6.3") || !measureRelay("1.5.0"))
            return 1;
        return 0;
    }

private:
    static bool fail(const char *what)
    {
        std::fprintf(stderr, "bench_station: %s\n", what);
        return false;
    }

    void startClient()
    {
        m_logger.setup(m_dir.path(), QStringLiteral("sealstation.log"), true, 1000000, 10);
        auto device =
            std::make_unique<TimedDevice>(createUsbDevice((m_dir.path() + QStringLiteral("/key.sock")).toStdString()));
        g_device = device.get();
        g_logger = &m_logger;
        qInstallMessageHandler(logHandler);
        m_usb = std::make_unique<usbLink>(std::move(device));
        m_linker = std::make_unique<cLinker>(m_usb.get(), &m_config);
        m_window = std::make_unique<PackingWindow>(nullptr, m_linker.get(), &m_config);
        m_window->show();
    }

    template <typename T>
    T *widget(const char *name) const
    {
        return m_window->findChild<T *>(QString::fromLatin1(name));
    }

    // Typed into the login page once the key has reported where the service is.
    bool signIn()
    {
        auto *user = widget<QLineEdit>("txtUsername");
        auto *password = widget<QLineEdit>("txtPassword");
        m_barcode = widget<QLineEdit>("txtBarcode");
        m_pack = widget<QPushButton>("btnPack");
        m_result = widget<QWidget>("lblOperationInfo");
        if (!user || !password || !m_barcode || !m_pack || !m_result)
            return fail("the window's widgets were not found");
        if (!waitFor([this] { return m_window->service() != nullptr; }, 20000))
            return fail("the key did not report the service");
        QTest::keyClicks(user, QString::fromLatin1(kUser));
        QTest::keyClicks(password, QString::fromLatin1(kPassword));
        QTest::keyClick(password, Qt::Key_Return);
        if (!waitFor([this] { return m_barcode->isVisible(); }, 10000))
            return fail("the sign-in failed");
        return m_station.command(QByteArrayLiteral("lock ") + kLockRf) == "ok" || fail("no lock could be presented");
    }

    bool startBaselines()
    {
        const quint16 port = m_window->service()->port().toUShort();
        m_minimal = std::make_unique<MinimalClient>(port);
        m_raw = std::make_unique<RawClient>(port);
        return (m_minimal->login() && m_minimal->bag(&m_pointId, &m_tableId, &m_lockId) && m_raw->login()) ||
               fail("a baseline client could not sign in");
    }

    // Enter in the barcode field, Space on Pack once the link is back; ends when the close request is written.
    bool packOneBag(Step *step)
    {
        m_barcode->setText(QString::fromLatin1(kBarcode));
        QEventLoop closeSent;
        g_device->start([&closeSent] { QMetaObject::invokeMethod(&closeSent, "quit", Qt::QueuedConnection); });
        settle();
        const long long startNs = bench::monotonicNs();
        const long long startCpuNs = bench::processCpuNs();
        QTest::keyClick(m_barcode, Qt::Key_Return);
        QTest::keyClick(m_pack, Qt::Key_Space);
        if (!g_device->written()) {
            QTimer::singleShot(20000, &closeSent, &QEventLoop::quit);
            closeSent.exec();
        }
        g_device->finish();
        if (!g_device->written())
            return fail("no close request was sent to the key");
        step->wallMs = double(g_device->writeNs() - startNs) / 1e6;
        step->cpuMs = double(g_device->writeCpuNs() - startCpuNs) / 1e6;
        return true;
    }

    // The next bag starts once the key has closed this one and Pack is enabled again.
    bool waitForClosed()
    {
        return waitFor(
                   [this] { return m_result->styleSheet().contains(QLatin1String("green")) && m_pack->isEnabled(); },
                   20000) ||
               fail("the result did not turn green");
    }

    bool measureBags()
    {
        std::vector<double> appMs, appCpuMs, baseMs, baseCpuMs, rawMs, rawCpuMs, journalMs, journalCpuMs;
        // The journal in the temporary folder, which must be on a real disk: a tmpfs makes its syncs free.
        Journal journal(m_dir.path());
        if (!journal.open())
            return fail("the journal could not be opened");
        const int warmUp = 3;
        for (int i = 0; i < warmUp + m_options.bags; ++i) {
            Step app, base, raw, journaled;
            if (!packOneBag(&app) || !waitForClosed())
                return false;
            // The same bag with the journal listening, right after the one without.
            m_window->setJournal(&journal);
            const bool packed = packOneBag(&journaled) && waitForClosed();
            m_window->setJournal(nullptr);
            if (!packed)
                return false;
            // The baselines run between the bags, so a change in machine load meets all three alike.
            if (!timed(&base, [this] { return m_minimal->bag(); }))
                return fail("the minimal client's requests failed");
            if (!timed(&raw, [this] { return m_raw->bag(m_pointId, m_tableId, m_lockId); }))
                return fail("the raw client's requests failed");
            if (i < warmUp)
                continue;
            appMs.push_back(app.wallMs);
            appCpuMs.push_back(app.cpuMs);
            baseMs.push_back(base.wallMs);
            baseCpuMs.push_back(base.cpuMs);
            rawMs.push_back(raw.wallMs);
            rawCpuMs.push_back(raw.cpuMs);
            journalMs.push_back(journaled.wallMs);
            journalCpuMs.push_back(journaled.cpuMs);
        }
        std::printf("# per bag, %d bags, Enter in the barcode field to the close request written to the key\n",
                    m_options.bags);
        bench::printFigure("bag_wall_ms", appMs, baseMs);
        bench::printFigure("bag_cpu_ms", appCpuMs, baseCpuMs);
        bench::printFigure("bag_wall_ms_vs_raw", appMs, rawMs);
        bench::printFigure("bag_cpu_ms_vs_raw", appCpuMs, rawCpuMs);
        std::printf("# per bag with the station's journal written ahead (%d rows before the close request)\n", 4);
        bench::printFigure("bag_wall_ms_journal", journalMs, appMs);
        bench::printFigure("bag_cpu_ms_journal", journalCpuMs, appCpuMs);
        return true;
    }

    bool measureRelay(const QByteArray &software)
    {
        if (m_linker->softwareVersion() != QString::fromLatin1(software)) {
            // The application learns the version when the key is plugged in again.
            const int before = m_linker->firmwareVersion();
            if (m_station.command("software " + software) != "ok" ||
                !waitFor([&] { return m_linker->firmwareVersion() != before && m_linker->isKeyReady(); }, 20000))
                return fail("the key did not come back with its new software version");
        }
        const double mebibytes = double(m_options.payloads) * m_options.size / (1024.0 * 1024.0);
        const QByteArray command =
            QStringLiteral("transfer %1 %2").arg(m_options.payloads).arg(m_options.size).toLatin1();
        std::vector<double> appRate, baseRate;
        for (int i = 0; i < 1 + m_options.transfers; ++i) {
            const QList<QByteArray> reply = m_station.command(command, 120000).split(' ');
            const double baseMs =
                directTransferMs(m_linker->relayPort().toUShort(), m_options.payloads, m_options.size);
            if (reply.value(0) != "transfer" || reply.value(1) != "1" || baseMs <= 0)
                return fail("a relay transfer failed");
            if (i == 0)
                continue; // warm-up
            appRate.push_back(mebibytes / (reply.value(2).toDouble() / 1e9));
            baseRate.push_back(mebibytes / (baseMs / 1e3));
        }
        std::printf("# relay over TCP, key software %s, %d transfers of %d payloads of %d bytes each way\n",
                    software.constData(), m_options.transfers, m_options.payloads, m_options.size);
        bench::printFigure(software == "1.6.3" ? "relay_mib_s" : "relay_mib_s_whole_frames", appRate, baseRate);
        return true;
    }

    const Options m_options;
    QTemporaryDir m_dir;
    StationProcess m_station;
    Configuration m_config; // defaults: the multiple-seals question on, relay over TCP
    SimpleLogger m_logger;
    std::unique_ptr<usbLink> m_usb;
    std::unique_ptr<cLinker> m_linker;
    std::unique_ptr<PackingWindow> m_window;
    std::unique_ptr<MinimalClient> m_minimal;
    std::unique_ptr<RawClient> m_raw;
    QLineEdit *m_barcode = nullptr;
    QPushButton *m_pack = nullptr;
    QWidget *m_result = nullptr;
    QString m_pointId;
    QString m_tableId;
    QString m_lockId;
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--serve") == 0) {
        const QString dir = QString::fromLocal8Bit(argv[2]);
        return serve(argc, argv, dir);
    }

    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(
        {QStringLiteral("bags"), QStringLiteral("Measured bags."), QStringLiteral("n"), QStringLiteral("30")});
    parser.addOption({QStringLiteral("transfers"), QStringLiteral("Measured transfers per key version."),
                      QStringLiteral("n"), QStringLiteral("9")});
    parser.addOption({QStringLiteral("payloads"), QStringLiteral("Payloads per transfer."), QStringLiteral("n"),
                      QStringLiteral("100")});
    parser.addOption({QStringLiteral("size"), QStringLiteral("Bytes per payload (at most 1014)."),
                      QStringLiteral("bytes"), QStringLiteral("1000")});
    parser.process(app);
    Options options;
    options.bags = qMax(1, parser.value(QStringLiteral("bags")).toInt());
    options.transfers = qMax(1, parser.value(QStringLiteral("transfers")).toInt());
    options.payloads = qMax(1, parser.value(QStringLiteral("payloads")).toInt());
    options.size = qBound(1, parser.value(QStringLiteral("size")).toInt(), 1014);
    ClientBench bench(options);
    return bench.run();
}
