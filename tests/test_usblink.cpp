// The USB transport's real thread against the emulated key over a real socket.

#include "key/usblink.h"
#include "sim/emulatedkey.h"
#include "support/keytestsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace {

// A key that stays plugged in: it takes writes while `taking`, and otherwise hangs, so that a write
// fails at its deadline and drops the key, which fails the pending read as a hung key's does.
class HangingDevice final : public UsbDevice
{
public:
    explicit HangingDevice(QElapsedTimer &clock) : m_clock(clock) {}

    bool openDevice() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dropped = false;
        m_timedOut = false;
        m_opens.append(m_clock.elapsed());
        return !m_cancelled;
    }
    int readBulk(uint8_t *, int) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return m_dropped || m_cancelled; });
        return -1;
    }
    int writeBulk(const uint8_t *, int count, kframe::Deadline deadline) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_taking)
            return count;
        m_wake.wait_until(lock, deadline, [this] { return m_cancelled; });
        m_timedOut = m_dropped = true;
        m_drops.append(m_clock.elapsed());
        m_wake.notify_all();
        return -1;
    }
    kframe::Deadline frameDeadline() const override
    {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    }
    bool lostToWriteTimeout() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_timedOut;
    }
    void cancel() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        m_wake.notify_all();
    }

    void setTaking(bool taking)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_taking = taking;
    }
    // Milliseconds from each drop to the look that found the key again.
    QList<qint64> waits() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        QList<qint64> waits;
        for (int i = 0; i < m_drops.size() && i + 1 < m_opens.size(); ++i)
            waits << m_opens.at(i + 1) - m_drops.at(i);
        return waits;
    }

private:
    QElapsedTimer &m_clock;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_taking = false;
    bool m_dropped = false;
    bool m_timedOut = false;
    bool m_cancelled = false;
    QList<qint64> m_opens;
    QList<qint64> m_drops;
};

} // namespace

