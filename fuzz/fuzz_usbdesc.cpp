// libFuzzer target: the MS OS descriptor parsers and the usbids list on any bytes, as a USB device or a
// settings file may send them. Each parser reads the whole input, which libFuzzer hands over in a
// buffer of exactly its size, so that AddressSanitizer sees any read past it. A parser that reports the
// key's GUID must have found its text in the input; one that calls the input malformed must say why.
#include "key/usbdescriptors.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Whether the GUID is spelled in the input as UTF-16LE, ignoring ASCII case.
bool holdsGuid(const uint8_t *data, size_t size)
{
    const size_t length = std::strlen(usbdesc::kKeyInterfaceGuid);
    for (size_t start = 0; start + 2 * length <= size; ++start) {
        size_t i = 0;
        while (i < length && data[start + 2 * i + 1] == 0 &&
               std::toupper(data[start + 2 * i]) == std::toupper(usbdesc::kKeyInterfaceGuid[i]))
            ++i;
        if (i == length)
            return true;
    }
    return false;
}

void check(const usbdesc::Finding &finding, const uint8_t *data, size_t size, bool namesGuid)
{
    if (finding.verdict == usbdesc::Verdict::Malformed && finding.problem.empty())
        std::abort();
    if (namesGuid && finding.verdict == usbdesc::Verdict::Match && !holdsGuid(data, size))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    usbdesc::MsOs20Location location;
    const usbdesc::Finding platform = usbdesc::findMsOs20(data, size, location);
    check(platform, data, size, false);
    if (platform.verdict == usbdesc::Verdict::Match && location.setLength < 10)
        std::abort();
    check(usbdesc::msOs20SetHasGuid(data, size), data, size, true);
    uint8_t vendorCode = 0;
    check(usbdesc::findMsOs10(data, size, vendorCode), data, size, false);
    check(usbdesc::msOs10PropertiesHaveGuid(data, size), data, size, true);
    usbdesc::bosTotalLength(data, size);
    usbdesc::msOs10PropertiesLength(data, size);
    std::vector<std::string> rejected;
    usbdesc::parseUsbIds(std::string(reinterpret_cast<const char *>(data), size), &rejected);
    return 0;
}
