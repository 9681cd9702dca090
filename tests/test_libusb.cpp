// The product's key transport on Linux through the real libusb, against keys on an emulated USB bus
// (umockdev answering the usbfs ioctls) whose bulk transfers reach the emulated key: the real usbLink
// thread and cLinker exchange real messages with it.

#include "app/configuration.h"
#include "key/clinker.h"
#include "key/usbdevice.h"
#include "key/usblink.h"
#include "sim/emulatedkey.h"
#include "sim/emulatedusbbus.h"
#include "support/keytestsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <future>
#include <memory>

namespace {

const QString kGuid = QString::fromLatin1(usbdesc::kKeyInterfaceGuid);
// The engine's connect request and the byte framed after it, before the key has reported its version.
const QByteArray kConnectRequest = QByteArray::fromHex("01011A0200040000000000");

QByteArray hex(const QList<QByteArray> &transfers)
{
    QByteArrayList lines;
    for (const QByteArray &transfer : transfers)
        lines << transfer.toHex(' ');
    return lines.join('|');
}

UsbKeyModel modelNamed(const QString &name)
{
    UsbKeyModel model = UsbKeyModel::withMsOs20(kGuid);
    if (name == QLatin1String("1.0")) {
        model = UsbKeyModel::withMsOs10(kGuid.toLower());
    } else if (name == QLatin1String("none")) {
        model = UsbKeyModel();
    } else if (name == QLatin1String("wrong guid")) {
        model = UsbKeyModel::withMsOs20(QStringLiteral("{42CA71EC-CE1C-44c2-82DE-87D8D8FF6C1F}"));
    } else if (name == QLatin1String("control only")) {
        model.dataInterface = false;
    } else if (name == QLatin1String("value past its descriptor")) {
        const int value = model.msOs20Set.size() - 80; // the GUID's UTF-16 text and its two NULs
        model.msOs20Set[value - 2] = static_cast<char>(82);
    } else if (name == QLatin1String("guid not terminated")) {
        model = UsbKeyModel::withMsOs10(kGuid);
        model.msOs10Properties.chop(2);
        model.msOs10Properties[0] = static_cast<char>(model.msOs10Properties.size());
        model.msOs10Properties[10] = static_cast<char>(model.msOs10Properties.size() - 10);
        model.msOs10Properties[model.msOs10Properties.size() - 80] = 76;
    } else if (name == QLatin1String("capability past the BOS")) {
        model.bos[5] = 40;
    }
    return model;
}

} // namespace

