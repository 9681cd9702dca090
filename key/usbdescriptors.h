// The Microsoft OS descriptors by which the key names its device interface class, and the "usbids"
// setting. Everything parsed here was sent by a USB device: every length is checked against the bytes
// at hand, and a descriptor that lies about its lengths is reported as malformed. Plain C++17.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace usbdesc {

constexpr char kKeyInterfaceGuid[] = "{42CA71EC-CE1C-44c2-82DE-87D8D8FF6C1E}";

// The longest OS descriptor read from a device; a device that announces more is not believed.
constexpr size_t kMaxDescriptorBytes = 4096;

constexpr uint8_t kBosDescriptorType = 0x0F;
constexpr size_t kBosHeaderSize = 5;
// The vendor request's wIndex that fetches the MS OS 2.0 descriptor set.
constexpr uint16_t kMsOs20SetIndex = 0x0007;
// The string descriptor that marks an MS OS 1.0 device, its length, and the wIndex of the extended
// properties request.
constexpr uint8_t kMsOs10StringIndex = 0xEE;
constexpr size_t kMsOs10StringSize = 18;
constexpr uint16_t kMsOs10PropertiesIndex = 0x0005;
constexpr size_t kMsOs10PropertiesHeaderSize = 10;

enum class Verdict
{
    Match,    // the descriptor names the key's interface class (or leads to the descriptor that may)
    NoMatch,  // well formed, but not the key's
    Malformed // lies about its lengths or leaves a text unterminated: the device is ignored
};

struct Finding
{
    Verdict verdict = Verdict::NoMatch;
    std::string problem; // for Malformed: what is wrong, in a few words
};

// Where the MS OS 2.0 descriptor set is fetched from: the vendor request code and the set's length.
struct MsOs20Location
{
    uint8_t vendorCode = 0;
    uint16_t setLength = 0;
};

// wTotalLength of a BOS descriptor's header, or 0 when `bos` holds no BOS header.
uint16_t bosTotalLength(const uint8_t *bos, size_t size);
// The BOS descriptor: Match, with `location` set, when it carries the MS OS 2.0 platform capability for
// Windows 8.1 or later.
Finding findMsOs20(const uint8_t *bos, size_t size, MsOs20Location &location);
// The MS OS 2.0 descriptor set: Match when a DeviceInterfaceGUIDs property holds `guid`.
Finding msOs20SetHasGuid(const uint8_t *set, size_t size, const char *guid = kKeyInterfaceGuid);

// String descriptor 0xEE: Match, with `vendorCode` set, when it is the MS OS 1.0 signature "MSFT100".
Finding findMsOs10(const uint8_t *string, size_t size, uint8_t &vendorCode);
// dwLength of an extended properties descriptor's header, or 0 when `header` holds none.
uint32_t msOs10PropertiesLength(const uint8_t *header, size_t size);
// The MS OS 1.0 extended properties descriptor: Match when a DeviceInterfaceGUID(s) property holds `guid`.
Finding msOs10PropertiesHaveGuid(const uint8_t *properties, size_t size, const char *guid = kKeyInterfaceGuid);

struct UsbId
{
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const UsbId &other) const { return vendor == other.vendor && product == other.product; }
};

// "VID:PID" pairs of one to four hexadecimal digits each, separated by commas, semicolons or white
// space. Entries that are not such pairs are left out and, when `rejected` is given, listed there.
std::vector<UsbId> parseUsbIds(const std::string &text, std::vector<std::string> *rejected = nullptr);

} // namespace usbdesc