class TestUsbLink : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        EmulatedKeyConfig config;
        config.socketPath = m_dir->filePath(QStringLiteral("key.sock"));
        config.stepDelayMs = 0;
        m_key = std::make_unique<EmulatedKey>(config);
        m_clock.start();
        makeLink(20);
    }

    void cleanup()
    {
        m_link.reset();
        QCoreApplication::sendPostedEvents();
        m_key.reset();
        m_dir.reset();
    }

    // Nothing is written before a key is found or after stop; stop wakes the blocked read without
    // reporting a loss.
    void plugIn_receivesFramesUntilStopWakesTheRead()
    {
        unsigned char payload[] = {0x01, 0x02};
        QCOMPARE(m_link->send(payload, 2), -1);
        QCOMPARE(m_link->framedSend(payload, 2), -1);
        // Only a key socket served by this user is talked to.
        QVERIFY(m_key->start());
        const std::string path = m_key->socketPath().toStdString();
        QVERIFY(!createUsbDevice(path, kUsbWriteTimeoutMs, static_cast<long>(::getuid()) + 1)->openDevice());
        QVERIFY(createUsbDevice(path)->openDevice());
        QTRY_VERIFY_WITH_TIMEOUT(!m_key->hasClient(), kKeyWaitMs);
        plugIn();
        // An empty packet leaves the link up; the frame arrives without its flags and FCS.
        m_key->sendPacket(QByteArray());
        m_key->sendPacket(framed(QByteArray::fromHex("0102")));
        QTRY_COMPARE_WITH_TIMEOUT(m_frames, QList<QByteArray>({QByteArray::fromHex("0102")}), kKeyWaitMs);

        QElapsedTimer timer;
        timer.start();
        m_link->stop();
        QVERIFY(m_link->isFinished());
        QVERIFY2(timer.elapsed() < 1000, "the blocked read was not woken");
        QCoreApplication::sendPostedEvents();
        QCOMPARE(m_states, QList<bool>({true}));
        QCOMPARE(m_link->send(payload, 1), -1);
        QVERIFY(m_key->packets().isEmpty());
    }

    // With the product's poll interval: the failed read and the first look that follows report the loss
    // at once, without waiting a poll in between.
    void unplug_reportedAtOnceThenLookedForAgain()
    {
        makeLink(usbLink::kPollIntervalMs);
        plugIn();
        m_key->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(m_states, QList<bool>({true, false, false}), kKeyWaitMs);
        QVERIFY2(m_stateTimes.at(2) - m_stateTimes.at(1) < usbLink::kPollIntervalMs / 2,
                 qPrintable(QString::number(m_stateTimes.at(2) - m_stateTimes.at(1))));
    }

    // Frames read while the window is busy wait for it up to a bound; the rest are dropped and counted.
    void keyFloodsWhileWindowBusy_waitingFramesBounded()
    {
        const LogCapture log;
        plugIn();
        const int sent = usbLink::kMaxQueuedFrames + 40;
        for (int i = 0; i < sent; ++i)
            m_key->sendPacket(framed(QByteArray::number(i)));
        // No event is handled here: the window is busy while the transport reads.
        QElapsedTimer waited;
        waited.start();
        while (m_link->droppedFrames() < 40 && waited.elapsed() < kKeyWaitMs)
            QThread::msleep(5);
        QCOMPARE(m_link->droppedFrames(), 40);
        QTRY_COMPARE_WITH_TIMEOUT(m_frames.size(), usbLink::kMaxQueuedFrames, kKeyWaitMs);
        QCOMPARE(m_frames.first(), QByteArray("0"));
        QCOMPARE(m_frames.last(), QByteArray::number(usbLink::kMaxQueuedFrames - 1));
        QCOMPARE(log.lines().filter(QStringLiteral("dropping frames")).size(), 1);
    }

    // A key that stops reading holds each write for the time-out at most, and is then lost and found again.
    void keyStopsReading_writeTimesOutAndKeyIsFoundAgain()
    {
        makeLink(20, 200);
        plugIn();
        m_key->setReading(false);
        QByteArray payload(1000, '\x11');
        int result = 1;
        qint64 longest = 0;
        // The writes run beside the test, whose own bound fails it if the write limit does not hold.
        std::atomic<bool> written{false};
        std::thread writer([&] {
            for (int i = 0; i < 100000 && result == 1; ++i) {
                QElapsedTimer write;
                write.start();
                result = m_link->send(reinterpret_cast<unsigned char *>(payload.data()), payload.size());
                longest = std::max(longest, write.elapsed());
            }
            written = true;
        });
        const bool inTime = QTest::qWaitFor([&written] { return written.load(); }, kKeyWaitMs);
        if (!inTime)
            m_link->stop(); // wakes the stuck write, so that the writer can be joined
        writer.join();
        QVERIFY2(inTime, "a write to a key that stopped reading did not end within the bound");
        QCOMPARE(result, 0);
        QVERIFY2(longest < 200 + 500, qPrintable(QString::number(longest)));
        QTRY_VERIFY_WITH_TIMEOUT(m_states.size() >= 3 && m_states.last() && m_key->hasClient(), kKeyWaitMs);
        QCOMPARE(m_states.mid(0, 2), QList<bool>({true, false}));
        m_key->clearRecord();
        QCOMPARE(m_link->send(reinterpret_cast<unsigned char *>(payload.data()), payload.size()), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_key->messages(), QList<QByteArray>({payload}), kKeyWaitMs);
    }

    void backoff_doublesFromOnePollUpToItsCap_data()
    {
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("next");
        QTest::newRow("first time-out: one poll") << 0 << 1000;
        QTest::newRow("second: two") << 1000 << 2000;
        QTest::newRow("doubling reaches the cap") << 16000 << 30000;
        QTest::newRow("stays at the cap") << 30000 << 30000;
    }
    void backoff_doublesFromOnePollUpToItsCap()
    {
        QFETCH(int, current);
        QFETCH(int, next);
        QCOMPARE(usbLink::nextBackoffMs(current, usbLink::kPollIntervalMs), next);
    }

    // A key that is found again at once but times out again on its connect request is looked for after
    // one poll, then two, then four; a write it takes ends the back-off.
    void keyKeepsTimingOut_nextLookWaitsLongerEachTime()
    {
        m_key.reset();
        auto owned = std::make_unique<HangingDevice>(m_clock);
        HangingDevice *device = owned.get();
        makeLinkOn(std::move(owned), 50);
        usbLink *link = m_link.get();
        const auto send = [link] {
            QByteArray request = QByteArray::fromHex("01011A020004000000000000");
            return link->send(reinterpret_cast<unsigned char *>(request.data()), request.size());
        };
        // As the engine does: every key found is sent a connect request.
        connect(link, &usbLink::usbConnected, link, [this, send](bool stat) {
            if (stat)
                m_writeResults << send();
        });
        m_link->start();
        QTRY_VERIFY_WITH_TIMEOUT(device->waits().size() >= 3, kKeyWaitMs);
        const QList<qint64> waits = device->waits();
        for (int i = 0; i < 3; ++i) {
            const qint64 expected = 50 << i;
            QVERIFY2(waits.at(i) >= expected - 2 && waits.at(i) < 2 * expected,
                     qPrintable(QStringLiteral("wait %1: %2 ms").arg(i).arg(waits.at(i))));
        }
        QCOMPARE(m_writeResults.mid(0, 3), QList<int>({0, 0, 0}));
        QTRY_VERIFY_WITH_TIMEOUT(m_link->phase() == usbLink::Phase::BackingOff, kKeyWaitMs);

        device->setTaking(true);
        QTRY_COMPARE_WITH_TIMEOUT(m_writeResults.last(), 1, kKeyWaitMs);
        QCOMPARE(m_link->backoffMs(), 0);
        QCOMPARE(m_link->phase(), usbLink::Phase::Open);
        device->setTaking(false);
        QCOMPARE(send(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_link->backoffMs(), 50, kKeyWaitMs);
    }

private:
    void makeLink(int pollMs, int writeTimeoutMs = kUsbWriteTimeoutMs)
    {
        makeLinkOn(createUsbDevice(m_key->socketPath().toStdString(), writeTimeoutMs), pollMs);
    }

    void makeLinkOn(std::unique_ptr<UsbDevice> device, int pollMs)
    {
        m_link.reset();
        m_link = std::make_unique<usbLink>(std::move(device), pollMs, [] {});
        m_writeResults.clear();
        m_states.clear();
        m_stateTimes.clear();
        m_frames.clear();
        // Queued to this thread, so the lists are only touched here.
        connect(m_link.get(), &usbLink::usbConnected, this, [this](bool stat) {
            m_states.append(stat);
            m_stateTimes.append(m_clock.elapsed());
        });
        connect(m_link.get(), &usbLink::received, this, [this](unsigned char *buff, int len) {
            const std::unique_ptr<unsigned char[]> owned(buff);
            m_frames.append(QByteArray(reinterpret_cast<const char *>(buff), len));
        });
    }

    void plugIn()
    {
        QVERIFY(m_key->isPluggedIn() || m_key->start());
        m_link->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_states, QList<bool>({true}), kKeyWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_key->hasClient(), kKeyWaitMs);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<EmulatedKey> m_key;
    std::unique_ptr<usbLink> m_link;
    QList<bool> m_states;
    QList<qint64> m_stateTimes;
    QElapsedTimer m_clock;
    QList<QByteArray> m_frames;
    QList<int> m_writeResults;
};

QTEST_GUILESS_MAIN(TestUsbLink)
#include "test_usblink.moc"
