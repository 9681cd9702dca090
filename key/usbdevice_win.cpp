// The key on Windows: a WinUSB device found through its device interface class, with its bulk
// pipes on an associated interface. Kept free of Qt.

#include "key/usbdevice.h"

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cwchar>
#include <mutex>

namespace {

// {42CA71EC-CE1C-44c2-82DE-87D8D8FF6C1E}
const GUID kKeyInterfaceClass = {0x42CA71EC, 0xCE1C, 0x44C2, {0x82, 0xDE, 0x87, 0xD8, 0xD8, 0xFF, 0x6C, 0x1E}};

constexpr size_t kDevicePathChars = 256; // with the NUL

// One discovery's device record. Shared by the reading thread and a writer, so that replacing the
// record never frees handles another thread is still using.
struct DeviceRecord
{
    DeviceRecord() = default;
    DeviceRecord(const DeviceRecord &) = delete;
    DeviceRecord &operator=(const DeviceRecord &) = delete;

    ~DeviceRecord()
    {
        // The control interface is released too, or every rediscovery would leak one handle.
        if (dataInterface)
            WinUsb_Free(dataInterface);
        if (controlInterface)
            WinUsb_Free(controlInterface);
        if (mainInterface)
            WinUsb_Free(mainInterface);
        if (deviceHandle != INVALID_HANDLE_VALUE)
            CloseHandle(deviceHandle);
    }

