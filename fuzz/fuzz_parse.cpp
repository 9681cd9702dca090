// libFuzzer target: KTag::parse and KMessage::parse on any bytes. A parsed message must serialise
// back to bytes that parse to the same items.
#include "fuzz/kprops.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t next = 0;
    if (KTag::parse(data, size, &next) && next > size)
        std::abort();
    if (!kprops::parseRoundTrips(data, size))
        std::abort();
    return 0;
}
