#include "key/kframe.h"

#include <array>
#include <cstring>

namespace kframe {

namespace {

// The 256-entry table of RFC 1662 (polynomial 0x8408) in slice 0, and seven more slices derived
// from it so that eight bytes are folded in per step; the result is that of the byte-wise table.
using FcsTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr FcsTables makeFcsTables()
{
    FcsTables t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned v = b;
        for (int i = 0; i < 8; ++i)
            v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
        t[0][b] = static_cast<uint16_t>(v);
    }
    for (size_t k = 1; k < t.size(); ++k)
        for (unsigned b = 0; b < 256; ++b)
            t[k][b] = static_cast<uint16_t>((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF]);
    return t;
}

constexpr FcsTables kFcsTables = makeFcsTables();

// Largest payload the key engine frames (a 1024-byte message plus the byte after it); bigger ones
// are built on the heap.
constexpr size_t kStackPayload = 1025;

bool needsEscape(uint8_t b)
{
    return b == kFlag || b == kEscape;
}

uint8_t *putStuffed(uint8_t *out, uint8_t b)
{
    if (needsEscape(b)) {
        *out++ = kEscape;
        *out++ = static_cast<uint8_t>(b ^ kEscapeXor);
    } else {
        *out++ = b;
    }
    return out;
}

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
    if (!data)
        return fcs;
    const auto &t = kFcsTables;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        const unsigned lo = (fcs ^ data[i]) & 0xFF;
        const unsigned hi = ((fcs >> 8) ^ data[i + 1]) & 0xFF;
        fcs = static_cast<uint16_t>(t[7][lo] ^ t[6][hi] ^ t[5][data[i + 2]] ^ t[4][data[i + 3]] ^ t[3][data[i + 4]] ^
                                    t[2][data[i + 5]] ^ t[1][data[i + 6]] ^ t[0][data[i + 7]]);
    }
    for (; i < len; ++i)
        fcs = static_cast<uint16_t>((fcs >> 8) ^ t[0][(fcs ^ data[i]) & 0xFF]);
    return fcs;
}

bool fcsGood(const uint8_t *content, size_t len)
{
    return content && len >= 2 && fcs16(kFcsInit, content, len) == kFcsGood;
}

size_t frameLength(const uint8_t *payload, size_t len)
{
    if (len > 0 && !payload)
        return 0;
    const uint16_t fcs = static_cast<uint16_t>(~fcs16(kFcsInit, payload, len));
    size_t length = len + 4 + (needsEscape(static_cast<uint8_t>(fcs & 0xFF)) ? 1 : 0) +
                    (needsEscape(static_cast<uint8_t>(fcs >> 8)) ? 1 : 0);
    for (size_t i = 0; i < len; ++i)
        length += needsEscape(payload[i]) ? 1 : 0;
    return length;
}

size_t buildFrame(const uint8_t *payload, size_t len, uint8_t *out, size_t capacity)
{
    if (!out || (len > 0 && !payload))
        return 0;
    const uint16_t fcs = static_cast<uint16_t>(~fcs16(kFcsInit, payload, len));
    const uint8_t fcsLow = static_cast<uint8_t>(fcs & 0xFF);
    const uint8_t fcsHigh = static_cast<uint8_t>(fcs >> 8);
    if (capacity < maxFrameSize(len)) {
        // Short of the worst case: count the escapes to know whether this frame fits.
        size_t needed = len + 4 + (needsEscape(fcsLow) ? 1 : 0) + (needsEscape(fcsHigh) ? 1 : 0);
        for (size_t i = 0; i < len; ++i)
            needed += needsEscape(payload[i]) ? 1 : 0;
        if (needed > capacity)
            return 0;
    }
    uint8_t *p = out;
    *p++ = kFlag;
    for (size_t i = 0; i < len; ++i)
        p = putStuffed(p, payload[i]);
    p = putStuffed(p, fcsLow);
    p = putStuffed(p, fcsHigh);
    *p++ = kFlag;
    return static_cast<size_t>(p - out);
}

int sendWhole(BytePipe &pipe, const uint8_t *payload, int len)
{
    return withFrame(payload, len, [&pipe](const uint8_t *frame, int frameLen) {
        const Deadline deadline = pipe.frameDeadline();
        const int written = pipe.writeBulk(frame, frameLen, deadline);
        // A transfer that is a whole number of packets needs a short one after it to end.
        if (frameLen % kPacketSize == 0)
            pipe.writeBulk(&kPacketPadByte, 1, deadline);
        return written > 0 ? 1 : 0;
    });
}

int sendInPieces(BytePipe &pipe, const uint8_t *payload, int len, const std::function<void()> &pause)
{
    return withFrame(payload, len, [&pipe, &pause](const uint8_t *frame, int frameLen) {
        const Deadline deadline = pipe.frameDeadline();
        int result = 1;
        for (int offset = 0; offset < frameLen; offset += kPieceSize) {
            const int piece = frameLen - offset < kPieceSize ? frameLen - offset : kPieceSize;
            if (pipe.writeBulk(frame + offset, piece, deadline) <= 0)
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
            // A flag after a frame's worth of content closes it; what follows up to the next flag is
            // noise. Less than the two FCS bytes cannot be a frame: the flag opens one afresh.
            const bool closing = m_inside && (m_overflow || m_content.size() >= 2);
            if (closing && !m_overflow && onFrame)
                onFrame(m_content.data(), m_content.size());
            m_inside = !closing;
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
