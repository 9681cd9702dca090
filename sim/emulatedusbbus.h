#pragma once

// Keys on an emulated USB bus, for the real libusb: umockdev serves the devices' sysfs entries and
// answers their usbfs ioctls inside this process, and each key's bulk transfers are carried to and
// from an emulated key (EmulatedKey) on its socket, so the product's transport and the project's key
// logic exchange real messages through the kernel interface a real key uses.
//
// The program must load umockdev's preload library first (the suites link it); one bus at a time.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <memory>

// What a device shows of itself. By default: a key with a control interface (interface 0, interrupt
// endpoint 0x83) and a data interface (interface 1, bulk endpoints 0x81 and 0x02), naming the key's
// interface class in its MS OS 2.0 descriptors.
struct UsbKeyModel
{
    uint16_t vendor = 0x1234;
    uint16_t product = 0x5678;
    bool controlInterface = true;
    bool dataInterface = true;
    bool kernelDriver = false; // a kernel driver holds both interfaces when plugged in
    // What the device answers; empty: it stalls the request. bcdUSB is 2.10 when there is a BOS.
    QByteArray bos;
    QByteArray msOs20Set; // the vendor request (wIndex 7) with the BOS's vendor code
    QByteArray msOs10String;
    QByteArray msOs10Properties; // the vendor request (wIndex 5) with the string's vendor code

    static constexpr uint8_t kVendorCode = 0x20;
    static QByteArray msOs20Bos(uint16_t setLength);
    static QByteArray msOs20SetNaming(const QString &guid);
    static QByteArray msOs10StringDescriptor();
    static QByteArray msOs10PropertiesNaming(const QString &guid);
    static UsbKeyModel withMsOs20(const QString &guid);
    static UsbKeyModel withMsOs10(const QString &guid);
};

class EmulatedUsbBus
{
public:
    EmulatedUsbBus();
    ~EmulatedUsbBus();
    EmulatedUsbBus(const EmulatedUsbBus &) = delete;
    EmulatedUsbBus &operator=(const EmulatedUsbBus &) = delete;

    // Plugs a device in at the next address (returned), with the add uevent of a real plug-in. Its bulk
    // transfers go to the emulated key listening on `keySocket` (empty: nothing answers them). A device
    // that is not `accessible` has a node nobody may open (see DenyDeviceAccess).
    int plug(const UsbKeyModel &model, const QString &keySocket = QString(), bool accessible = true);
    // Pulls it out: its pending transfers fail with ENODEV and the remove uevent follows.
    void unplug(int address);
    // A hung key takes no bulk OUT transfer.
    void setHung(int address, bool hung);

    // Bulk OUT transfers submitted to the device, whole, in order (taken or not).
    QList<QByteArray> outTransfers(int address) const;
    // Bulk IN transfers completed with data: "requested/returned" per transfer.
    QStringList inTransfers(int address) const;
    int pendingReads(int address) const;
    int discardedTransfers(int address) const;
    int controlRequests(int address) const;
    // Interfaces taken from their kernel driver, in order.
    QList<int> detachedInterfaces(int address) const;

private:
    class Impl;
    const std::unique_ptr<Impl> m_impl;
};

// While one exists, threads started by the constructing thread cannot open a file its mode forbids, even
// when the tests run as root (CAP_DAC_OVERRIDE is dropped from the effective set). The constructing
// thread gets its capabilities back when it goes.
class DenyDeviceAccess
{
public:
    DenyDeviceAccess();
    ~DenyDeviceAccess();
    DenyDeviceAccess(const DenyDeviceAccess &) = delete;
    DenyDeviceAccess &operator=(const DenyDeviceAccess &) = delete;

private:
    bool m_dropped = false;
};
