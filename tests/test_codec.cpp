#include "fuzz/kprops.h"
#include "key/kcodec.h"

#include <QtTest>

namespace {

QByteArray hexOf(const uint8_t *data, int n)
{
    return QByteArray(reinterpret_cast<const char *>(data), n).toHex().toUpper();
}

// Parses an exactly sized copy, so that the sanitizer sees any read past the received bytes.
std::unique_ptr<KMessage> parseHex(const QByteArray &hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    const std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    return KMessage::parse(exact.data(), exact.size());
}

} // namespace

class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    // Every item type with its exact wire bytes, parsed back to the same items; the messages the engine
    // sends are pinned on the wire by the engine suite.
    void serialize_writesExactBytesThatParseToTheSameItems()
    {
        const uint8_t rf[] = {0x04, 0xA2, 0x2B};
        KMessage message(DATA);
        message.addTag(newTagNull(TAG_TRANSFER_REQUEST));
        message.addTag(newTagString(TAG_BOX, "abc"));
        message.addTag(newTagUInt32(TAG_SERIAL, 0xABCDEF));
        message.addTag(newTagUInt16(TAG_PORT, 0x1234));
        message.addTag(newTagUInt8(TAG_KEY_BAR, 0x80));
        message.addTag(newTagBytes(TAG_SCAN, rf, 3));
        uint8_t buffer[KMESSAGE_MAX_SIZE];
        const int n = message.serialize(buffer, sizeof buffer);
        QCOMPARE(hexOf(buffer, n), QByteArray("0506 21000000 0101000461626300 0002000400ABCDEF 240300021234 "
                                              "0B04000180 1305000304A22B")
                                       .replace(' ', ""));
        std::unique_ptr<KMessage> parsed = KMessage::parse(buffer, static_cast<size_t>(n));
        QVERIFY(parsed && kprops::sameItems(message, *parsed));
    }

    void items_keepTheirLimits()
    {
        const std::string source(2000, 'x');
        KTagString longText(TAG_LABEL_TEXT, source.c_str());
        QCOMPARE(longText.length(), uint16_t(1024));
        QCOMPARE(strlen(longText.text()), size_t(1023));
        char small[32];
        memset(small, '#', sizeof small);
        QCOMPARE(KTagString(TAG_BOX, std::string(32, 'y').c_str()).copyTo(small, sizeof small), 0);
        QCOMPARE(QByteArray(small, 32), QByteArray(32, '#'));

        const std::vector<uint8_t> data(1500, 0xAA);
        uint8_t wire[304];
        QCOMPARE(KTagBytes(TAG_DATA, data.data(), 300).encode(wire, sizeof wire), 304);
        QCOMPARE(hexOf(wire, 4), QByteArray("2505012C"));
        QCOMPARE(KTagBytes(TAG_DATA, data.data(), data.size()).length(), uint16_t(1024));
    }

    void serialize_limitsTheMessageTo1024Bytes_data()
    {
        QTest::addColumn<int>("itemsTotal");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QByteArray>("header"); // the first two bytes of the buffer afterwards
        QTest::newRow("1022 fits") << 1022 << 1024 << QByteArray("0501");
        QTest::newRow("1023 does not") << 1023 << 0 << QByteArray("0909");
        QTest::newRow("no items, header written") << 0 << 0 << QByteArray("0500");
    }
    void serialize_limitsTheMessageTo1024Bytes()
    {
        QFETCH(int, itemsTotal);
        KMessage message(DATA);
        const std::vector<uint8_t> data(2048, 0x7E);
        if (itemsTotal > 0)
            message.addTag(newTagBytes(TAG_DATA, data.data(), static_cast<size_t>(itemsTotal - 4)));
        uint8_t buffer[2048] = {9, 9};
        QTEST(message.serialize(buffer, sizeof buffer), "expected");
        QTEST(hexOf(buffer, 2), "header");
    }

    void addTag_countWrapsAt256AndAlwaysAppendsAfterTheLastItem()
    {
        KMessage message(NOTIFY);
        QByteArray wire = "0000";
        for (int i = 0; i < 256; ++i, wire += "10000000")
            message.addTag(newTagNull(0x10));
        QCOMPARE(message.count(), uint8_t(0));
        QVERIFY(parseHex(wire) && parseHex(wire)->size() == 256);
        QVERIFY(!parseHex(wire.replace(0, 4, "0001")));

        KMessage answer(NOTIFY);
        uint8_t buffer[64];
        answer.addTag(newTagUInt8(TAG_HOST_QUERY, 1));
        QCOMPARE(answer.serialize(buffer, sizeof buffer), 7);
        answer.addTag(newTagUInt8(TAG_HOST_QUERY_END, 2));
        while (answer.next()) {
        }
        QCOMPARE(answer.addTag(newTagNull(TAG_HOST_TIME)), 3);
        QCOMPARE(hexOf(buffer, answer.serialize(buffer, sizeof buffer)),
                 QByteArray("00031004000101110400010212000000"));
    }

    void parse_followsTheAnnouncedCount_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<QByteArray>("tags"); // the tags parsed, "-" when nothing parses
        QTest::addColumn<QByteArray>("text"); // of the String item, if any
        const auto row = [](const char *name, const char *hex, const char *tags, const char *text = "") {
            QTest::newRow(name) << QByteArray(hex) << QByteArray(tags) << QByteArray(text);
        };
        row("3 items for 2", "0002 0C04000132 2D04000101 21000000", "-");
        row("2 items, trailing byte", "0002 0C04000132 2D04000101 FF", "0C2D");
        row("type 6 ends, count short", "0002 0C04000132 2D060000", "-");
        row("type 6 ends, count met", "0001 0C04000132 2D060000", "0C");
        row("null with wire length 3", "0002 05000003 060400012A", "0506");
        row("string runs to its NUL", "0002 01010002 61626300 21000000", "0121", "abc");
        row("string without NUL", "0001 01010002 6162", "01", "ab");
        row("number past the bytes", "0001 05020000", "-");
        row("one byte", "00", "-");
    }
    void parse_followsTheAnnouncedCount()
    {
        QFETCH(QByteArray, hex);
        std::unique_ptr<KMessage> m = parseHex(hex);
        QByteArray tags;
        for (KTag *t = m && m->first() ? m->next() : nullptr; t; t = m->next()) {
            tags += char(t->tag());
            if (t->type() == KTAG_STRING) // read up to the NUL, or to the end of the bytes
                QTEST(QByteArray(static_cast<KTagString *>(t)->text()), "text");
        }
        QTEST(m ? tags.toHex().toUpper() : QByteArray("-"), "tags");
    }
};

QTEST_GUILESS_MAIN(TestCodec)
#include "test_codec.moc"
