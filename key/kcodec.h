// Tag-value codec of the key messages: items (KTag family) and the message container (KMessage).
// Plain C++17 without Qt, so that it can be fuzzed and benchmarked on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

enum eKTagType : uint32_t
{
    KTAG_NULL = 0,
    KTAG_STRING = 1,
    KTAG_UINT32 = 2,
    KTAG_UINT16 = 3,
    KTAG_UINT8 = 4,
    KTAG_BYTES = 5,
};

enum eKMessageType : uint8_t
{
    NOTIFY = 0,
    REQUEST = 1,
    DATA = 5,
};

// Every tag number the station sends or acts on.
constexpr uint8_t TAG_SERIAL = 0;
constexpr uint8_t TAG_BOX = 1;
constexpr uint8_t TAG_SW_VERSION = 8;
constexpr uint8_t TAG_HW_VERSION = 9;
constexpr uint8_t TAG_KEY_BAR = 11;
constexpr uint8_t TAG_BATTERY = 12;
constexpr uint8_t TAG_HOST_QUERY = 16;
constexpr uint8_t TAG_HOST_QUERY_END = 17;
constexpr uint8_t TAG_HOST_TIME = 18;
constexpr uint8_t TAG_SCAN = 19;
constexpr uint8_t TAG_LABEL_TEXT = 20;
constexpr uint8_t TAG_OPEN = 21;
constexpr uint8_t TAG_CLOSE = 22;
constexpr uint8_t TAG_LABEL_COLOR = 23;
constexpr uint8_t TAG_LABEL_INDEX = 25;
constexpr uint8_t TAG_CONNECT = 26;
constexpr uint8_t TAG_DISCONNECT = 27;
constexpr uint8_t TAG_TRANSFER_COUNT = 32;
constexpr uint8_t TAG_TRANSFER_REQUEST = 33;
constexpr uint8_t TAG_SERVER = 35;
constexpr uint8_t TAG_PORT = 36;
constexpr uint8_t TAG_DATA = 37;
constexpr uint8_t TAG_SERVICE_ADDRESS = 43;
constexpr uint8_t TAG_SERVICE_PORT = 44;
constexpr uint8_t TAG_MODE = 45;

constexpr uint16_t KTAG_MAX_PAYLOAD = 1024; // String and Bytes capacity
constexpr size_t KTAG_MAX_TEXT = 1023;      // characters a String item carries, NUL excluded
constexpr size_t KTAG_HEADER_SIZE = 4;      // tag, type, 16-bit length
constexpr size_t KMESSAGE_HEADER_SIZE = 2;  // type, count
constexpr size_t KMESSAGE_MAX_SIZE = 1024;  // largest serialised message
// Largest payload of a message holding one Bytes item (a DATA message of relay data).
constexpr int KMESSAGE_MAX_DATA_PAYLOAD = static_cast<int>(KMESSAGE_MAX_SIZE - KMESSAGE_HEADER_SIZE - KTAG_HEADER_SIZE);

// One tag-value item. The payload is held exactly as it travels (numbers in network byte order).
class KTag
{
public:
    explicit KTag(uint8_t tag = 0) : m_tag(tag) {}
    // Virtual so that an item owned through a KTag pointer is destroyed as what it is.
    virtual ~KTag() = default;
    KTag(const KTag &) = delete;
    KTag &operator=(const KTag &) = delete;

    virtual uint16_t maxSize() const { return 0; }

    uint8_t tag() const { return m_tag; }
    uint16_t length() const { return m_length; }
    eKTagType type() const { return m_type; }
    const uint8_t *payload() const { return m_heap ? m_heap.get() : (m_length > 0 ? m_inline : nullptr); }

    // Writes the wire form; returns length + 4, or 0 (nothing written) when it does not fit.
    int encode(uint8_t *buffer, size_t size) const;

    // Decodes one item from the start of bytes. nextPos, when given, receives the offset just past
    // the wire payload. Returns nothing for a short buffer or an unknown type code.
    static std::unique_ptr<KTag> parse(const uint8_t *bytes, size_t size, size_t *nextPos = nullptr);

    // Readers for callers that read an item by what its tag means, whatever its type code.
    // Missing payload bytes read as 0, so a short item never reads past its payload.
    uint32_t readUInt32() const { return readBigEndian(4); }
    uint16_t readUInt16() const { return static_cast<uint16_t>(readBigEndian(2)); }
    uint8_t readUInt8() const { return static_cast<uint8_t>(readBigEndian(1)); }

protected:
    KTag(uint8_t tag, eKTagType type) : m_tag(tag), m_type(type) {}
    // Sizes the payload and copies bytes into it when given; returns the payload to fill in.
    uint8_t *setPayload(const uint8_t *bytes, uint16_t length);
    uint32_t readBigEndian(int width) const;

private:
    friend class KMessage;
    static constexpr uint16_t kInlineSize = 16; // numbers, short texts and short bytes need no allocation

