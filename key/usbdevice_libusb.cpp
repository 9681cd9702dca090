// The key on Linux: a USB device driven through libusb, found by the device interface class it names
// in its Microsoft OS descriptors (the identity Windows finds it by) or by the ids of the "usbids"
// setting. Transfers run asynchronously on one event thread of the device's own; the transport thread
// and the writer each wait for their own transfer, so a pending read can be cancelled at shutdown and
// a write has a time limit. Kept free of Qt.

#include "key/usbdevice.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kControlTimeoutMs = 500;
constexpr uint16_t kFirstBosUsbVersion = 0x0201; // devices before USB 2.01 have no BOS descriptor
constexpr const char *kUdevRule = "70-sealstation-key.rules";

// The key's interfaces in the active configuration, alternate setting 0: the data interface has a bulk
// IN and a bulk OUT endpoint, the control interface fewer than two endpoints.
struct KeyLayout
{
    int dataInterface = -1;
    uint8_t bulkIn = 0;
    uint8_t bulkOut = 0;
    int controlInterface = -1;
    uint8_t interruptPipe = 0; // recorded, not used
};

KeyLayout findLayout(libusb_device *device)
{
    KeyLayout layout;
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS || !config)
        return layout;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface &interface = config->interface[i];
        if (interface.num_altsetting < 1)
            continue;
        const libusb_interface_descriptor &setting = interface.altsetting[0];
        uint8_t in = 0;
        uint8_t out = 0;
        uint8_t interrupt = 0;
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
            const int type = endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
            const bool isIn = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
            if (type == LIBUSB_TRANSFER_TYPE_BULK && isIn && !in)
                in = endpoint.bEndpointAddress;
            else if (type == LIBUSB_TRANSFER_TYPE_BULK && !isIn && !out)
                out = endpoint.bEndpointAddress;
            else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT)
                interrupt = endpoint.bEndpointAddress;
        }
        if (setting.bNumEndpoints < 2 && layout.controlInterface < 0) {
            layout.controlInterface = setting.bInterfaceNumber;
            layout.interruptPipe = interrupt;
        } else if (in && out && layout.dataInterface < 0) {
            layout.dataInterface = setting.bInterfaceNumber;
            layout.bulkIn = in;
            layout.bulkOut = out;
        }
    }
    libusb_free_config_descriptor(config);
    return layout;
}

// A device as it is plugged in now: an address is not reused while the device stays.
struct Identity
{
    uint8_t bus = 0;
    uint8_t address = 0;
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const Identity &other) const
    {
        return bus == other.bus && address == other.address && vendor == other.vendor && product == other.product;
    }
};

std::string describe(const Identity &id)
{
    char text[64];
    std::snprintf(text, sizeof text, "%04x:%04x (bus %u, address %u)", id.vendor, id.product, id.bus, id.address);
    return text;
}

// One open key: its handle and the interfaces it uses. Shared by the reading thread and a writer, so
// that replacing the record never closes a handle another thread is still using.
struct Record
{
    Record() = default;
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    ~Record()
    {
        if (claimed)
            libusb_release_interface(handle, layout.dataInterface);
        // Whatever driver had the interface before gets it back.
        if (detached)
            libusb_attach_kernel_driver(handle, layout.dataInterface);
        if (handle)
            libusb_close(handle);
    }

    libusb_device_handle *handle = nullptr;
    KeyLayout layout;
    bool claimed = false;
    bool detached = false;
    std::atomic<bool> timedOut{false}; // a write timed out: the key no longer reads
};

// The end of one asynchronous transfer, waited for by the thread that submitted it.
struct Completion
{
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
};

void LIBUSB_CALL onTransferDone(libusb_transfer *transfer)
{
    auto *completion = static_cast<Completion *>(transfer->user_data);
    // Notified under the lock: the waiter frees the completion only once the lock is released.
    std::lock_guard<std::mutex> lock(completion->mutex);
    completion->done = true;
    completion->wake.notify_all();
}