class TestLibusb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The product's own choice: USB unless an emulated key's socket is named.
        qunsetenv("SEALSTATION_KEY_SOCKET");
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        EmulatedKeyConfig config;
        config.socketPath = m_dir->filePath(QStringLiteral("key.sock"));
        config.stepDelayMs = 0;
        m_key = std::make_unique<EmulatedKey>(config);
        QVERIFY(m_key->start());
        m_bus = std::make_unique<EmulatedUsbBus>();
        m_config = std::make_unique<Configuration>();
        m_log = std::make_unique<LogCapture>();
        m_clock.start();
    }

    void cleanup()
    {
        m_linker.reset();
        m_link.reset();
        QCoreApplication::sendPostedEvents();
        m_log.reset();
        m_bus.reset();
        m_key.reset();
        m_dir.reset();
        m_states.clear();
        m_statusMessages.clear();
        m_frames.clear();
    }

    void discovery_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("usbids");
        QTest::addColumn<bool>("isKey");
        QTest::addColumn<QString>("logged");
        QTest::newRow("MS OS 2.0 GUID") << "2.0"
                                        << "" << true << "";
        QTest::newRow("MS OS 1.0 GUID, lower case") << "1.0"
                                                    << "" << true << "";
        QTest::newRow("usbids, no OS descriptor") << "none"
                                                  << "abcd:ef01, 1234:5678" << true << "";
        QTest::newRow("no OS descriptor") << "none"
                                          << "" << false << "";
        QTest::newRow("another GUID") << "wrong guid"
                                      << "" << false << "";
        QTest::newRow("only a control interface") << "control only"
                                                  << "1234:5678" << false << "";
        QTest::newRow("2.0 value past its descriptor")
            << "value past its descriptor"
            << "" << false
            << "USB device 1234:5678 (bus 1, address 2) ignored: its MS OS descriptors lie (MS OS 2.0 property value "
               "runs past its descriptor)";
        QTest::newRow("1.0 GUID string not terminated")
            << "guid not terminated"
            << "" << false
            << "USB device 1234:5678 (bus 1, address 2) ignored: its MS OS descriptors lie (interface GUID string not "
               "terminated)";
        QTest::newRow("capability past the BOS")
            << "capability past the BOS"
            << "" << false
            << "USB device 1234:5678 (bus 1, address 2) ignored: its MS OS descriptors lie (device capability runs "
               "past the BOS descriptor)";
    }
    // A key is found by the interface GUID in its MS OS 2.0 or 1.0 descriptors or by usbids, and only its
    // own interface is taken from the kernel driver; anything else is left alone (a device whose
    // descriptors lie, with one log line) and a key plugged in later is still found.
    void discovery()
    {
        QFETCH(QString, model);
        QFETCH(QString, usbids);
        QFETCH(bool, isKey);
        QFETCH(QString, logged);
        UsbKeyModel device = modelNamed(model);
        device.kernelDriver = true;
        const int address = m_bus->plug(device, isKey ? m_key->socketPath() : QString());
        startLink(20, usbdesc::parseUsbIds(usbids.toStdString()));
        if (isKey) {
            QTRY_VERIFY_WITH_TIMEOUT(m_linker->isKeyReady(), kKeyWaitMs);
            QCOMPARE(hex(m_bus->outTransfers(address).mid(0, 1)), hex({framed(kConnectRequest)}));
            QCOMPARE(m_key->messages().value(0), kConnectRequest);
            QCOMPARE(m_bus->detachedInterfaces(address), QList<int>({1}));
            QCOMPARE(m_log->count(QStringLiteral("Key 1234:5678 (bus 1, address 2): interface 1 was held by a kernel "
                                                 "driver; detached it")),
                     1);
            return;
        }
        // Looked at over several polls, but never opened for transfers, nor asked twice.
        QTest::qWait(100);
        const int requests = m_bus->controlRequests(address);
        QTest::qWait(100);
        QCOMPARE(m_bus->controlRequests(address), requests);
        QVERIFY(m_states.isEmpty());
        QVERIFY(m_bus->outTransfers(address).isEmpty());
        QVERIFY(m_bus->detachedInterfaces(address).isEmpty());
        QCOMPARE(m_log->lines().filter(QStringLiteral("ignored")),
                 logged.isEmpty() ? QStringList() : QStringList(logged));

        const int key = m_bus->plug(UsbKeyModel::withMsOs20(kGuid), m_key->socketPath());
        QTRY_VERIFY_WITH_TIMEOUT(m_linker->isKeyReady(), kKeyWaitMs);
        QCOMPARE(hex(m_bus->outTransfers(key).mid(0, 1)), hex({framed(kConnectRequest)}));
    }

    // The key's frame comes in one bulk transfer of 1024 bytes that ends short.
    void shortRead_deliversTheFrameOfOneShortTransfer()
    {
        const int address = m_bus->plug(UsbKeyModel::withMsOs20(kGuid), m_key->socketPath());
        startLink(20, {}, kUsbWriteTimeoutMs, false);
        QTRY_VERIFY_WITH_TIMEOUT(m_bus->pendingReads(address) == 1, kKeyWaitMs);
        const QByteArray frame = framed(QByteArray::fromHex("0102"));
        m_key->sendPacket(frame);
        QTRY_COMPARE_WITH_TIMEOUT(m_frames, QList<QByteArray>({QByteArray::fromHex("0102")}), kKeyWaitMs);
        QCOMPARE(m_bus->inTransfers(address), QStringList({QStringLiteral("1024/%1").arg(frame.size())}));
    }

    // A key that takes no write holds the window for the write limit only; it is dropped, its read
    // cancelled, and it is looked for again after one poll, then answers once it reads again.
    void writeTimesOut_keyDroppedAndLookedForAfterABackOff()
    {
        const int address = m_bus->plug(UsbKeyModel::withMsOs20(kGuid), m_key->socketPath());
        m_bus->setHung(address, true);
        const EventLoopGap gap;
        startLink(50, {}, 100);
        QTRY_COMPARE_WITH_TIMEOUT(m_states.mid(0, 2), QList<bool>({true, false}), kKeyWaitMs);
        QVERIFY2(gap.longestMs() < 100 + 200, qPrintable(QString::number(gap.longestMs())));
        QCOMPARE(hex(m_bus->outTransfers(address)), hex({framed(kConnectRequest)}));
        QVERIFY(m_key->messages().isEmpty());
        QVERIFY(m_bus->discardedTransfers(address) >= 1);
        QCOMPARE(m_log->count(QStringLiteral("Key does not read; looking for it again in 50 ms")), 1);

        m_bus->setHung(address, false);
        QTRY_VERIFY_WITH_TIMEOUT(m_linker->isKeyReady(), kKeyWaitMs);
        QCOMPARE(m_states.mid(0, 3), QList<bool>({true, false, true}));
        QCOMPARE(m_link->backoffMs(), 0);
    }

    // Unplugging fails the pending read with LIBUSB_TRANSFER_NO_DEVICE: the loss is reported at once and
    // again by the look that finds nothing.
    void unplugDuringRead_reportedTwiceThenLookedForAgain()
    {
        const int address = m_bus->plug(UsbKeyModel::withMsOs20(kGuid), m_key->socketPath());
        startLink(20);
        QTRY_VERIFY_WITH_TIMEOUT(m_linker->isKeyReady() && m_bus->pendingReads(address) == 1, kKeyWaitMs);
        m_states.clear();
        m_bus->unplug(address);
        QTRY_COMPARE_WITH_TIMEOUT(m_states, QList<bool>({false, false}), kKeyWaitMs);
        QCOMPARE(m_log->count(QStringLiteral("Device disconnected")), 1);
        QVERIFY(!m_linker->isKeyReady());
        QCOMPARE(m_link->phase(), usbLink::Phase::Searching);
    }

    // With hotplug the key plugged in again is found long before the next poll.
    void replug_foundByHotplugBeforeThePoll()
    {
        constexpr int poll = usbLink::kPollIntervalMs;
        const int first = m_bus->plug(UsbKeyModel::withMsOs20(kGuid), m_key->socketPath());
        startLink(poll);
        QTRY_COMPARE_WITH_TIMEOUT(m_states, QList<bool>({true}), kKeyWaitMs);
        m_bus->unplug(first);
        QTRY_COMPARE_WITH_TIMEOUT(m_states, QList<bool>({true, false, false}), poll + kKeyWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!m_key->hasClient(), kKeyWaitMs);
        const qint64 replugged = m_clock.elapsed();
        const int second = m_bus->plug(UsbKeyModel::withMsOs20(kGuid), m_key->socketPath());
        QTRY_COMPARE_WITH_TIMEOUT(m_states.size(), 4, kKeyWaitMs);
        QVERIFY(m_states.last());
        QVERIFY2(m_stateTimes.last() - replugged < poll / 2,
                 qPrintable(QString::number(m_stateTimes.last() - replugged)));
        QTRY_COMPARE_WITH_TIMEOUT(hex(m_bus->outTransfers(second)), hex({framed(kConnectRequest)}), kKeyWaitMs);
    }

    // A key the user may not open is said once in the status bar and once in the log, with the rule that
    // grants access; it does not stay silently grey.
    void noPermission_saidOnceInStatusBarAndLog()
    {
        const QString message = QStringLiteral("USB key 1234:5678 (bus 1, address 2) found but not opened: no "
                                               "permission. Install the udev rule 70-sealstation-key.rules and plug "
                                               "the key in again.");
        m_bus->plug(UsbKeyModel::withMsOs20(kGuid), m_key->socketPath(), false);
        {
            const DenyDeviceAccess denied;
            startLink(20);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_statusMessages, QStringList(message), kKeyWaitMs);
        QTest::qWait(200); // ten more looks
        QCOMPARE(m_statusMessages, QStringList(message));
        QCOMPARE(m_log->count(message), 1);
        QVERIFY(m_states.isEmpty());
    }

    // Shutting down cancels the pending read at once instead of waiting for anything to arrive.
    void shutdownWithReadPending_endsWithin100Ms()
    {
        const int address = m_bus->plug(UsbKeyModel::withMsOs20(kGuid), m_key->socketPath());
        startLink(20);
        QTRY_VERIFY_WITH_TIMEOUT(m_linker->isKeyReady() && m_bus->pendingReads(address) == 1, kKeyWaitMs);
        // Stopped on a thread of its own, so that a stop that waits fails this case instead of hanging it.
        std::future<void> stopped = std::async(std::launch::async, [this] { m_link->stop(); });
        const bool inTime = stopped.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready;
        if (!inTime)
            m_bus->unplug(address);
        QVERIFY2(inTime, "the pending read was not cancelled");
        stopped.wait();
        QVERIFY(m_link->isFinished());
        QCOMPARE(m_bus->discardedTransfers(address), 1);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(m_states, QList<bool>({true}));
    }

