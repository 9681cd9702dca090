#include "key/usbdescriptors.h"

#include <cstring>

namespace usbdesc {

namespace {

constexpr uint8_t kDeviceCapabilityType = 0x10;
constexpr uint8_t kPlatformCapability = 0x05;
constexpr size_t kPlatformHeaderSize = 20; // bLength, type, capability type, reserved, UUID
constexpr size_t kSetInformationSize = 8;  // dwWindowsVersion, wMSOSDescriptorSetTotalLength, codes
constexpr uint32_t kWindows81 = 0x06030000;
// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} as it travels: the first three fields little-endian.
constexpr uint8_t kMsOs20PlatformUuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                             0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

constexpr uint16_t kSetHeader = 0x00;
constexpr uint16_t kConfigurationSubset = 0x01;
constexpr uint16_t kFunctionSubset = 0x02;
constexpr uint16_t kRegistryProperty = 0x04;
constexpr size_t kSetHeaderSize = 10;
constexpr size_t kSubsetHeaderSize = 8;

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegMultiSz = 7;

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

Finding malformed(const char *problem)
{
    return Finding{Verdict::Malformed, problem};
}

char asciiUpper(uint16_t unit)
{
    return unit >= 'a' && unit <= 'z' ? static_cast<char>(unit - 'a' + 'A') : static_cast<char>(unit);
}

// Whether the UTF-16LE units [text, text + units) spell `ascii`, ignoring ASCII case.
bool sameText(const uint8_t *text, size_t units, const char *ascii)
{
    if (units != std::strlen(ascii))
        return false;
    for (size_t i = 0; i < units; ++i) {
        const uint16_t unit = le16(text + 2 * i);
        if (unit > 0x7F || asciiUpper(unit) != asciiUpper(static_cast<uint8_t>(ascii[i])))
            return false;
    }
    return true;
}

// Units before the first NUL of the UTF-16LE text, or `units` when there is none.
size_t unitsBeforeNul(const uint8_t *text, size_t units)
{
    for (size_t i = 0; i < units; ++i)
        if (le16(text + 2 * i) == 0)
            return i;
    return units;
}

// One registry property: its name and value as they travel, in UTF-16LE.
Finding checkProperty(uint32_t type, const uint8_t *name, size_t nameBytes, const uint8_t *data, size_t dataBytes,
                      const char *guid)
{
    if (nameBytes % 2 != 0)
        return malformed("property name of an odd length");
    const size_t nameUnits = nameBytes / 2;
    const size_t nameLength = unitsBeforeNul(name, nameUnits);
    if (nameLength == nameUnits)
        return malformed("property name not terminated");
    if (!sameText(name, nameLength, "DeviceInterfaceGUIDs") && !sameText(name, nameLength, "DeviceInterfaceGUID"))
        return Finding{};
    if (type != kRegSz && type != kRegMultiSz)
        return malformed("interface GUID property is not text");
    if (dataBytes % 2 != 0)
        return malformed("interface GUID of an odd length");
    const size_t units = dataBytes / 2;
    Finding finding;
    size_t start = 0;
    while (start < units) {
        const size_t length = unitsBeforeNul(data + 2 * start, units - start);
        if (start + length == units)
            return malformed("interface GUID string not terminated");
        if (length == 0)
            break; // the empty string that ends a list
        if (sameText(data + 2 * start, length, guid))
            finding.verdict = Verdict::Match;
        if (type == kRegSz)
            break;
        start += length + 1;
    }
    return finding;
}

} // namespace

uint16_t bosTotalLength(const uint8_t *bos, size_t size)
{
    if (!bos || size < kBosHeaderSize || bos[0] < kBosHeaderSize || bos[1] != kBosDescriptorType)
        return 0;
    return le16(bos + 2);
}

Finding findMsOs20(const uint8_t *bos, size_t size, MsOs20Location &location)
{
    const size_t total = bosTotalLength(bos, size);
    if (total == 0)
        return Finding{};
    if (total < bos[0])
        return malformed("BOS descriptor shorter than its header");
    if (total > size)
        return malformed("BOS descriptor shorter than it says");
    Finding finding;
    for (size_t offset = bos[0]; offset < total;) {
        const uint8_t *cap = bos + offset;
        const size_t left = total - offset;
        if (left < 3 || cap[0] < 3)
            return malformed("device capability of less than 3 bytes");
        if (cap[0] > left)
            return malformed("device capability runs past the BOS descriptor");
        const size_t length = cap[0];
        if (cap[1] == kDeviceCapabilityType && cap[2] == kPlatformCapability && length >= kPlatformHeaderSize &&
            std::memcmp(cap + 4, kMsOs20PlatformUuid, sizeof kMsOs20PlatformUuid) == 0) {
            if ((length - kPlatformHeaderSize) % kSetInformationSize != 0)
                return malformed("MS OS 2.0 capability of an odd length");
            for (size_t set = kPlatformHeaderSize; set < length; set += kSetInformationSize) {
                if (le32(cap + set) < kWindows81 || finding.verdict == Verdict::Match)
                    continue;
                location.setLength = le16(cap + set + 4);
                location.vendorCode = cap[set + 6];
                if (location.setLength < kSetHeaderSize)
                    return malformed("MS OS 2.0 descriptor set shorter than its header");
                finding.verdict = Verdict::Match;
            }
        }
        offset += length;
    }
    return finding;
}

Finding msOs20SetHasGuid(const uint8_t *set, size_t size, const char *guid)
{
    if (!set || size < kSetHeaderSize || le16(set) != kSetHeaderSize || le16(set + 2) != kSetHeader)
        return malformed("MS OS 2.0 descriptor set without its header");
    const size_t total = le16(set + 8);
    if (total > size)
        return malformed("MS OS 2.0 descriptor set shorter than it says");
    Finding finding;
    for (size_t offset = 0; offset < total;) {
        const uint8_t *d = set + offset;
        const size_t left = total - offset;
        if (left < 4 || le16(d) < 4)
            return malformed("MS OS 2.0 descriptor of less than 4 bytes");
        const size_t length = le16(d);
        if (length > left)
            return malformed("MS OS 2.0 descriptor runs past the set");
        const uint16_t type = le16(d + 2);
        if (type == kConfigurationSubset || type == kFunctionSubset) {
            if (length != kSubsetHeaderSize || le16(d + 6) > left)
                return malformed("MS OS 2.0 subset runs past the set");
        } else if (type == kRegistryProperty) {
            if (length < 10)
                return malformed("MS OS 2.0 property shorter than its fields");
            const size_t nameBytes = le16(d + 6);
            if (8 + nameBytes + 2 > length)
                return malformed("MS OS 2.0 property name runs past its descriptor");
            const size_t dataBytes = le16(d + 8 + nameBytes);
            if (8 + nameBytes + 2 + dataBytes > length)
                return malformed("MS OS 2.0 property value runs past its descriptor");
            const Finding property =
                checkProperty(le16(d + 4), d + 8, nameBytes, d + 8 + nameBytes + 2, dataBytes, guid);
            if (property.verdict == Verdict::Malformed)
                return property;
            if (property.verdict == Verdict::Match)
                finding.verdict = Verdict::Match;
        }
        offset += length;
    }
    return finding;
}

Finding findMsOs10(const uint8_t *string, size_t size, uint8_t &vendorCode)
{
    static const uint8_t signature[14] = {'M', 0, 'S', 0, 'F', 0, 'T', 0, '1', 0, '0', 0, '0', 0};
    if (!string || size < kMsOs10StringSize || string[0] < kMsOs10StringSize || string[1] != 0x03 ||
        std::memcmp(string + 2, signature, sizeof signature) != 0)
        return Finding{};
    vendorCode = string[16];
    return Finding{Verdict::Match, std::string()};
}

uint32_t msOs10PropertiesLength(const uint8_t *header, size_t size)
{
    if (!header || size < kMsOs10PropertiesHeaderSize || le16(header + 6) != kMsOs10PropertiesIndex)
        return 0;
    return le32(header);
}

Finding msOs10PropertiesHaveGuid(const uint8_t *properties, size_t size, const char *guid)
{
    const uint32_t total = msOs10PropertiesLength(properties, size);
    if (total == 0)
        return Finding{};
    if (total < kMsOs10PropertiesHeaderSize)
        return malformed("extended properties shorter than their header");
    if (total > size)
        return malformed("extended properties shorter than they say");
    const unsigned count = le16(properties + 8);
    Finding finding;
    size_t offset = kMsOs10PropertiesHeaderSize;
    for (unsigned i = 0; i < count; ++i) {
        const uint8_t *section = properties + offset;
        const size_t left = total - offset;
        if (left < 4)
            return malformed("extended property runs past the descriptor");
        const uint32_t sectionSize = le32(section);
        if (sectionSize < 14 || sectionSize > left)
            return malformed("extended property runs past the descriptor");
        const size_t nameBytes = le16(section + 8);
        if (10 + nameBytes + 4 > sectionSize)
            return malformed("extended property name runs past its section");
        const uint32_t dataBytes = le32(section + 10 + nameBytes);
        if (dataBytes > sectionSize - 14 - nameBytes)
            return malformed("extended property value runs past its section");
        const Finding property =
            checkProperty(le32(section + 4), section + 10, nameBytes, section + 14 + nameBytes, dataBytes, guid);
        if (property.verdict == Verdict::Malformed)
            return property;
        if (property.verdict == Verdict::Match)
            finding.verdict = Verdict::Match;
        offset += sectionSize;
    }
    return finding;
}

std::vector<UsbId> parseUsbIds(const std::string &text, std::vector<std::string> *rejected)
{
    std::vector<UsbId> ids;
    const auto hexValue = [](const std::string &digits, uint16_t &value) {
        if (digits.empty() || digits.size() > 4)
            return false;
        unsigned v = 0;
        for (const char c : digits) {
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0)
                return false;
            v = v * 16 + static_cast<unsigned>(d);
        }
        value = static_cast<uint16_t>(v);
        return true;
    };
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(",; \t\r\n", start);
        const std::string entry = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (entry.empty())
            continue;
        const size_t colon = entry.find(':');
        UsbId id;
        if (colon != std::string::npos && hexValue(entry.substr(0, colon), id.vendor) &&
            hexValue(entry.substr(colon + 1), id.product))
            ids.push_back(id);
        else if (rejected)
            rejected->push_back(entry);
    }
    return ids;
}

} // namespace usbdesc
