// Throughput of the key protocol code for payloads of 16, 256 and 1020 bytes. For scale: a
// full-speed USB bulk link carries at most about 1.2 MB/s.
#include "key/kcodec.h"
#include "key/kframe.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// Random payload bytes. Without escapes, the frame of a 1020-byte payload still fits one 1024-byte
// transfer; the last byte is chosen so that the FCS needs no escape either.
std::vector<uint8_t> payloadOf(size_t len, bool withEscapes)
{
    std::mt19937 random(static_cast<unsigned>(len));
    std::vector<uint8_t> payload(len);
    for (uint8_t &b : payload) {
        b = static_cast<uint8_t>(random());
        if (!withEscapes && (b == kframe::kFlag || b == kframe::kEscape))
            b = 0x20;
    }
    std::vector<uint8_t> frame(kframe::maxFrameSize(len));
    while (!withEscapes && kframe::buildFrame(payload.data(), len, frame.data(), frame.size()) != len + 4)
        ++payload[len - 1];
    return payload;
}

// Hands the frame last built to the receive step as one transfer.
class FramePipe : public kframe::BytePipe
{
public:
    const uint8_t *frame = nullptr;
    int frameLen = 0;
    int writeBulk(const uint8_t *, int count, kframe::Deadline) override { return count; }
    int readBulk(uint8_t *buffer, int capacity) override
    {
        const int n = frameLen < capacity ? frameLen : capacity;
        std::memcpy(buffer, frame, static_cast<size_t>(n));
        return n;
    }
};

// Build a frame, then run the receive step of the USB thread over it (one transfer per frame).
void frameBuildAndReceive(benchmark::State &state)
{
    const size_t len = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> payload = payloadOf(len, false);
    std::vector<uint8_t> frame(kframe::maxFrameSize(len));
    FramePipe pipe;
    pipe.frame = frame.data();
    kframe::FrameReceiver receiver;
    std::unique_ptr<uint8_t[]> delivered;
    int deliveredLen = 0;
    for (auto _ : state) {
        pipe.frameLen = static_cast<int>(kframe::buildFrame(payload.data(), len, frame.data(), frame.size()));
        if (receiver.step(pipe, delivered, deliveredLen) != kframe::FrameReceiver::Step::Delivered)
            state.SkipWithError("frame not delivered");
        benchmark::DoNotOptimize(delivered.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Random payloads with their escapes: stuffing, unstuffing and the FCS check, without a transfer limit.
void frameStuffAndUnstuff(benchmark::State &state)
{
    const size_t len = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> payload = payloadOf(len, true);
    std::vector<uint8_t> frame(kframe::maxFrameSize(len));
    std::vector<uint8_t> content(len + 2);
    for (auto _ : state) {
        const size_t frameLen = kframe::buildFrame(payload.data(), len, frame.data(), frame.size());
        const size_t n = kframe::unstuff(frame.data(), frameLen, content.data(), content.size());
        if (!kframe::fcsGood(content.data(), n))
            state.SkipWithError("bad frame");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Serialise a DATA message of the given wire size (one Bytes item), then parse it back.
void messageSerializeAndParse(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> payload = payloadOf(size - KMESSAGE_HEADER_SIZE - KTAG_HEADER_SIZE, true);
    KMessage message(DATA);
    message.addTag(newTagBytes(TAG_DATA, payload.data(), payload.size()));
    uint8_t buffer[KMESSAGE_MAX_SIZE];
    for (auto _ : state) {
        const int n = message.serialize(buffer, sizeof buffer);
        std::unique_ptr<KMessage> parsed = KMessage::parse(buffer, static_cast<size_t>(n));
        if (!parsed)
            state.SkipWithError("message not parsed");
        benchmark::DoNotOptimize(parsed.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The key's details report: six small items of four types.
void detailsSerializeAndParse(benchmark::State &state)
{
    KMessage message(NOTIFY);
    message.addTag(newTagUInt32(TAG_SERIAL, 0xABCDEF));
    message.addTag(newTagString(TAG_BOX, "Box 7"));
    message.addTag(newTagString(TAG_SW_VERSION, "1.6.3"));
    message.addTag(newTagString(TAG_HW_VERSION, "HW2"));
    message.addTag(newTagString(TAG_SERVER, "relay.example.lan"));
    message.addTag(newTagUInt16(TAG_PORT, 8080));
    uint8_t buffer[KMESSAGE_MAX_SIZE];
    int n = 0;
    for (auto _ : state) {
        n = message.serialize(buffer, sizeof buffer);
        std::unique_ptr<KMessage> parsed = KMessage::parse(buffer, static_cast<size_t>(n));
        benchmark::DoNotOptimize(parsed.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

} // namespace

BENCHMARK(frameBuildAndReceive)->Arg(16)->Arg(256)->Arg(1020);
BENCHMARK(frameStuffAndUnstuff)->Arg(16)->Arg(256)->Arg(1020);
BENCHMARK(messageSerializeAndParse)->Arg(16)->Arg(256)->Arg(1020);
BENCHMARK(detailsSerializeAndParse);

BENCHMARK_MAIN();
