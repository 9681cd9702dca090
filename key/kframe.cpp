#include "key/kframe.h"

#include <array>
#include <cstring>

namespace kframe {

namespace {

// The 256-entry table of RFC 1662, computed once at compile time from the polynomial 0x8408.
constexpr std::array<uint16_t, 256> makeFcsTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned v = b;
        for (int i = 0; i < 8; ++i)
            v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
        table[b] = static_cast<uint16_t>(v);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kFcsTable = makeFcsTable();

// Largest payload the key engine frames (a 1024-byte message plus the byte after it); bigger ones
// are built on the heap.
constexpr size_t kStackPayload = 1025;

class FrameWriter
{
public:
    FrameWriter(uint8_t *out, size_t capacity) : m_out(out), m_capacity(capacity) {}
    void raw(uint8_t b)
    {
        if (m_pos < m_capacity)
            m_out[m_pos] = b;
        ++m_pos;
    }
    void stuffed(uint8_t b)
    {
        if (b == kFlag || b == kEscape) {
            raw(kEscape);
            raw(static_cast<uint8_t>(b ^ kEscapeXor));
        } else {
            raw(b);
        }
    }
    size_t length() const { return m_pos <= m_capacity ? m_pos : 0; }

private:
    uint8_t *m_out;
    size_t m_capacity;
    size_t m_pos = 0;
};

// Builds the frame into a stack buffer when it can, otherwise into a heap buffer, then calls write.
template <typename Write>
int withFrame(const uint8_t *payload, int len, Write write)
{
    if (len < 0 || (len > 0 && !payload))
        return 0;
    const size_t count = static_cast<size_t>(len);
    uint8_t stackFrame[maxFrameSize(kStackPayload)];
    std::vector<uint8_t> heapFrame;
    uint8_t *frame = stackFrame;
    size_t capacity = sizeof stackFrame;
    if (count > kStackPayload) {
        heapFrame.resize(maxFrameSize(count));
        frame = heapFrame.data();
        capacity = heapFrame.size();
    }
    const size_t frameLen = buildFrame(payload, count, frame, capacity);
    if (frameLen == 0 || frameLen > static_cast<size_t>(INT32_MAX))
        return 0;
    return write(frame, static_cast<int>(frameLen));
}

} // namespace

uint16_t fcs16(uint16_t fcs, const uint8_t *data, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        fcs = static_cast<uint16_t>((fcs >> 8) ^ kFcsTable[(fcs ^ data[i]) & 0xFF]);
    return fcs;
}

bool fcsGood(const uint8_t *content, size_t len)
{
    return content && len >= 2 && fcs16(kFcsInit, content, len) == kFcsGood;
}

size_t buildFrame(const uint8_t *payload, size_t len, uint8_t *out, size_t capacity)
{
    if (!out || (len > 0 && !payload))
        return 0;
    const uint16_t fcs = static_cast<uint16_t>(~fcs16(kFcsInit, payload, len));
    FrameWriter w(out, capacity);
    w.raw(kFlag);
    for (size_t i = 0; i < len; ++i)
        w.stuffed(payload[i]);
    w.stuffed(static_cast<uint8_t>(fcs & 0xFF));
    w.stuffed(static_cast<uint8_t>(fcs >> 8));
    w.raw(kFlag);
    return w.length();
}

int sendWhole(BytePipe &pipe, const uint8_t *payload, int len)
{
    return withFrame(payload, len, [&pipe](const uint8_t *frame, int frameLen) {
        const int written = pipe.writeBulk(frame, frameLen);
        // A transfer that is a whole number of packets needs a short one after it to end.
        if (frameLen % kPacketSize == 0)
            pipe.writeBulk(&kPacketPadByte, 1);
        return written > 0 ? 1 : 0;
    });
}

int sendInPieces(BytePipe &pipe, const uint8_t *payload, int len, const std::function<void()> &pause)
{
    return withFrame(payload, len, [&pipe, &pause](const uint8_t *frame, int frameLen) {
        int result = 1;
        for (int offset = 0; offset < frameLen; offset += kPieceSize) {
            const int piece = frameLen - offset < kPieceSize ? frameLen - offset : kPieceSize;
            if (pipe.writeBulk(frame + offset, piece) <= 0)
                result = 0;
            if (pause)
                pause();
        }
        return result;
    });
}

size_t unstuff(const uint8_t *data, size_t len, uint8_t *out, size_t capacity)
{
    if (!data || !out)
        return 0;
    bool inside = false;
    bool escape = false;
    size_t count = 0;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t b = data[i];
        if (b == kEscape) {
            escape = true;
        } else if (b == kFlag) {
            if (inside)
                break; // closing flag: the rest of the transfer is ignored
            inside = true;
            escape = false; // an escape in the noise before the frame must not alter its first byte
            count = 0;
        } else {
            if (count < capacity)
                out[count++] = escape ? static_cast<uint8_t>(b ^ kEscapeXor) : b;
            escape = false;
        }
    }
    return count;
}

FrameReceiver::Step FrameReceiver::step(BytePipe &pipe, std::unique_ptr<uint8_t[]> &payload, int &payloadLen)
{
    if (!m_buffer)
        m_buffer = std::make_unique<uint8_t[]>(kPayloadBufferSize);
    int n = pipe.readBulk(m_transfer, kTransferSize);
    m_lastReadCount = n;
    if (n < 0) {
        reset();
        return Step::PipeFailed;
    }
    if (n == 0)
        return Step::Nothing;
    if (n > kTransferSize)
        n = kTransferSize; // a pipe that over-reports is not trusted past the buffer
    const size_t count = unstuff(m_transfer, static_cast<size_t>(n), m_buffer.get(), kPayloadBufferSize);
    if (!fcsGood(m_buffer.get(), count))
        return Step::Nothing;
    payload = std::move(m_buffer);
    payloadLen = static_cast<int>(count) - 2;
    return Step::Delivered;
}

void FrameReceiver::reset()
{
    m_buffer.reset();
}

StreamDeframer::StreamDeframer(size_t maxContent) : m_maxContent(maxContent)
{
    m_content.reserve(maxContent);
}

void StreamDeframer::feed(const uint8_t *data, size_t len, const std::function<void(const uint8_t *, size_t)> &onFrame)
{
    if (!data)
        return;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t b = data[i];
        if (b == kFlag) {
            if (m_inside && !m_overflow && !m_content.empty() && onFrame)
                onFrame(m_content.data(), m_content.size());
            // A flag closes one frame and may open the next.
            m_inside = true;
            m_escape = false;
            m_overflow = false;
            m_content.clear();
        } else if (!m_inside) {
            continue;
        } else if (b == kEscape) {
            m_escape = true;
        } else if (!m_overflow) {
            if (m_content.size() >= m_maxContent) {
                m_overflow = true; // dropped; resync at the next flag
                m_content.clear();
            } else {
                m_content.push_back(m_escape ? static_cast<uint8_t>(b ^ kEscapeXor) : b);
            }
            m_escape = false;
        } else {
            m_escape = false;
        }
    }
}

void StreamDeframer::reset()
{
    m_content.clear();
    m_inside = false;
    m_escape = false;
    m_overflow = false;
}

} // namespace kframe
