// The key's USB transport on Linux (libusb) against the emulated key's socket, in one process and one
// run. Each transport carries the product's usbLink and cLinker to an emulated key (EmulatedKey); over
// USB the real libusb drives a device on an emulated bus (umockdev), whose bulk transfers reach that key.
//
//   usb_connect_ms               the engine's connect request until it has handled the key's details
//   usb_relay_mib_s              a relay transfer of PAYLOADS x SIZE bytes each way, key software 1.6.3
//   usb_relay_mib_s_whole_frames the same with an older key (1.5.0), to which frames go whole
//   usb_idle_cpu_pct             CPU of the whole process over IDLE seconds with the key plugged in
//
// "app" is the emulated USB key, "baseline" the socket. The emulated bus runs in this process: its
// threads' work is in the USB figures too, so they are an upper bound for the transport's own cost.

#include "app/configuration.h"
#include "bench/benchsupport.h"
#include "key/clinker.h"
#include "key/usbdevice.h"
#include "key/usblink.h"
#include "sim/emulatedkey.h"
#include "sim/relayserver.h"
#include "sim/emulatedusbbus.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct Options
{
    int roundTrips = 200;
    int transfers = 5;
    int payloads = 100;
    int size = 1000;
    int idleSeconds = 10;
};

// Runs the event loop until `done` holds or `ms` pass; whether it held.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// Deterministic payload bytes with frame flags and escapes among them.
QList<QByteArray> transferPayloads(int count, int size)
{
    QList<QByteArray> payloads;
    quint32 state = 2463534242u;
    for (int p = 0; p < count; ++p) {
        QByteArray payload(size, '\0');
        for (int i = 0; i < size; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            payload[i] = char(state & 0xFF);
        }
        payloads.append(payload);
    }
    return payloads;
}

// One transport with its key: the product's link and engine on either the socket or emulated USB.
class Station
{
public:
    Station(const QString &dir, const QString &name, quint16 relayPort, EmulatedUsbBus *bus, Configuration *config)
    {
        EmulatedKeyConfig keyConfig;
        keyConfig.socketPath = dir + QLatin1Char('/') + name + QStringLiteral(".sock");
        keyConfig.relayPort = relayPort;
        keyConfig.stepDelayMs = 0;
        keyConfig.transferTimeoutMs = 120000;
        m_key = std::make_unique<EmulatedKey>(keyConfig);
        m_started = m_key->start();
        std::unique_ptr<UsbDevice> device;
        if (bus) {
            bus->plug(UsbKeyModel::withMsOs20(QString::fromLatin1(usbdesc::kKeyInterfaceGuid)), m_key->socketPath());
            device = createKeyDevice();
        } else {
            device = createUsbDevice(m_key->socketPath().toStdString());
        }
        // The product's timing; a clock that moves on two seconds per reading lets every connect request
        // through the engine's once-a-second limit.
        m_link = std::make_unique<usbLink>(std::move(device));
        m_linker = std::make_unique<cLinker>(m_link.get(), config, [this] {
            m_clockSeconds += 2;
            return QDateTime::fromSecsSinceEpoch(1700000000 + m_clockSeconds, Qt::UTC);
        });
        QObject::connect(m_linker.get(), &cLinker::nvmReady, [this] { ++m_details; });
        QObject::connect(m_key.get(), &EmulatedKey::transferFinished, [this](bool ok) {
            m_transferEndNs = bench::monotonicNs();
            m_transferOk = ok;
        });
    }

    ~Station()
    {
        m_linker.reset();
        m_link.reset();
        m_key.reset();
    }

    bool ready()
    {
        return m_started && waitFor([this] { return m_linker->isKeyReady(); }, 10000);
    }

    // Milliseconds from the connect request to its answer handled; negative on failure.
    double connectRoundTrip()
    {
        const int before = m_details;
        const long long start = bench::monotonicNs();
        m_linker->connectKey();
        if (!waitFor([&] { return m_details > before; }, 5000))
            return -1;
        return double(bench::monotonicNs() - start) / 1e6;
    }

    bool useSoftware(const QString &version)
    {
        m_key->setSoftwareVersion(version);
        const int wanted = cLinker::firmwareVersionFromText(version.toLatin1().constData());
        m_linker->connectKey();
        return waitFor([&] { return m_linker->firmwareVersion() == wanted; }, 5000);
    }

    // Milliseconds from the key's request to open the relay to the end of its close; negative on failure.
    double transfer(const QList<QByteArray> &payloads)
    {
        m_transferEndNs = 0;
        const long long start = bench::monotonicNs();
        if (!m_key->startTransfer(payloads) || !waitFor([this] { return m_transferEndNs != 0; }, 120000) ||
            !m_transferOk)
            return -1;
        return double(m_transferEndNs - start) / 1e6;
    }

private:
    std::unique_ptr<EmulatedKey> m_key;
    std::unique_ptr<usbLink> m_link;
    std::unique_ptr<cLinker> m_linker;
    bool m_started = false;
    qint64 m_clockSeconds = 0;
    int m_details = 0;
    long long m_transferEndNs = 0;
    bool m_transferOk = false;
};

