#include "fuzz/kprops.h"
#include "key/kframe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtTest>

#include <chrono>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes fromHex(const QByteArray &hex)
{
    const QByteArray b = QByteArray::fromHex(hex);
    return Bytes(b.begin(), b.end());
}

QByteArray hexOf(const uint8_t *data, size_t len)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(len)).toHex().toUpper();
}

// Runs receive steps over the transfers until the pipe fails: each delivered payload in hex, "-" for
// a step that delivered nothing, "!" for the failed pipe.
QByteArray receiveAll(const QList<Bytes> &transfers, bool *holdsBufferAtEnd = nullptr)
{
    kprops::MemoryPipe pipe;
    pipe.reads.assign(transfers.begin(), transfers.end());
    kframe::FrameReceiver receiver;
    QByteArrayList steps;
    for (;;) {
        std::unique_ptr<uint8_t[]> payload;
        int len = 0;
        const auto step = receiver.step(pipe, payload, len);
        if (step == kframe::FrameReceiver::Step::PipeFailed)
            break;
        steps << (payload ? hexOf(payload.get(), static_cast<size_t>(len)) : "-");
    }
    if (holdsBufferAtEnd)
        *holdsBufferAtEnd = receiver.holdsBuffer();
    return (steps << "!").join(' ');
}

} // namespace

