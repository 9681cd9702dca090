#pragma once

// The platform side of the key's USB link: find and open the key, and move bulk
// transfers. Plain C++ so that the Windows implementation builds without Qt.

#include "key/kframe.h"

#include <memory>
#include <string>

class UsbDevice : public kframe::BytePipe
{
public:
    // Discards the previous device record and tries to open the key; true when the new record is open.
    // Called only by the transport thread.
    virtual bool openDevice() = 0;

    // Blocking read of one bulk transfer: bytes read (0 possible), or -1 when the key is gone.
    int readBulk(uint8_t *buffer, int capacity) override = 0;

    // One bulk write: bytes transferred, or -1. Called from the GUI thread while the transport
    // thread may block in readBulk. A write the key does not take within the write time-out fails,
    // and the key is then dropped: the pending read fails as on an unplug and every write fails at
    // once until openDevice finds the key again.
    int writeBulk(const uint8_t *data, int count) override = 0;

    // Callable from any thread: wakes a pending readBulk with -1, and from then on every call
    // fails at once, so the transport thread can end. Used at shutdown only.
    virtual void cancel() = 0;
};

// How long one bulk write may wait for the key.
constexpr int kUsbWriteTimeoutMs = 1500;

// The device of this platform. On Unix `endpoint` is the emulated key's socket path (empty: the
// default path) and only a socket served by the user `ownerUid` is used (-1: the current user); on
// Windows both are ignored and the key is found through its interface class.
std::unique_ptr<UsbDevice> createUsbDevice(const std::string &endpoint = std::string(),
                                           int writeTimeoutMs = kUsbWriteTimeoutMs, long ownerUid = -1);

// Where the emulated key listens when no path is given: $SEALSTATION_KEY_SOCKET, else
// $XDG_RUNTIME_DIR/sealstation-key.sock, else /tmp/sealstation-key-<uid>.sock. Empty on Windows.
std::string defaultKeySocketPath();