    bool open = false;
    std::atomic<bool> dropped{false}; // a write timed out: the key no longer reads
    wchar_t devicePath[kDevicePathChars] = {};
    WINUSB_INTERFACE_HANDLE mainInterface = nullptr;
    WINUSB_INTERFACE_HANDLE controlInterface = nullptr;
    WINUSB_INTERFACE_HANDLE dataInterface = nullptr;
    UCHAR bulkInPipe = 0;
    UCHAR bulkOutPipe = 0;
    UCHAR interruptPipe = 0;
    HANDLE deviceHandle = INVALID_HANDLE_VALUE;
};

// Copies the path of the first present key interface into `path`; false when there is none or the
// path does not fit.
bool findDevicePath(wchar_t (&path)[kDevicePathChars])
{
    HDEVINFO set = SetupDiGetClassDevsW(&kKeyInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;

    bool found = false;
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &kKeyInterfaceClass, 0, &interfaceData)) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
        if (required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            auto *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(LocalAlloc(LMEM_FIXED, required));
            if (detail) {
                // The structure's own size (6 in 32-bit builds, 8 in 64-bit ones), not the allocation's.
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
                if (SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr, nullptr)) {
                    const size_t maxChars =
                        (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
                    const size_t length = wcsnlen(detail->DevicePath, maxChars);
                    if (length < kDevicePathChars) {
                        wmemcpy(path, detail->DevicePath, length);
                        path[length] = L'\0';
                        found = true;
                    }
                }
                LocalFree(detail);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// Sorts the associated interfaces into control and data and records their pipes.
void discoverPipes(DeviceRecord &record)
{
    for (UCHAR index = 0; index < 2; ++index) {
        WINUSB_INTERFACE_HANDLE associated = nullptr;
        if (!WinUsb_GetAssociatedInterface(record.mainInterface, index, &associated))
            break;
        USB_INTERFACE_DESCRIPTOR descriptor = {};
        if (!WinUsb_QueryInterfaceSettings(associated, 0, &descriptor)) {
            WinUsb_Free(associated);
            continue;
        }
        WINUSB_INTERFACE_HANDLE &slot = descriptor.bNumEndpoints < 2 ? record.controlInterface : record.dataInterface;
        if (slot)
            WinUsb_Free(slot);
        slot = associated;
        for (UCHAR endpoint = 0; endpoint < descriptor.bNumEndpoints; ++endpoint) {
            WINUSB_PIPE_INFORMATION pipe = {};
            if (!WinUsb_QueryPipe(associated, 0, endpoint, &pipe))
                continue;
            if (pipe.PipeType == UsbdPipeTypeBulk) {
                if (pipe.PipeId & 0x80)
                    record.bulkInPipe = pipe.PipeId;
                else
                    record.bulkOutPipe = pipe.PipeId;
            } else if (pipe.PipeType == UsbdPipeTypeInterrupt) {
                record.interruptPipe = pipe.PipeId;
            }
        }
    }
}

class WinUsbDevice final : public UsbDevice
{
public:
    explicit WinUsbDevice(int writeTimeoutMs) : m_writeTimeoutMs(writeTimeoutMs) {}

    bool openDevice() override
    {
        std::shared_ptr<DeviceRecord> previous;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            previous = std::move(m_record);
        }
        previous.reset();
        if (m_cancelled.load())
            return false;

        auto record = std::make_shared<DeviceRecord>();
        if (!findDevicePath(record->devicePath))
            return false;
        record->deviceHandle =
            CreateFileW(record->devicePath, GENERIC_WRITE | GENERIC_READ, FILE_SHARE_WRITE | FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (record->deviceHandle == INVALID_HANDLE_VALUE)
            return false;
        if (!WinUsb_Initialize(record->deviceHandle, &record->mainInterface)) {
            record->mainInterface = nullptr;
            return false;
        }
        UCHAR speed = 0;
        ULONG length = sizeof(speed);
        if (!WinUsb_QueryDeviceInformation(record->mainInterface, DEVICE_SPEED, &length, &speed))
            return false;
        discoverPipes(*record);
        record->open = true;

        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled.load())
            return false;
        m_record = std::move(record);
        return true;
    }

    int readBulk(uint8_t *buffer, int capacity) override
    {
        const std::shared_ptr<DeviceRecord> record = current();
        if (!record || !buffer || capacity <= 0)
            return -1;
        ULONG transferred = 0;
        if (!WinUsb_ReadPipe(record->dataInterface, record->bulkInPipe, buffer, static_cast<ULONG>(capacity),
                             &transferred, nullptr))
            return -1;
        return static_cast<int>(transferred);
    }

    int writeBulk(const uint8_t *data, int count, kframe::Deadline deadline) override
    {
        const std::shared_ptr<DeviceRecord> record = current();
        if (!record || record->dropped.load() || !data || count < 0)
            return -1;
        // The pipe's time limit is what is left of the frame's, so that the pieces of one frame share it.
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            drop(*record);
            return -1;
        }
        ULONG timeout = static_cast<ULONG>(std::min<long long>(left, 0x7FFFFFFF));
        WinUsb_SetPipePolicy(record->dataInterface, record->bulkOutPipe, PIPE_TRANSFER_TIMEOUT, sizeof(timeout),
                             &timeout);
        ULONG transferred = 0;
        // WinUSB takes a non-const buffer although it only reads it for an OUT pipe.
        if (!WinUsb_WritePipe(record->dataInterface, record->bulkOutPipe, const_cast<PUCHAR>(data),
                              static_cast<ULONG>(count), &transferred, nullptr)) {
            if (GetLastError() == ERROR_SEM_TIMEOUT)
                drop(*record);
            return -1;
        }
        return static_cast<int>(transferred);
    }

    kframe::Deadline frameDeadline() const override
    {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(m_writeTimeoutMs);
    }

    bool lostToWriteTimeout() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_record && m_record->dropped.load();
    }

    void cancel() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled.store(true);
        if (m_record && m_record->open && m_record->dataInterface)
            WinUsb_AbortPipe(m_record->dataInterface, m_record->bulkInPipe);
    }

private:
    // A key that stopped reading is treated as gone: the read fails and the key is looked for again;
    // later writes to this record fail at once.
    static void drop(DeviceRecord &record)
    {
        record.dropped.store(true);
        WinUsb_AbortPipe(record.dataInterface, record.bulkInPipe);
    }

    std::shared_ptr<DeviceRecord> current()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cancelled.load() ? nullptr : m_record;
    }

    const int m_writeTimeoutMs;
    mutable std::mutex m_mutex;
    std::shared_ptr<DeviceRecord> m_record;
    std::atomic<bool> m_cancelled{false};
};

} // namespace

std::string defaultKeySocketPath()
{
    return std::string();
}

std::unique_ptr<UsbDevice> createUsbDevice(const std::string &, int writeTimeoutMs, long)
{
    return std::make_unique<WinUsbDevice>(writeTimeoutMs);
}

std::unique_ptr<UsbDevice> createKeyDevice(const KeyDeviceOptions &options)
{
    return std::make_unique<WinUsbDevice>(options.writeTimeoutMs);
}
