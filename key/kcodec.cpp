#include "key/kcodec.h"

#include "key/kframe.h"

#include <algorithm>
#include <cstring>

namespace {

void putBigEndian(uint8_t *out, uint32_t value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

// Payload width of the numeric types, 0 for the others.
size_t numericWidth(uint8_t typeCode)
{
    switch (typeCode) {
    case KTAG_UINT32:
        return 4;
    case KTAG_UINT16:
        return 2;
    case KTAG_UINT8:
        return 1;
    default:
        return 0;
    }
}

uint32_t readWire(const uint8_t *p, size_t width)
{
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value = (value << 8) | p[i];
    return value;
}

} // namespace

// ---- KTag ------------------------------------------------------------------------------------

uint8_t *KTag::setPayload(const uint8_t *bytes, uint16_t length)
{
    m_length = length;
    m_heap.reset();
    uint8_t *target = m_inline;
    if (length > kInlineSize) {
        m_heap = std::make_unique<uint8_t[]>(length);
        target = m_heap.get();
    }
    if (bytes && length > 0)
        std::memcpy(target, bytes, length);
    return target;
}

uint32_t KTag::readBigEndian(int width) const
{
    const uint8_t *p = payload();
    if (!p)
        return 0;
    uint32_t value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | (i < m_length ? p[i] : 0u);
    return value;
}

int KTag::encode(uint8_t *buffer, size_t size) const
{
    const size_t wireSize = static_cast<uint16_t>(m_length + KTAG_HEADER_SIZE);
    if (!buffer || size == 0 || wireSize > size)
        return 0;
    buffer[0] = m_tag;
    buffer[1] = (m_type >= KTAG_STRING && m_type <= KTAG_BYTES) ? static_cast<uint8_t>(m_type) : 0;
    buffer[2] = static_cast<uint8_t>(m_length >> 8);
    buffer[3] = static_cast<uint8_t>(m_length & 0xFF);
    if (m_length > 0)
        std::memcpy(buffer + KTAG_HEADER_SIZE, payload(), m_length);
    return static_cast<int>(wireSize);
}

std::unique_ptr<KTag> KTag::parse(const uint8_t *bytes, size_t size, size_t *nextPos)
{
    if (!bytes || size < KTAG_HEADER_SIZE)
        return nullptr;
    const uint8_t tag = bytes[0];
    const uint8_t typeCode = bytes[1];
    const size_t wireLength = (static_cast<size_t>(bytes[2]) << 8) | bytes[3];
    if (size < wireLength + KTAG_HEADER_SIZE || typeCode > KTAG_BYTES)
        return nullptr;
    const uint8_t *payload = bytes + KTAG_HEADER_SIZE;
    const size_t available = size - KTAG_HEADER_SIZE;

    // Numbers are read from their fixed width whatever the wire length says; refuse an item whose
    // number would lie past the received bytes.
    const size_t width = numericWidth(typeCode);
    if (width > available)
        return nullptr;

    std::unique_ptr<KTag> item;
    switch (typeCode) {
    case KTAG_NULL:
        item = std::make_unique<KTagNull>(tag);
        break;
    case KTAG_STRING:
        // The text runs to its NUL, which may lie past the wire length, but never past the bytes.
        item = std::make_unique<KTagString>(tag, reinterpret_cast<const char *>(payload), available);
        break;
    case KTAG_UINT32:
        item = std::make_unique<KTagUInt32>(tag, readWire(payload, 4));
        break;
    case KTAG_UINT16:
        item = std::make_unique<KTagUInt16>(tag, static_cast<uint16_t>(readWire(payload, 2)));
        break;
    case KTAG_UINT8:
        item = std::make_unique<KTagUInt8>(tag, payload[0]);
        break;
    default:
        item = std::make_unique<KTagBytes>(tag, payload, wireLength);
        break;
    }
    if (nextPos)
        *nextPos = KTAG_HEADER_SIZE + wireLength;
    return item;
}

// ---- item types ------------------------------------------------------------------------------

KTagString::KTagString(uint8_t tag, const char *text) : KTagString(tag, text, KTAG_MAX_TEXT) {}

KTagString::KTagString(uint8_t tag, const char *text, size_t available) : KTag(tag, KTAG_STRING)
{
    const size_t chars = text ? strnlen(text, std::min(available, KTAG_MAX_TEXT)) : 0;
    uint8_t *payload = setPayload(nullptr, static_cast<uint16_t>(chars + 1));
    if (chars > 0)
        std::memcpy(payload, text, chars);
    payload[chars] = 0;
}

int KTagString::copyTo(char *buffer, size_t size) const
{
    if (!buffer || size < length())
        return 0;
    std::memcpy(buffer, payload(), length());
    return length();
}

const char *KTagString::text() const
{
    return payload() ? reinterpret_cast<const char *>(payload()) : "";
}

KTagUInt32::KTagUInt32(uint8_t tag, uint32_t value) : KTag(tag, KTAG_UINT32)
{
    uint8_t wire[4];
    putBigEndian(wire, value, 4);
    setPayload(wire, 4);
}

KTagUInt16::KTagUInt16(uint8_t tag, uint16_t value) : KTag(tag, KTAG_UINT16)
{
    uint8_t wire[2];
    putBigEndian(wire, value, 2);
    setPayload(wire, 2);
}

KTagUInt8::KTagUInt8(uint8_t tag, uint8_t value) : KTag(tag, KTAG_UINT8)
{
    setPayload(&value, 1);
}

KTagBytes::KTagBytes(uint8_t tag, const uint8_t *bytes, size_t count) : KTag(tag, KTAG_BYTES)
{
    if (bytes && count > 0)
        setPayload(bytes, static_cast<uint16_t>(std::min<size_t>(count, KTAG_MAX_PAYLOAD)));
}

int KTagBytes::copyTo(uint8_t *buffer, size_t size) const
{
    if (!buffer || size < length())
        return 0;
    if (length() > 0)
        std::memcpy(buffer, payload(), length());
    return length();
}

std::unique_ptr<KTagNull> newTagNull(uint8_t tag)
{
    return std::make_unique<KTagNull>(tag);
}

std::unique_ptr<KTagUInt8> newTagUInt8(uint8_t tag, uint8_t value)
{
    return std::make_unique<KTagUInt8>(tag, value);
}

std::unique_ptr<KTagUInt16> newTagUInt16(uint8_t tag, uint16_t value)
{
    return std::make_unique<KTagUInt16>(tag, value);
}

std::unique_ptr<KTagUInt32> newTagUInt32(uint8_t tag, uint32_t value)
{
    return std::make_unique<KTagUInt32>(tag, value);
}

std::unique_ptr<KTagBytes> newTagBytes(uint8_t tag, const uint8_t *bytes, size_t count)
{
    return std::make_unique<KTagBytes>(tag, bytes, count);
}

std::unique_ptr<KTagString> newTagString(uint8_t tag, const char *text)
{
    return std::make_unique<KTagString>(tag, text);
}

// ---- KMessage --------------------------------------------------------------------------------

KMessage::KMessage(uint8_t type) : m_type(type) {}

KMessage::~KMessage()
{
    // One item at a time, so that a long chain never recurses through the items' destructors.
    while (m_first)
        m_first = std::move(m_first->m_next);
}

int KMessage::addTag(std::unique_ptr<KTag> item)
{
    if (!item)
        return m_count;
    m_total += item->length() + KTAG_HEADER_SIZE;
    ++m_count; // wraps at 256 like the count byte on the wire
    ++m_size;
    item->m_next.reset();
    KTag *added = item.get();
    // Appended after the last item whatever the cursor, so that count, total and chain always agree.
    (m_last ? m_last->m_next : m_first) = std::move(item);
    m_last = added;
    m_cursor = added;
    return m_count;
}

KTag *KMessage::first()
{
    m_cursor = m_first.get();
    return m_cursor;
}

KTag *KMessage::next()
{
    KTag *item = m_cursor;
    if (item)
        m_cursor = item->m_next.get();
    return item;
}

int KMessage::serialize(uint8_t *buffer, size_t size)
{
    const size_t wireSize = m_total + KMESSAGE_HEADER_SIZE;
    if (!buffer || wireSize > size || wireSize > KMESSAGE_MAX_SIZE)
        return 0;
    buffer[0] = m_type;
    buffer[1] = m_count;
    if (!m_first)
        return 0;
    size_t pos = KMESSAGE_HEADER_SIZE;
    for (m_cursor = m_first.get(); m_cursor; m_cursor = m_cursor->m_next.get()) {
        const int written = m_cursor->encode(buffer + pos, size - pos);
        if (written == 0)
            return 0;
        pos += static_cast<size_t>(written);
    }
    return static_cast<int>(pos);
}

std::unique_ptr<KMessage> KMessage::parse(const uint8_t *bytes, size_t size)
{
    if (!bytes || size < KMESSAGE_HEADER_SIZE)
        return nullptr;
    auto message = std::make_unique<KMessage>(bytes[0]);
    uint8_t announced = bytes[1];
    size_t pos = KMESSAGE_HEADER_SIZE;
    while (pos < size) {
        std::unique_ptr<KTag> item = KTag::parse(bytes + pos, size - pos);
        if (!item)
            break;
        // Advance by what the item holds, not by its wire length (a Null item always takes 4 bytes).
        pos += item->length() + KTAG_HEADER_SIZE;
        message->addTag(std::move(item));
        --announced;
    }
    if (announced != 0)
        return nullptr;
    return message;
}

int dataChunkFitting(const uint8_t *data, int len, bool spareByte)
{
    int chunk = std::min(std::max(len, 0), KMESSAGE_MAX_DATA_PAYLOAD);
    for (;;) {
        KMessage message(DATA);
        message.addTag(newTagBytes(TAG_DATA, data, static_cast<size_t>(chunk)));
        uint8_t bytes[KMESSAGE_MAX_SIZE + 1];
        const int length = message.serialize(bytes, KMESSAGE_MAX_SIZE);
        bytes[length] = 0;
        const size_t frame = kframe::frameLength(bytes, static_cast<size_t>(length) + (spareByte ? 1 : 0));
        if (frame <= static_cast<size_t>(kframe::kTransferSize) || chunk <= 1)
            return chunk;
        // Each escape costs one byte on the wire; drop at least that many payload bytes.
        chunk -= std::max<int>(1, static_cast<int>((frame - kframe::kTransferSize + 1) / 2));
    }
}
