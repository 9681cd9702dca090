// kprops_seeded SEED COUNT OUTPUT: checks the codec and framing properties on COUNT inputs made from SEED,
// and writes to OUTPUT one line per input: a digest of the frame built from it and one of the message it
// parses to, serialised again (0 when it parses to none). Plain C++17 without Qt: the Windows build runs it
// under Wine, and its output must equal the Linux build's byte for byte. Exits with 1 when a property fails.
#include "fuzz/kprops.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// splitmix64: the same numbers from every compiler and C++ library, unlike the standard distributions.
class Random
{
public:
    explicit Random(uint64_t seed) : m_state(seed) {}

    uint64_t next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    // Flag and escape bytes often, so that most frames need stuffing.
    uint8_t byte()
    {
        return below(8) == 0 ? (below(2) ? kframe::kFlag : kframe::kEscape) : static_cast<uint8_t>(next());
    }

private:
    uint64_t m_state;
};

uint64_t fnv1a(const uint8_t *data, size_t size)
{
    uint64_t hash = 0xCBF29CE484222325ULL;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 0x100000001B3ULL;
    return hash;
}

std::vector<uint8_t> randomBytes(Random &random, uint32_t maxLength)
{
    std::vector<uint8_t> bytes(random.below(maxLength + 1));
    for (uint8_t &b : bytes)
        b = random.byte();
    return bytes;
}

// A message of random items of every type, serialised: the codec's round trip gets inputs that parse.
std::vector<uint8_t> randomMessage(Random &random)
{
    const uint8_t types[] = {NOTIFY, REQUEST, DATA};
    KMessage message(types[random.below(3)]);
    const uint32_t items = 1 + random.below(8);
    for (uint32_t i = 0; i < items; ++i) {
        const uint8_t tag = static_cast<uint8_t>(random.below(48));
        switch (random.below(6)) {
        case 0:
            message.addTag(newTagNull(tag));
            break;
        case 1: {
            std::vector<char> text(random.below(random.below(8) == 0 ? 300 : 40) + 1);
            for (size_t c = 0; c + 1 < text.size(); ++c)
                text[c] = static_cast<char>(0x20 + random.below(95));
            text.back() = '\0';
            message.addTag(newTagString(tag, text.data()));
            break;
        }
        case 2:
            message.addTag(newTagUInt32(tag, static_cast<uint32_t>(random.next())));
            break;
        case 3:
            message.addTag(newTagUInt16(tag, static_cast<uint16_t>(random.next())));
            break;
        case 4:
            message.addTag(newTagUInt8(tag, static_cast<uint8_t>(random.next())));
            break;
        default: {
            const std::vector<uint8_t> bytes = randomBytes(random, 200);
            message.addTag(newTagBytes(tag, bytes.data(), bytes.size()));
            break;
        }
        }
    }
    std::vector<uint8_t> wire(KMESSAGE_MAX_SIZE);
    const int length = message.serialize(wire.data(), wire.size());
    wire.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wire;
}

// Input `index` of the run: random bytes, a message, a damaged message, or a frame amid noise or cut short.
std::vector<uint8_t> makeInput(uint64_t seed, uint64_t index)
{
    Random random(seed ^ (index * 0xD1B54A32D192ED03ULL));
    switch (index % 4) {
    case 0:
        return randomBytes(random, random.below(8) == 0 ? 1200 : 300);
    case 1:
        return randomMessage(random);
    case 2: {
        std::vector<uint8_t> message = randomMessage(random);
        for (uint32_t n = 1 + random.below(3); n > 0 && !message.empty(); --n)
            message[random.below(static_cast<uint32_t>(message.size()))] = static_cast<uint8_t>(random.next());
        if (random.below(4) == 0)
            message.resize(random.below(static_cast<uint32_t>(message.size()) + 1));
        return message;
    }
    default: {
        const std::vector<uint8_t> payload = randomBytes(random, 400);
        std::vector<uint8_t> frame(kframe::maxFrameSize(payload.size()));
        frame.resize(kframe::buildFrame(payload.data(), payload.size(), frame.data(), frame.size()));
        std::vector<uint8_t> input = randomBytes(random, 40);
        input.insert(input.end(), frame.begin(), frame.end());
        const std::vector<uint8_t> after = randomBytes(random, 40);
        input.insert(input.end(), after.begin(), after.end());
        if (random.below(4) == 0)
            input.resize(random.below(static_cast<uint32_t>(input.size()) + 1));
        return input;
    }
    }
}

void appendHex(std::vector<char> &line, uint64_t value)
{
    static const char digits[] = "0123456789abcdef";
    for (int shift = 60; shift >= 0; shift -= 4)
        line.push_back(digits[(value >> shift) & 0xF]);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: kprops_seeded SEED COUNT OUTPUT\n");
        return 2;
    }
    const uint64_t seed = std::strtoull(argv[1], nullptr, 0);
    const uint64_t count = std::strtoull(argv[2], nullptr, 0);
    // Binary, so that Windows writes no carriage returns.
    std::FILE *out = std::fopen(argv[3], "wb");
    if (!out) {
        std::fprintf(stderr, "kprops_seeded: cannot write %s\n", argv[3]);
        return 2;
    }

    uint64_t failures = 0;
    std::vector<char> line;
    std::vector<uint8_t> frame;
    uint8_t message[KMESSAGE_MAX_SIZE];
    for (uint64_t index = 0; index < count; ++index) {
        const std::vector<uint8_t> input = makeInput(seed, index);
        const uint8_t none = 0;
        const uint8_t *data = input.empty() ? &none : input.data();
        if (!kprops::parseRoundTrips(data, input.size()) || !kprops::frameRoundTrips(data, input.size()) ||
            !kprops::receiveIsSafe(data, input.size())) {
            if (++failures <= 10)
                std::fprintf(stderr, "input %llu (seed %llu) breaks a property\n",
                             static_cast<unsigned long long>(index), static_cast<unsigned long long>(seed));
        }

        frame.resize(kframe::maxFrameSize(input.size()));
        frame.resize(kframe::buildFrame(data, input.size(), frame.data(), frame.size()));
        uint64_t messageDigest = 0;
        if (std::unique_ptr<KMessage> parsed = KMessage::parse(data, input.size())) {
            const int length = parsed->serialize(message, sizeof message);
            messageDigest = fnv1a(message, length > 0 ? static_cast<size_t>(length) : 0);
        }
        line.clear();
        appendHex(line, fnv1a(frame.data(), frame.size()));
        line.push_back(' ');
        appendHex(line, messageDigest);
        line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), out);
    }
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "kprops_seeded: cannot write %s\n", argv[3]);
        return 2;
    }
    if (failures > 0) {
        std::fprintf(stderr, "%llu of %llu inputs break a property\n", static_cast<unsigned long long>(failures),
                     static_cast<unsigned long long>(count));
        return 1;
    }
    return 0;
}