struct TransferDeleter
{
    void operator()(libusb_transfer *transfer) const { libusb_free_transfer(transfer); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;

enum class Identification
{
    Key,
    NotKey,
    Malformed,  // descriptors that lie: ignored, and said so once
    Unreachable // a request failed on the way (time-out, error): asked again at the next look
};

class LibusbDevice final : public UsbDevice
{
public:
    explicit LibusbDevice(const KeyDeviceOptions &options)
        : m_usbIds(options.usbIds), m_writeTimeoutMs(options.writeTimeoutMs)
    {
        m_initResult = libusb_init(&m_context);
        if (m_initResult != LIBUSB_SUCCESS) {
            m_context = nullptr;
            return;
        }
        if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
            m_hotplug = libusb_hotplug_register_callback(
                            m_context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_NO_FLAGS,
                            LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                            &LibusbDevice::onArrival, this, &m_hotplugHandle) == LIBUSB_SUCCESS;
        m_events = std::thread([this] {
            while (!m_quit.load())
                libusb_handle_events_completed(m_context, nullptr);
        });
    }

    ~LibusbDevice() override
    {
        cancel();
        std::shared_ptr<Record> record;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            record = std::move(m_record);
        }
        record.reset();
        if (!m_context)
            return;
        if (m_hotplug)
            libusb_hotplug_deregister_callback(m_context, m_hotplugHandle);
        m_quit.store(true);
        libusb_interrupt_event_handler(m_context);
        m_events.join();
        libusb_exit(m_context);
    }

    LibusbDevice(const LibusbDevice &) = delete;
    LibusbDevice &operator=(const LibusbDevice &) = delete;

    bool openDevice() override
    {
        std::shared_ptr<Record> previous;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            previous = std::move(m_record);
        }
        previous.reset();
        if (m_cancelled.load())
            return false;
        if (!m_context) {
            if (!m_initReported)
                reportNotice(Notice::Ignored, std::string("USB cannot be used: ") + libusb_error_name(m_initResult));
            m_initReported = true;
            return false;
        }

        libusb_device **list = nullptr;
        const ssize_t count = libusb_get_device_list(m_context, &list);
        std::vector<Seen> present;
        std::shared_ptr<Record> record;
        for (ssize_t i = 0; i < count && !record && !m_cancelled.load(); ++i)
            record = examine(list[i], present);
        if (list)
            libusb_free_device_list(list, 1);
        if (record) {
            // The look ended early: what it learned is added, nothing is forgotten.
            for (const Seen &seen : present) {
                const auto known = findSeen(seen.id);
                if (known == m_seen.end())
                    m_seen.push_back(seen);
                else
                    *known = seen;
            }
        } else if (count >= 0) {
            // Devices gone since the last look are forgotten; one plugged in again is examined afresh.
            m_seen = std::move(present);
        }
        if (!record)
            return false;

        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled.load())
            return false;
        m_record = std::move(record);
        return true;
    }

    int readBulk(uint8_t *buffer, int capacity) override
    {
        const std::shared_ptr<Record> record = current();
        if (!record || !buffer || capacity <= 0)
            return -1;
        TransferPtr transfer(libusb_alloc_transfer(0));
        if (!transfer)
            return -1;
        libusb_fill_bulk_transfer(transfer.get(), record->handle, record->layout.bulkIn, buffer, capacity, nullptr,
                                  nullptr, 0);
        switch (run(transfer.get(), record.get(), true)) {
        case LIBUSB_TRANSFER_COMPLETED:
            return transfer->actual_length;
        case LIBUSB_TRANSFER_STALL:
            // A halted pipe stays halted until cleared; the key is still there.
            libusb_clear_halt(record->handle, record->layout.bulkIn);
            return 0;
        case LIBUSB_TRANSFER_OVERFLOW:
            return 0; // more than one transfer's worth: dropped, as a bad frame is
        default:
            return -1; // cancelled, unplugged (LIBUSB_TRANSFER_NO_DEVICE) or failed: the key is gone
        }
    }

    int writeBulk(const uint8_t *data, int count, kframe::Deadline deadline) override
    {
        const std::shared_ptr<Record> record = current();
        if (!record || record->timedOut.load() || !data || count < 0)
            return -1;
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            drop(record.get());
            return -1;
        }
        TransferPtr transfer(libusb_alloc_transfer(0));
        if (!transfer)
            return -1;
        // libusb takes a non-const buffer although it only reads it for an OUT endpoint.
        libusb_fill_bulk_transfer(transfer.get(), record->handle, record->layout.bulkOut, const_cast<uint8_t *>(data),
                                  count, nullptr, nullptr, static_cast<unsigned>(std::min<long long>(left, INT_MAX)));
        const libusb_transfer_status status = run(transfer.get(), record.get(), false);
        if (status == LIBUSB_TRANSFER_COMPLETED)
            return transfer->actual_length;
        if (status == LIBUSB_TRANSFER_TIMED_OUT)
            drop(record.get());
        return -1;
    }

    kframe::Deadline frameDeadline() const override
    {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(m_writeTimeoutMs);
    }

    void cancel() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled.store(true);
        if (m_pending)
            libusb_cancel_transfer(m_pending);
    }

    bool lostToWriteTimeout() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_record && m_record->timedOut.load();
    }

