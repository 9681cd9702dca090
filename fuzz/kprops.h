// Properties of the codec and the framing that must hold for any input. Checked by the libFuzzer
// targets and by the smoke runs of the ordinary tests. Plain C++17 without Qt.
#pragma once

#include "key/kcodec.h"
#include "key/kframe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace kprops {

// A byte pipe in memory: reads come from a queue of transfers, writes are recorded.
class MemoryPipe : public kframe::BytePipe
{
public:
    std::deque<std::vector<uint8_t>> reads;
    std::vector<std::vector<uint8_t>> writes;
    int failWriteIndex = -1; // the write with this index returns -1
    // From the write with this index on, the pipe takes nothing and each write fails at its deadline.
    int stallFromWrite = -1;
    std::chrono::milliseconds writeLimit{1500};

    int writeBulk(const uint8_t *data, int count, kframe::Deadline deadline) override
    {
        const int index = static_cast<int>(writes.size());
        writes.emplace_back(data, data + count);
        if (stallFromWrite >= 0 && index >= stallFromWrite) {
            std::this_thread::sleep_until(deadline);
            return -1;
        }
        return index == failWriteIndex ? -1 : count;
    }
    kframe::Deadline frameDeadline() const override { return std::chrono::steady_clock::now() + writeLimit; }
    int readBulk(uint8_t *buffer, int capacity) override
    {
        if (reads.empty())
            return -1;
        std::vector<uint8_t> next = std::move(reads.front());
        reads.pop_front();
        const size_t n = next.size() < static_cast<size_t>(capacity) ? next.size() : static_cast<size_t>(capacity);
        if (n > 0)
            std::memcpy(buffer, next.data(), n);
        return static_cast<int>(n);
    }
};

inline bool sameItems(KMessage &a, KMessage &b)
{
    if (a.type() != b.type() || a.count() != b.count() || a.total() != b.total() || a.size() != b.size())
        return false;
    a.first();
    b.first();
    for (KTag *x = a.next(), *y = b.next(); x || y; x = a.next(), y = b.next()) {
        if (!x || !y || x->tag() != y->tag() || x->type() != y->type() || x->length() != y->length())
            return false;
        if (x->length() > 0 && std::memcmp(x->payload(), y->payload(), x->length()) != 0)
            return false;
    }
    return true;
}

// A parsed message that serialises gives bytes that parse to the same items and serialise the same.
inline bool parseRoundTrips(const uint8_t *data, size_t size)
{
    std::unique_ptr<KMessage> message = KMessage::parse(data, size);
    if (!message)
        return true;
    uint8_t first[KMESSAGE_MAX_SIZE];
    const int n = message->serialize(first, sizeof first);
    if (n == 0)
        return message->size() == 0 || message->total() + KMESSAGE_HEADER_SIZE > KMESSAGE_MAX_SIZE;
    if (static_cast<size_t>(n) != message->total() + KMESSAGE_HEADER_SIZE)
        return false;
    std::unique_ptr<KMessage> again = KMessage::parse(first, static_cast<size_t>(n));
    if (!again || !sameItems(*message, *again))
        return false;
    uint8_t second[KMESSAGE_MAX_SIZE];
    return again->serialize(second, sizeof second) == n && std::memcmp(first, second, static_cast<size_t>(n)) == 0;
}

// A built frame has the length frameLength gives and unframes to its payload: by unstuffing, through the stream
// deframer in pieces, and through the receive step when it fits one transfer.
inline bool frameRoundTrips(const uint8_t *payload, size_t len)
{
    std::vector<uint8_t> frame(kframe::maxFrameSize(len));
    const size_t frameLen = kframe::buildFrame(payload, len, frame.data(), frame.size());
    // frameLength counts what buildFrame writes without building it; the two must agree.
    if (frameLen < len + 4 || kframe::buildFrame(payload, len, frame.data(), frameLen - 1) != 0 ||
        kframe::frameLength(payload, len) != frameLen)
        return false;
    frame.resize(frameLen);

    std::vector<uint8_t> content(len + 2);
    if (kframe::unstuff(frame.data(), frameLen, content.data(), content.size()) != len + 2 ||
        !kframe::fcsGood(content.data(), content.size()) || (len > 0 && std::memcmp(content.data(), payload, len) != 0))
        return false;

    kframe::StreamDeframer deframer(len + 2);
    int frames = 0;
    for (size_t offset = 0; offset < frameLen; offset += 7)
        deframer.feed(frame.data() + offset, frameLen - offset < 7 ? frameLen - offset : 7,
                      [&](const uint8_t *c, size_t n) {
                          frames += (n == len + 2 && (len == 0 || std::memcmp(c, payload, len) == 0)) ? 1 : 100;
                      });
    if (frames != 1)
        return false;

    if (frameLen > static_cast<size_t>(kframe::kTransferSize))
        return true;
    MemoryPipe pipe;
    pipe.reads.push_back(frame);
    kframe::FrameReceiver receiver;
    std::unique_ptr<uint8_t[]> got;
    int gotLen = -1;
    return receiver.step(pipe, got, gotLen) == kframe::FrameReceiver::Step::Delivered &&
           gotLen == static_cast<int>(len) && (len == 0 || std::memcmp(got.get(), payload, len) == 0);
}

// Arbitrary transfers never make the receivers deliver more than their buffers or a frame with a bad FCS.
inline bool receiveIsSafe(const uint8_t *data, size_t size)
{
    MemoryPipe pipe;
    for (size_t offset = 0; offset < size; offset += kframe::kTransferSize)
        pipe.reads.emplace_back(data + offset, data + offset + std::min<size_t>(size - offset, kframe::kTransferSize));
    kframe::FrameReceiver receiver;
    std::unique_ptr<uint8_t[]> payload;
    int len = 0;
    for (;;) {
        const kframe::FrameReceiver::Step step = receiver.step(pipe, payload, len);
        if (step == kframe::FrameReceiver::Step::PipeFailed)
            break;
        if (step == kframe::FrameReceiver::Step::Delivered &&
            (!payload || len < 0 || len + 2 > kframe::kPayloadBufferSize ||
             !kframe::fcsGood(payload.get(), static_cast<size_t>(len) + 2)))
            return false;
    }
    bool ok = true;
    kframe::StreamDeframer deframer(64);
    deframer.feed(data, size, [&ok](const uint8_t *, size_t n) { ok = ok && n > 0 && n <= 64; });
    return ok;
}

} // namespace kprops