class TestFrame : public QObject
{
    Q_OBJECT

private slots:
    // RFC 1662: the FCS-16 of the ASCII text "123456789" is 0x906E once complemented (CRC-16/X-25),
    // and running it over data plus the complemented FCS leaves the good residue 0xF0B8.
    void fcs16_matchesTheRfc1662CheckValue()
    {
        const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x6E, 0x90};
        QCOMPARE(static_cast<uint16_t>(~kframe::fcs16(kframe::kFcsInit, text, 9)), uint16_t(0x906E));
        QCOMPARE(kframe::fcs16(kframe::kFcsInit, text, sizeof text), kframe::kFcsGood);
    }

    void buildFrame_writesExactBytesAndIsReceivedBack_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("flag and escape stuffed") << QByteArray("017E7D") << QByteArray("7E017D5E7D5DA65E7E");
        QTest::newRow("scan request plus one byte")
            << QByteArray("01011305000000") << QByteArray("7E0101130500000055D07E");
        QTest::newRow("empty payload") << QByteArray("") << QByteArray("7E00007E");
    }
    void buildFrame_writesExactBytesAndIsReceivedBack()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, frame);
        const Bytes p = fromHex(payload);
        Bytes out(kframe::maxFrameSize(p.size()));
        out.resize(kframe::buildFrame(p.data(), p.size(), out.data(), out.size()));
        QCOMPARE(hexOf(out.data(), out.size()), frame);
        QCOMPARE(kframe::buildFrame(p.data(), p.size(), out.data(), out.size() - 1), size_t(0));
        QCOMPARE(receiveAll({out}), payload + " !");
    }

    // Payloads made only of bytes that need escaping, larger than any message, fit the frame buffer.
    void send_worstCasePayloadNeverOverflowsTheFrameBuffer()
    {
        const Bytes payload(3000, kframe::kEscape);
        for (int len : {1025, 3000}) { // the largest message frame, and one built on the heap
            kprops::MemoryPipe pipe;
            QCOMPARE(kframe::sendWhole(pipe, payload.data(), len), 1);
            QVERIFY(pipe.writes.front().size() >= 2 * size_t(len) + 4 && kprops::frameRoundTrips(payload.data(), len));
        }
    }

    void send_writesTheAgreedPieces_data()
    {
        QTest::addColumn<bool>("pieces");
        QTest::addColumn<int>("frameLength");
        QTest::addColumn<int>("failingWrite");
        QTest::addColumn<QString>("writes"); // lengths of the writes in order
        QTest::addColumn<int>("result");
        QTest::newRow("63 whole") << false << 63 << -1 << "63" << 1;
        QTest::newRow("64 whole, then 0x30") << false << 64 << -1 << "64 1" << 1;
        QTest::newRow("whole, frame write fails") << false << 64 << 0 << "64 1" << 0;
        QTest::newRow("whole, extra byte fails") << false << 64 << 1 << "64 1" << 1;
        QTest::newRow("130 in pieces") << true << 130 << -1 << "63 63 4" << 1;
        QTest::newRow("pieces, middle one fails") << true << 130 << 1 << "63 63 4" << 0;
    }
    void send_writesTheAgreedPieces()
    {
        QFETCH(bool, pieces);
        QFETCH(int, frameLength);
        QFETCH(int, failingWrite);
        QFETCH(QString, writes);
        QFETCH(int, result);
        // Bytes below 0x7D need no stuffing; the first byte is chosen so that the FCS needs none either.
        Bytes payload(static_cast<size_t>(frameLength - 4), 0x11);
        Bytes frame(kframe::maxFrameSize(payload.size()));
        while (kframe::buildFrame(payload.data(), payload.size(), frame.data(), frame.size()) != size_t(frameLength))
            ++payload[0];
        kprops::MemoryPipe pipe;
        pipe.failWriteIndex = failingWrite;
        int pauses = 0;
        const int len = static_cast<int>(payload.size());
        QCOMPARE(pieces ? kframe::sendInPieces(pipe, payload.data(), len, [&pauses] { ++pauses; })
                        : kframe::sendWhole(pipe, payload.data(), len),
                 result);
        QStringList lengths;
        Bytes sent;
        for (const Bytes &w : pipe.writes) {
            lengths << QString::number(w.size());
            sent.insert(sent.end(), w.begin(), w.end());
        }
        QCOMPARE(lengths.join(' '), writes);
        QCOMPARE(pauses, pieces ? lengths.size() : 0);
        frame.resize(size_t(frameLength));
        QCOMPARE(hexOf(sent.data(), sent.size()),
                 hexOf(frame.data(), frame.size()) + (lengths.size() == 2 ? "30" : ""));
    }

    // The pieces of one frame share one deadline: a key that stops taking them after the second holds
    // the frame for one write limit, not one limit for each of the 15 pieces left.
    void sendInPieces_keyStallsAfterTwoPieces_frameFailsWithinOneLimit()
    {
        constexpr auto limit = std::chrono::milliseconds(100);
        kprops::MemoryPipe pipe;
        pipe.writeLimit = limit;
        pipe.stallFromWrite = 2;
        const Bytes payload(1016, 0x11); // the longest frame the engine sends, in 17 pieces
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(kframe::sendInPieces(pipe, payload.data(), static_cast<int>(payload.size()), [] {}), 0);
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed >= limit.count() && elapsed < 3 * limit.count(), qPrintable(QString::number(elapsed)));
        Bytes frame(kframe::maxFrameSize(payload.size()));
        frame.resize(kframe::buildFrame(payload.data(), payload.size(), frame.data(), frame.size()));
        QCOMPARE(pipe.writes.size(), size_t(17));
        QCOMPARE(frame.size(), size_t(1020));
        QCOMPARE(hexOf(pipe.writes[1].data(), pipe.writes[1].size()), hexOf(frame.data() + 63, 63));
    }

    void receive_deliversOnlyGoodFrames_data()
    {
        QTest::addColumn<QByteArray>("transfers"); // hex, one transfer per '|'
        QTest::addColumn<QByteArray>("steps");
        QTest::newRow("noise before, bytes after") << QByteArray("557E01028D357E7E09") << QByteArray("0102 !");
        QTest::newRow("escape before closing flag") << QByteArray("7E01028D357D7E") << QByteArray("0102 !");
        QTest::newRow("no flag at all") << QByteArray("01028D35") << QByteArray("0102 !");
        QTest::newRow("second frame is lost") << QByteArray("7E01028D357E7E00007E") << QByteArray("0102 !");
        QTest::newRow("bad FCS, then good") << QByteArray("7E01028D367E|7E01028D357E") << QByteArray("- 0102 !");
        QTest::newRow("empty read, one byte, flags")
            << QByteArray("|7E007E|7E7E|7E01028D357E") << QByteArray("- - - 0102 !");
        const Bytes good = fromHex("7E0101130500000055D07E");
        for (size_t bit = 0; bit < good.size() * 8; ++bit) {
            Bytes bad = good;
            bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            QTest::addRow("bit %d flipped", int(bit))
                << hexOf(bad.data(), bad.size()) + "|" + hexOf(good.data(), good.size())
                << QByteArray("- 01011305000000 !");
        }
    }
    void receive_deliversOnlyGoodFrames()
    {
        QFETCH(QByteArray, transfers);
        QFETCH(QByteArray, steps);
        QList<Bytes> reads;
        for (const QByteArray &hex : transfers.split('|'))
            reads << fromHex(hex);
        bool holdsBuffer = true;
        QCOMPARE(receiveAll(reads, &holdsBuffer), steps);
        QVERIFY(!holdsBuffer); // released once the pipe failed
    }

    // Seeds whole, in 7-byte chunks and byte by byte give the same frames.
    void receivers_getSeedsInAnyChunks()
    {
        const QDir dir(QStringLiteral(SEALSTATION_SOURCE_DIR "/fuzz/corpus/receive"));
        QByteArray stream;
        for (const QString &name : dir.entryList(QDir::Files)) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray seed = file.readAll();
            stream += seed;
            QVERIFY(!receiveAll({Bytes(seed.begin(), seed.end())}).startsWith('-'));
        }
        for (int chunk : {static_cast<int>(stream.size()), 7, 1}) {
            kframe::StreamDeframer deframer(300); // one seed, the 300-byte Bytes item, is longer
            int good = 0;
            for (int offset = 0; offset < stream.size(); offset += chunk)
                deframer.feed(reinterpret_cast<const uint8_t *>(stream.data()) + offset,
                              static_cast<size_t>(std::min(chunk, static_cast<int>(stream.size()) - offset)),
                              [&good](const uint8_t *c, size_t n) { good += kframe::fcsGood(c, n) ? 1 : 0; });
            QCOMPARE(good, dir.entryList(QDir::Files).size() - 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestFrame)
#include "test_frame.moc"