private:
    // What the last looks learned about a device that is still plugged in.
    struct Seen
    {
        Identity id;
        enum class Kind
        {
            NotKey,  // not looked at again while it stays
            Key,     // identified: only opened again
            Unusable // a key that could not be opened; tried again at every look, reported once
        } kind = Kind::NotKey;
    };

    static int LIBUSB_CALL onArrival(libusb_context *, libusb_device *, libusb_hotplug_event, void *self)
    {
        static_cast<LibusbDevice *>(self)->reportArrival();
        return 0; // stay registered
    }

    std::vector<Seen>::iterator findSeen(const Identity &id)
    {
        return std::find_if(m_seen.begin(), m_seen.end(), [&id](const Seen &seen) { return seen.id == id; });
    }

    std::shared_ptr<Record> current()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cancelled.load() ? nullptr : m_record;
    }

    // A key that stopped reading is treated as gone: its pending read fails as on an unplug and later
    // writes to its record fail at once.
    void drop(Record *record)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        record->timedOut.store(true);
        if (m_pending && m_pendingRecord == record)
            libusb_cancel_transfer(m_pending);
    }

    // Submits `transfer` and waits for its end. The transport thread's transfers (`cancellable`) are
    // registered, so that cancel() and a timed-out write end them at once.
    libusb_transfer_status run(libusb_transfer *transfer, Record *record, bool cancellable)
    {
        Completion completion;
        transfer->callback = &onTransferDone;
        transfer->user_data = &completion;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_cancelled.load() || (record && record->timedOut.load()))
                return LIBUSB_TRANSFER_CANCELLED;
            const int submitted = libusb_submit_transfer(transfer);
            if (submitted != LIBUSB_SUCCESS)
                return submitted == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE : LIBUSB_TRANSFER_ERROR;
            if (cancellable) {
                m_pending = transfer;
                m_pendingRecord = record;
            }
        }
        {
            std::unique_lock<std::mutex> lock(completion.mutex);
            completion.wake.wait(lock, [&completion] { return completion.done; });
        }
        if (cancellable) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pending = nullptr;
            m_pendingRecord = nullptr;
        }
        return transfer->status;
    }

    // A control request on endpoint 0 during discovery: the bytes answered, or a negative
    // libusb_transfer_status (-1 for a stall, which is the device's "no such descriptor").
    int control(libusb_device_handle *handle, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                uint8_t *data, uint16_t length)
    {
        std::vector<uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
        TransferPtr transfer(libusb_alloc_transfer(0));
        if (!transfer)
            return -2;
        libusb_fill_control_setup(buffer.data(), requestType, request, value, index, length);
        libusb_fill_control_transfer(transfer.get(), handle, buffer.data(), nullptr, nullptr, kControlTimeoutMs);
        const libusb_transfer_status status = run(transfer.get(), nullptr, true);
        if (status == LIBUSB_TRANSFER_STALL)
            return -1;
        if (status != LIBUSB_TRANSFER_COMPLETED)
            return -2;
        const int answered = std::clamp(transfer->actual_length, 0, static_cast<int>(length));
        std::copy_n(libusb_control_transfer_get_data(transfer.get()), answered, data);
        return answered;
    }

    // Reads the device's MS OS descriptors: 2.0 from its BOS descriptor, else 1.0 from string 0xEE.
    Identification identify(libusb_device_handle *handle, uint16_t usbVersion, const KeyLayout &layout,
                            std::string &problem)
    {
        const auto verdict = [&problem](const usbdesc::Finding &finding) {
            problem = finding.problem;
            return finding.verdict == usbdesc::Verdict::Match       ? Identification::Key
                   : finding.verdict == usbdesc::Verdict::Malformed ? Identification::Malformed
                                                                    : Identification::NotKey;
        };
        const auto tooLong = [&problem](const char *what) {
            problem = std::string(what) + " longer than 4096 bytes";
            return Identification::Malformed;
        };
        std::vector<uint8_t> buffer(usbdesc::kMaxDescriptorBytes);
        constexpr uint8_t toDevice = LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_STANDARD | LIBUSB_RECIPIENT_DEVICE;
        constexpr uint8_t vendorDevice = LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE;
        constexpr uint8_t vendorInterface =
            LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_INTERFACE;

        if (usbVersion >= kFirstBosUsbVersion) {
            int n = control(handle, toDevice, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_BOS << 8, 0, buffer.data(),
                            usbdesc::kBosHeaderSize);
            if (n < -1)
                return Identification::Unreachable;
            const size_t total = n > 0 ? usbdesc::bosTotalLength(buffer.data(), static_cast<size_t>(n)) : 0;
            if (total > usbdesc::kMaxDescriptorBytes)
                return tooLong("BOS descriptor");
            if (total > 0) {
                n = control(handle, toDevice, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_BOS << 8, 0, buffer.data(),
                            static_cast<uint16_t>(total));
                if (n < 0)
                    return Identification::Unreachable;
                usbdesc::MsOs20Location location;
                const usbdesc::Finding platform = usbdesc::findMsOs20(buffer.data(), static_cast<size_t>(n), location);
                if (platform.verdict == usbdesc::Verdict::Malformed)
                    return verdict(platform);
                if (platform.verdict == usbdesc::Verdict::Match) {
                    if (location.setLength > usbdesc::kMaxDescriptorBytes)
                        return tooLong("MS OS 2.0 descriptor set");
                    n = control(handle, vendorDevice, location.vendorCode, 0, usbdesc::kMsOs20SetIndex, buffer.data(),
                                location.setLength);
                    if (n < -1)
                        return Identification::Unreachable;
                    if (n >= 0)
                        return verdict(usbdesc::msOs20SetHasGuid(buffer.data(), static_cast<size_t>(n)));
                }
            }
        }

        int n = control(handle, toDevice, LIBUSB_REQUEST_GET_DESCRIPTOR,
                        (LIBUSB_DT_STRING << 8) | usbdesc::kMsOs10StringIndex, 0, buffer.data(),
                        usbdesc::kMsOs10StringSize);
        if (n < -1)
            return Identification::Unreachable;
        uint8_t vendorCode = 0;
        if (n < 0 ||
            usbdesc::findMsOs10(buffer.data(), static_cast<size_t>(n), vendorCode).verdict != usbdesc::Verdict::Match)
            return Identification::NotKey;
        // Extended properties belong to an interface; some firmware answers them on the device instead.
        const uint16_t interfaceValue = static_cast<uint16_t>(std::max(layout.dataInterface, 0) << 8);
        uint8_t requestType = vendorInterface;
        uint16_t value = interfaceValue;
        n = control(handle, requestType, vendorCode, value, usbdesc::kMsOs10PropertiesIndex, buffer.data(),
                    usbdesc::kMsOs10PropertiesHeaderSize);
        if (n == -1) {
            requestType = vendorDevice;
            value = 0;
            n = control(handle, requestType, vendorCode, value, usbdesc::kMsOs10PropertiesIndex, buffer.data(),
                        usbdesc::kMsOs10PropertiesHeaderSize);
        }
        if (n < -1)
            return Identification::Unreachable;
        const uint32_t total = n > 0 ? usbdesc::msOs10PropertiesLength(buffer.data(), static_cast<size_t>(n)) : 0;
        if (total == 0)
            return Identification::NotKey;
        if (total > usbdesc::kMaxDescriptorBytes)
            return tooLong("extended properties descriptor");
        n = control(handle, requestType, vendorCode, value, usbdesc::kMsOs10PropertiesIndex, buffer.data(),
                    static_cast<uint16_t>(total));
        if (n < 0)
            return Identification::Unreachable;
        return verdict(usbdesc::msOs10PropertiesHaveGuid(buffer.data(), static_cast<size_t>(n)));
    }

    // Looks at one device; the key's record when it is the key and could be opened. Adds what was
    // learned about a device to `present`.
    std::shared_ptr<Record> examine(libusb_device *device, std::vector<Seen> &present)
    {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS)
            return nullptr;
        Seen seen;
        seen.id = Identity{libusb_get_bus_number(device), libusb_get_device_address(device), descriptor.idVendor,
                           descriptor.idProduct};
        const auto known = findSeen(seen.id);
        const bool reported = known != m_seen.end() && known->kind == Seen::Kind::Unusable;
        if (known != m_seen.end()) {
            seen.kind = known->kind;
            if (seen.kind == Seen::Kind::NotKey) {
                present.push_back(seen);
                return nullptr;
            }
        }
        const KeyLayout layout = findLayout(device);
        const bool listed = std::find(m_usbIds.begin(), m_usbIds.end(),
                                      usbdesc::UsbId{descriptor.idVendor, descriptor.idProduct}) != m_usbIds.end();
        if (layout.dataInterface < 0) {
            present.push_back(seen); // NotKey: no bulk pipes to talk over
            return nullptr;
        }

        libusb_device_handle *opened = nullptr;
        const int openResult = libusb_open(device, &opened);
        if (openResult != LIBUSB_SUCCESS) {
            // Without access its descriptors cannot be read: a device with the key's pair of interfaces
            // (or listed in usbids) is taken for a key the operator must make accessible.
            if (openResult == LIBUSB_ERROR_ACCESS && (listed || layout.controlInterface >= 0)) {
                seen.kind = Seen::Kind::Unusable;
                if (!reported)
                    reportNotice(Notice::Unusable, "USB key " + describe(seen.id) +
                                                       " found but not opened: no permission. Install the udev rule " +
                                                       kUdevRule + " and plug the key in again.");
                present.push_back(seen);
            }
            return nullptr; // other failures: looked at again next time
        }
        auto record = std::make_shared<Record>();
        record->handle = opened;
        record->layout = layout;

        if (seen.kind != Seen::Kind::Key && !listed) {
            std::string problem;
            switch (identify(opened, descriptor.bcdUSB, layout, problem)) {
            case Identification::Key:
                break;
            case Identification::Malformed:
                reportNotice(Notice::Ignored, "USB device " + describe(seen.id) +
                                                  " ignored: its MS OS descriptors lie (" + problem + ")");
                [[fallthrough]];
            case Identification::NotKey:
                seen.kind = Seen::Kind::NotKey;
                present.push_back(seen);
                return nullptr;
            case Identification::Unreachable:
                return nullptr;
            }
        }
        seen.kind = Seen::Kind::Key;

        // Only the key's own interface is taken from a kernel driver, and the log says so.
        if (libusb_kernel_driver_active(opened, layout.dataInterface) == 1) {
            if (libusb_detach_kernel_driver(opened, layout.dataInterface) == LIBUSB_SUCCESS) {
                record->detached = true;
                reportNotice(Notice::Ignored, "Key " + describe(seen.id) + ": interface " +
                                                  std::to_string(layout.dataInterface) +
                                                  " was held by a kernel driver; detached it");
            }
        }
        const int claimed = libusb_claim_interface(opened, layout.dataInterface);
        if (claimed != LIBUSB_SUCCESS) {
            if (claimed == LIBUSB_ERROR_BUSY || claimed == LIBUSB_ERROR_ACCESS) {
                if (!reported)
                    reportNotice(Notice::Unusable, "USB key " + describe(seen.id) +
                                                       " is in use by another program and cannot be opened.");
                seen.kind = Seen::Kind::Unusable;
            }
            present.push_back(seen);
            return nullptr;
        }
        record->claimed = true;
        present.push_back(seen);
        return record;
    }

    const std::vector<usbdesc::UsbId> m_usbIds;
    const int m_writeTimeoutMs;
    libusb_context *m_context = nullptr;
    int m_initResult = LIBUSB_SUCCESS;
    bool m_initReported = false;
    bool m_hotplug = false;
    libusb_hotplug_callback_handle m_hotplugHandle = 0;
    std::thread m_events;
    std::atomic<bool> m_quit{false};

    mutable std::mutex m_mutex;
    std::shared_ptr<Record> m_record;
    std::atomic<bool> m_cancelled{false};
    // The transport thread's transfer in flight, and the record it belongs to.
    libusb_transfer *m_pending = nullptr;
    Record *m_pendingRecord = nullptr;

    // Touched only by the transport thread.
    std::vector<Seen> m_seen;
};

} // namespace

std::unique_ptr<UsbDevice> createKeyDevice(const KeyDeviceOptions &options)
{
    const char *socketPath = std::getenv("SEALSTATION_KEY_SOCKET");
    if (socketPath && *socketPath)
        return createUsbDevice(socketPath, options.writeTimeoutMs);
    return std::make_unique<LibusbDevice>(options);
}