bool fail(const char *what)
{
    std::fprintf(stderr, "bench_usb: %s\n", what);
    return false;
}

// CPU of this process, in percent of one core, while the event loop idles `seconds` with only `station`.
double idleCpuPercent(int seconds)
{
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit); // what starting left behind
    loop.exec();
    const long long cpu = bench::processCpuNs();
    const long long wall = bench::monotonicNs();
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    return 100.0 * double(bench::processCpuNs() - cpu) / double(bench::monotonicNs() - wall);
}

bool run(const Options &options)
{
    QTemporaryDir dir;
    Configuration config; // relay over TCP
    RelayServer relay;
    EmulatedUsbBus bus; // before any libusb context
    if (!dir.isValid() || !relay.start(0))
        return fail("the relay server did not start");

    {
        Station usb(dir.path(), QStringLiteral("usb"), relay.port(), &bus, &config);
        Station socket(dir.path(), QStringLiteral("socket"), relay.port(), nullptr, &config);
        if (!usb.ready() || !socket.ready())
            return fail("a key was not found");

        std::vector<double> usbMs, socketMs;
        for (int i = 0; i < 10 + options.roundTrips; ++i) {
            const double viaUsb = usb.connectRoundTrip();
            const double viaSocket = socket.connectRoundTrip();
            if (viaUsb < 0 || viaSocket < 0)
                return fail("a connect request was not answered");
            if (i < 10)
                continue; // warm-up
            usbMs.push_back(viaUsb);
            socketMs.push_back(viaSocket);
        }
        std::printf("# connect request until its answer is handled, %d round trips on each transport\n",
                    options.roundTrips);
        bench::printFigure("usb_connect_ms", usbMs, socketMs);

        const QList<QByteArray> payloads = transferPayloads(options.payloads, options.size);
        const double mebibytes = double(options.payloads) * options.size / (1024.0 * 1024.0);
        for (const QString &software : {QStringLiteral("1.6.3"), QStringLiteral("1.5.0")}) {
            if (!usb.useSoftware(software) || !socket.useSoftware(software))
                return fail("a key did not report its new software version");
            std::vector<double> usbRate, socketRate;
            for (int i = 0; i < 1 + options.transfers; ++i) {
                const double viaUsb = usb.transfer(payloads);
                const double viaSocket = socket.transfer(payloads);
                if (viaUsb <= 0 || viaSocket <= 0)
                    return fail("a relay transfer failed");
                if (i == 0)
                    continue; // warm-up
                usbRate.push_back(mebibytes / (viaUsb / 1e3));
                socketRate.push_back(mebibytes / (viaSocket / 1e3));
            }
            std::printf("# relay over TCP, key software %s, %d transfers of %d payloads of %d bytes each way\n",
                        qPrintable(software), options.transfers, options.payloads, options.size);
            bench::printFigure(software == QLatin1String("1.6.3") ? "usb_relay_mib_s" : "usb_relay_mib_s_whole_frames",
                               usbRate, socketRate);
        }
    }

    // One transport at a time, so that each figure holds its own threads only.
    std::vector<double> usbCpu, socketCpu;
    {
        Station usb(dir.path(), QStringLiteral("usb-idle"), relay.port(), &bus, &config);
        if (!usb.ready())
            return fail("the USB key was not found again");
        usbCpu.push_back(idleCpuPercent(options.idleSeconds));
    }
    {
        Station socket(dir.path(), QStringLiteral("socket-idle"), relay.port(), nullptr, &config);
        if (!socket.ready())
            return fail("the socket key was not found again");
        socketCpu.push_back(idleCpuPercent(options.idleSeconds));
    }
    std::printf("# idle with a key plugged in: CPU of the whole process over %d s, percent of one core\n",
                options.idleSeconds);
    bench::printFigure("usb_idle_cpu_pct", usbCpu, socketCpu);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // The product's own choice of transport: USB, as no emulated key's socket is named.
    qunsetenv("SEALSTATION_KEY_SOCKET");
    QCoreApplication app(argc, argv);
    Options options;
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        const int value = arguments.at(i + 1).toInt();
        if (arguments.at(i) == QLatin1String("--round-trips"))
            options.roundTrips = value;
        else if (arguments.at(i) == QLatin1String("--transfers"))
            options.transfers = value;
        else if (arguments.at(i) == QLatin1String("--idle"))
            options.idleSeconds = value;
    }
    if (options.roundTrips < 1 || options.transfers < 1 || options.idleSeconds < 1) {
        std::fprintf(stderr, "usage: bench_usb [--round-trips N] [--transfers N] [--idle SECONDS]\n");
        return 2;
    }
    // The engine's traces on standard output would mix with the figures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return run(options) ? 0 : 1;
}