private:
    void startLink(int pollMs, const std::vector<usbdesc::UsbId> &usbIds = {}, int writeTimeoutMs = kUsbWriteTimeoutMs,
                   bool withEngine = true)
    {
        KeyDeviceOptions options;
        options.usbIds = usbIds;
        options.writeTimeoutMs = writeTimeoutMs;
        m_link = std::make_unique<usbLink>(createKeyDevice(options), pollMs, [] {});
        connect(m_link.get(), &usbLink::usbConnected, this, [this](bool stat) {
            m_states.append(stat);
            m_stateTimes.append(m_clock.elapsed());
        });
        if (!withEngine) {
            connect(m_link.get(), &usbLink::received, this, [this](unsigned char *buff, int len) {
                const std::unique_ptr<unsigned char[]> owned(buff);
                m_frames.append(QByteArray(reinterpret_cast<const char *>(buff), len));
            });
            m_link->start();
            return;
        }
        m_linker = std::make_unique<cLinker>(m_link.get(), m_config.get());
        connect(m_linker.get(), &cLinker::updateStatus, this, [this](QString text) { m_statusMessages << text; });
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<EmulatedKey> m_key;
    std::unique_ptr<EmulatedUsbBus> m_bus;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<usbLink> m_link;
    std::unique_ptr<cLinker> m_linker;
    QElapsedTimer m_clock;
    QList<bool> m_states;
    QList<qint64> m_stateTimes;
    QStringList m_statusMessages;
    QList<QByteArray> m_frames;
};

QTEST_GUILESS_MAIN(TestLibusb)
#include "test_libusb.moc"
