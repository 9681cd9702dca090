// Transfer framing of the key link: flag-delimited, byte-stuffed frames with the 16-bit FCS of
// RFC 1662, the two ways of writing a frame and the receive step. Plain C++17 without Qt.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kframe {
constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;
constexpr uint16_t kFcsInit = 0xFFFF;
constexpr uint16_t kFcsGood = 0xF0B8;
constexpr int kTransferSize = 1024;      // one readBulk reads at most this
constexpr int kPayloadBufferSize = 1024; // the received payload buffer handed on with each good frame
constexpr int kPieceSize = 63;           // framedSend piece size
constexpr int kFramedSendMinFirmware = 1539;
constexpr uint8_t kPacketPadByte = 0x30; // written after a frame whose length is a multiple of 64
constexpr int kPacketSize = 64;

// RFC 1662 FCS-16 (reflected polynomial 0x8408, table form), continued from fcs.
uint16_t fcs16(uint16_t fcs, const uint8_t *data, size_t len);

// Worst case: every payload and FCS byte escaped, plus the two flags.
constexpr size_t maxFrameSize(size_t payloadLen)
{
    return 2 * payloadLen + 6;
}

// Exact length of the frame buildFrame makes of this payload.
size_t frameLength(const uint8_t *payload, size_t len);

// Builds the frame (flag, stuffed payload, stuffed complemented FCS low then high, flag) into out.
// Returns the frame length, or 0 when capacity is too small (out may then hold a partial frame).
size_t buildFrame(const uint8_t *payload, size_t len, uint8_t *out, size_t capacity);

using Deadline = std::chrono::steady_clock::time_point;

// The byte pipe both the USB transport and the tests plug in.
class BytePipe
{
public:
    virtual ~BytePipe() = default;
    // Bytes transferred, or -1; -1 at the latest once `deadline` has passed.
    virtual int writeBulk(const uint8_t *data, int count, Deadline deadline) = 0;
    virtual int readBulk(uint8_t *buffer, int capacity) = 0; // bytes read (0 possible), or -1
    // When a frame begun now must be written by: every write of one frame shares this deadline.
    virtual Deadline frameDeadline() const { return Deadline::max(); }
};

// The frame in one writeBulk, then one extra writeBulk of the single byte 0x30 when the frame length
// is a multiple of 64, both before one frameDeadline(). Returns 1 when the frame write transferred
// bytes, else 0 (also for len < 0).
int sendWhole(BytePipe &pipe, const uint8_t *payload, int len);

// The frame in consecutive 63-byte pieces, each its own writeBulk, calling pause() after every piece
// (the product passes a 1 ms sleep). All pieces share one frameDeadline(), so a key that stalls holds
// the frame for one write limit, not one per piece. Returns 1 when every piece transferred bytes, else
// 0; a failed piece does not stop the remaining ones (past the deadline they fail at once).
int sendInPieces(BytePipe &pipe, const uint8_t *payload, int len, const std::function<void()> &pause);

// Unstuffs one received transfer with the receive rules (bytes before the opening flag dropped, stop
// at the closing flag, dangling escape before a flag ignored). Never writes more than capacity bytes:
// content beyond it is dropped. Returns the number of bytes written.
size_t unstuff(const uint8_t *data, size_t len, uint8_t *out, size_t capacity);

// fcs16(kFcsInit, content, len) == kFcsGood, for content that holds at least the two FCS bytes.
bool fcsGood(const uint8_t *content, size_t len);

// The receive step of the USB thread. Holds at most one payload buffer between steps.
class FrameReceiver
{
public:
    enum class Step
    {
        Delivered,
        Nothing,
        PipeFailed
    };
    // One readBulk of up to kTransferSize bytes. On a good frame returns Delivered and hands over the
    // kPayloadBufferSize-byte heap buffer in `payload` with `payloadLen` = unstuffed length - 2.
    // A read of 0 bytes or a bad frame returns Nothing (buffer kept); a negative read returns
    // PipeFailed and releases the held buffer.
    Step step(BytePipe &pipe, std::unique_ptr<uint8_t[]> &payload, int &payloadLen);
    void reset(); // releases the held buffer (link lost)
    int lastReadCount() const { return m_lastReadCount; }
    bool holdsBuffer() const { return m_buffer != nullptr; }

private:
    uint8_t m_transfer[kTransferSize] = {};
    std::unique_ptr<uint8_t[]> m_buffer;
    int m_lastReadCount = 0;
};

// For byte streams in which frames may be split or joined across reads (the relay's TCP stream, the
// emulated key reading framedSend pieces). Collects the unstuffed bytes between two flags and calls
// onFrame(content, len) for each complete frame of at least two bytes; content still ends with its two FCS bytes
// (no check is made here). A frame longer than maxContent is dropped and the deframer resyncs at the
// next flag. Bytes outside a frame (before an opening flag, after a closing one) are noise and dropped;
// a flag after fewer than two content bytes opens a frame afresh.
class StreamDeframer
{
public:
    explicit StreamDeframer(size_t maxContent = 4096);
    void feed(const uint8_t *data, size_t len, const std::function<void(const uint8_t *, size_t)> &onFrame);
    void reset();

private:
    size_t m_maxContent;
    std::vector<uint8_t> m_content;
    bool m_inside = false;
    bool m_escape = false;
    bool m_overflow = false;
};
} // namespace kframe
