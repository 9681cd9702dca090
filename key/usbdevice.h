#pragma once

// The platform side of the key's USB link: find and open the key, and move bulk transfers. Plain C++
// so that the platform implementations build without Qt.

#include "key/kframe.h"
#include "key/usbdescriptors.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class UsbDevice : public kframe::BytePipe
{
public:
    // What a device tells the transport about a key it found but cannot use. Each is reported once for
    // each time the device is plugged in.
    enum class Notice
    {
        Unusable, // the operator must act (no permission, in use elsewhere): status bar and log
        Ignored   // logged only (descriptors that lie, a kernel driver detached from the key)
    };
    using NoticeHandler = std::function<void(Notice, const std::string &)>;
    using ArrivalHandler = std::function<void()>;

    // Discards the previous device record and tries to open the key; true when the new record is open.
    // Called only by the transport thread.
    virtual bool openDevice() = 0;

    // Blocking read of one bulk transfer: bytes read (0 possible), or -1 when the key is gone.
    int readBulk(uint8_t *buffer, int capacity) override = 0;

    // One bulk write: bytes transferred, or -1. Called from the GUI thread while the transport thread
    // may block in readBulk. A write the key has not taken by `deadline` fails, and the key is then
    // dropped: the pending read fails as on an unplug and every write fails at once until openDevice
    // finds the key again.
    int writeBulk(const uint8_t *data, int count, kframe::Deadline deadline) override = 0;

    // Callable from any thread: wakes a pending readBulk with -1, and from then on every call fails at
    // once, so the transport thread can end. Used at shutdown only.
    virtual void cancel() = 0;

    // True when the record last read as gone was dropped because a write to it timed out (the key is
    // plugged in but does not read), not because it was unplugged. Cleared by openDevice.
    virtual bool lostToWriteTimeout() const { return false; }

    // `handler` runs on a thread of the device when a USB device is plugged in, so that the transport
    // looks at once instead of at its next poll. Devices without hotplug never call it.
    void setArrivalHandler(ArrivalHandler handler);
    // `handler` runs on the thread that calls openDevice, with one line of text.
    void setNoticeHandler(NoticeHandler handler);

protected:
    void reportArrival();
    void reportNotice(Notice notice, const std::string &text);

private:
    std::mutex m_handlerMutex;
    ArrivalHandler m_arrival;
    NoticeHandler m_notice;
};

// How long one frame may take to reach the key.
constexpr int kUsbWriteTimeoutMs = 1500;

// The emulated key's socket on Unix: `endpoint` is its path (empty: defaultKeySocketPath()), and only a
// socket served by the user `ownerUid` is used (-1: the current user). On Windows the WinUSB key, and
// `endpoint` and `ownerUid` are ignored.
std::unique_ptr<UsbDevice> createUsbDevice(const std::string &endpoint = std::string(),
                                           int writeTimeoutMs = kUsbWriteTimeoutMs, long ownerUid = -1);

// Where the emulated key listens when no path is given: $SEALSTATION_KEY_SOCKET, else
// $XDG_RUNTIME_DIR/sealstation-key.sock, else /tmp/sealstation-key-<uid>.sock. Empty on Windows.
std::string defaultKeySocketPath();

struct KeyDeviceOptions
{
    // Devices admitted by vendor and product id although their firmware carries no OS descriptor.
    std::vector<usbdesc::UsbId> usbIds;
    int writeTimeoutMs = kUsbWriteTimeoutMs;
};

// The product's key device: on Windows the WinUSB key found by its interface class; on Linux the key on
// USB found by the same class (or `usbIds`), unless $SEALSTATION_KEY_SOCKET names an emulated key's
// socket to use instead.
std::unique_ptr<UsbDevice> createKeyDevice(const KeyDeviceOptions &options = KeyDeviceOptions());