    uint8_t m_tag = 0;
    uint16_t m_length = 0;
    eKTagType m_type = KTAG_NULL;
    uint8_t m_inline[kInlineSize] = {};
    std::unique_ptr<uint8_t[]> m_heap; // payloads longer than kInlineSize
    std::unique_ptr<KTag> m_next;      // the following item of the message that owns this one
};

class KTagNull : public KTag
{
public:
    explicit KTagNull(uint8_t tag) : KTag(tag, KTAG_NULL) {}
    uint16_t maxSize() const override { return 0; }
};

class KTagString : public KTag
{
public:
    // Holds at most the first 1023 characters and the NUL; the caller's text is only read.
    KTagString(uint8_t tag, const char *text);
    // As above, reading no more than available bytes of text (for texts not known to be terminated).
    KTagString(uint8_t tag, const char *text, size_t available);
    uint16_t maxSize() const override { return KTAG_MAX_PAYLOAD; }

    // Copies the text with its NUL; 0 (buffer untouched) when buffer is missing or smaller than length().
    int copyTo(char *buffer, size_t size) const;
    // The text, NUL-terminated (never null).
    const char *text() const;
};

class KTagUInt32 : public KTag
{
public:
    KTagUInt32(uint8_t tag, uint32_t value);
    uint16_t maxSize() const override { return 4; }
    uint32_t value() const { return readUInt32(); }
};

class KTagUInt16 : public KTag
{
public:
    KTagUInt16(uint8_t tag, uint16_t value);
    uint16_t maxSize() const override { return 2; }
    uint16_t value() const { return readUInt16(); }
};

class KTagUInt8 : public KTag
{
public:
    KTagUInt8(uint8_t tag, uint8_t value);
    uint16_t maxSize() const override { return 1; }
    uint8_t value() const { return readUInt8(); }
};

class KTagBytes : public KTag
{
public:
    // Copies at most 1024 bytes; no bytes or a count of 0 give an empty item.
    KTagBytes(uint8_t tag, const uint8_t *bytes, size_t count);
    uint16_t maxSize() const override { return KTAG_MAX_PAYLOAD; }

    // Copies length() bytes; 0 (buffer untouched) when buffer is missing or smaller than length().
    int copyTo(uint8_t *buffer, size_t size) const;
};

std::unique_ptr<KTagNull> newTagNull(uint8_t tag);
std::unique_ptr<KTagUInt8> newTagUInt8(uint8_t tag, uint8_t value);
std::unique_ptr<KTagUInt16> newTagUInt16(uint8_t tag, uint16_t value);
std::unique_ptr<KTagUInt32> newTagUInt32(uint8_t tag, uint32_t value);
std::unique_ptr<KTagBytes> newTagBytes(uint8_t tag, const uint8_t *bytes, size_t count);
std::unique_ptr<KTagString> newTagString(uint8_t tag, const char *text);

// The longest leading part of `data` (len bytes) that one DATA message carries so that its frame,
// with `spareByte` a zero byte after the message, fits one transfer to the other side however many
// bytes need escaping. 0 for len 0; at least 1 otherwise.
int dataChunkFitting(const uint8_t *data, int len, bool spareByte);

// A message: type, item count (modulo 256) and the items in order. It owns its items.
class KMessage
{
public:
    explicit KMessage(uint8_t type);
    ~KMessage();
    KMessage(const KMessage &) = delete;
    KMessage &operator=(const KMessage &) = delete;

    uint8_t type() const { return m_type; }
    uint8_t count() const { return m_count; }
    // Wire size of the items: sum of (length + 4). Kept wide so that it never wraps.
    size_t total() const { return m_total; }
    // Number of items actually held (count() wraps at 256, this does not).
    size_t size() const { return m_size; }

    // Takes the item and appends it after the last one, whatever the cursor; returns the new count.
    // Given no item, changes nothing and returns the current count.
    int addTag(std::unique_ptr<KTag> item);

    // Walk: first() returns the first item; next() returns the item at the cursor and moves on,
    // nothing once past the end. A walk is first(), then next() until nothing (the first next()
    // returns the first item again).
    KTag *first();
    KTag *next();

    // Writes type, count and the items; returns 2 + total, or 0 when the message has no items or
    // does not fit size or 1024 bytes. Leaves the cursor past the last item.
    int serialize(uint8_t *buffer, size_t size);

    // Decodes a message; nothing when the bytes are missing, shorter than 2, or when the items
    // decoded do not bring the announced count to exactly 0 (modulo 256).
    static std::unique_ptr<KMessage> parse(const uint8_t *bytes, size_t size);

private:
    uint8_t m_type;
    uint8_t m_count = 0;
    size_t m_total = 0;
    size_t m_size = 0;
    std::unique_ptr<KTag> m_first;
    KTag *m_last = nullptr;
    KTag *m_cursor = nullptr; // the last item while building; the reading position; null past the end
};
