// libFuzzer target: the receive step and the stream deframer on any transfer, and the frame round
// trip with the input as payload (a built frame always unframes to its payload).
#include "fuzz/kprops.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!kprops::receiveIsSafe(data, size))
        std::abort();
    if (!kprops::frameRoundTrips(data, size))
        std::abort();
    return 0;
}
