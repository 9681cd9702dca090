// The USB transport's real thread against the emulated key over a real socket.

#include "key/usblink.h"
#include "sim/emulatedkey.h"
#include "support/keytestsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestUsbLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void plugIn_reportsOnceAndDeliversGoodFramesWithoutFcs();
    void unplug_reportsDisconnectedTwiceAndLogsOnce();
    void sendWhilePolling_returnsMinusOneAndWritesNothing();
    void sendModes_writeEachBulkTransferAsOnePacket();
    void stop_unblocksPendingReadWithoutReportingDisconnect();

private:
    void plugIn();

    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<EmulatedKey> m_key;
    std::unique_ptr<usbLink> m_link;
    std::unique_ptr<QObject> m_receiver;
    QList<bool> m_states;
    QList<QByteArray> m_frames;
    int m_pauses = 0;
};

void TestUsbLink::init()
{
    m_log = std::make_unique<LogCapture>();
    m_dir = std::make_unique<QTemporaryDir>();
    EmulatedKeyConfig config;
    config.socketPath = m_dir->filePath(QStringLiteral("key.sock"));
    config.stepDelayMs = 0;
    m_key = std::make_unique<EmulatedKey>(config);
    m_link = std::make_unique<usbLink>(createUsbDevice(config.socketPath.toStdString()), 20, [this] { ++m_pauses; });
    m_receiver = std::make_unique<QObject>();
    m_states.clear();
    m_frames.clear();
    m_pauses = 0;
    // Queued to this thread, so the lists are only touched here.
    connect(m_link.get(), &usbLink::usbConnected, m_receiver.get(), [this](bool stat) { m_states.append(stat); });
    connect(m_link.get(), &usbLink::received, m_receiver.get(), [this](unsigned char *buff, int len) {
        const std::unique_ptr<unsigned char[]> owned(buff);
        m_frames.append(QByteArray(reinterpret_cast<const char *>(buff), len));
    });
}

void TestUsbLink::cleanup()
{
    m_link.reset();
    QCoreApplication::sendPostedEvents();
    m_receiver.reset();
    m_key.reset();
    m_dir.reset();
    m_log.reset();
}

void TestUsbLink::plugIn()
{
    QVERIFY(m_key->start());
    m_link->start();
    QTRY_COMPARE(m_states, QList<bool>({true}));
    QTRY_VERIFY(m_key->hasClient());
}

void TestUsbLink::plugIn_reportsOnceAndDeliversGoodFramesWithoutFcs()
{
    plugIn();
    // An empty packet and a corrupt frame leave the link up; noise around a good frame is dropped.
    m_key->sendPacket(QByteArray());
    QByteArray corrupt = framed(QByteArray::fromHex("0001"));
    corrupt[1] = static_cast<char>(corrupt[1] ^ 0x04);
    m_key->sendPacket(corrupt);
    m_key->sendPacket(QByteArray::fromHex("55") + framed(QByteArray::fromHex("0102")) + QByteArray::fromHex("7e09"));
    QTRY_COMPARE(m_frames, QList<QByteArray>({QByteArray::fromHex("0102")}));
    QCOMPARE(m_states, QList<bool>({true}));
    QVERIFY(m_link->isConnected());
    QCOMPARE(m_log->count(QStringLiteral("Device found")), 1);
}

void TestUsbLink::unplug_reportsDisconnectedTwiceAndLogsOnce()
{
    plugIn();
    m_key->unplug();
    QTRY_COMPARE(m_states, QList<bool>({true, false, false}));
    QVERIFY(!m_link->isConnected());
    QCOMPARE(m_log->count(QStringLiteral("Device disconnected")), 1);

    // Plugged in again: found afresh, with nothing reported in between.
    QVERIFY(m_key->plug());
    QTRY_COMPARE(m_states, QList<bool>({true, false, false, true}));
    QCOMPARE(m_log->count(QStringLiteral("Device found")), 2);
    QCOMPARE(m_log->count(QStringLiteral("Device disconnected")), 1);
}

void TestUsbLink::sendWhilePolling_returnsMinusOneAndWritesNothing()
{
    m_link->start();
    unsigned char payload[] = {0x01, 0x02};
    QCOMPARE(m_link->send(payload, 2), -1);
    QCOMPARE(m_link->framedSend(payload, 2), -1);

    QVERIFY(m_key->start());
    QTRY_COMPARE(m_states, QList<bool>({true}));
    QCOMPARE(m_link->send(payload, 2), 1);
    QTRY_COMPARE(m_key->packets(), QList<QByteArray>({framed(QByteArray::fromHex("0102"))}));
}

void TestUsbLink::sendModes_writeEachBulkTransferAsOnePacket()
{
    plugIn();
    QByteArray sixtyFour(60, '\x11'); // frames to exactly 64 bytes: padded with a one-byte 0x30 write
    QByteArray sixtyFive(61, '\x11');
    QByteArray pieces(126, '\x22'); // frames to 130 bytes: 63 + 63 + 4
    QCOMPARE(m_link->send(reinterpret_cast<unsigned char *>(sixtyFour.data()), sixtyFour.size()), 1);
    QCOMPARE(m_link->send(reinterpret_cast<unsigned char *>(sixtyFive.data()), sixtyFive.size()), 1);
    QCOMPARE(m_link->framedSend(reinterpret_cast<unsigned char *>(pieces.data()), pieces.size()), 1);
    QCOMPARE(m_pauses, 3);
    const QByteArray frame = framed(pieces);
    QTRY_COMPARE(m_key->packets(), QList<QByteArray>({framed(sixtyFour), QByteArray("0"), framed(sixtyFive),
                                                      frame.left(63), frame.mid(63, 63), frame.mid(126)}));
    QCOMPARE(m_key->messages(), QList<QByteArray>({sixtyFour, sixtyFive, pieces}));
}

void TestUsbLink::stop_unblocksPendingReadWithoutReportingDisconnect()
{
    plugIn();
    QElapsedTimer timer;
    timer.start();
    m_link->stop();
    QVERIFY(m_link->isFinished());
    QVERIFY2(timer.elapsed() < 1000, "the blocked read was not woken");
    QVERIFY(!m_link->isConnected());
    QCoreApplication::sendPostedEvents();
    QCOMPARE(m_states, QList<bool>({true}));
    QCOMPARE(m_log->count(QStringLiteral("Device disconnected")), 0);
    unsigned char payload[] = {0x01};
    QCOMPARE(m_link->send(payload, 1), -1);
}

QTEST_GUILESS_MAIN(TestUsbLink)
#include "test_usblink.moc"
