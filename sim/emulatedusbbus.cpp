// GLib's headers use the word Qt reserves for signals: they come first.
#include <umockdev.h>

#include "sim/emulatedusbbus.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

// ---- Descriptors ---------------------------------------------------------------------------------

namespace {

void put16(QByteArray &bytes, int value)
{
    bytes.append(static_cast<char>(value & 0xFF));
    bytes.append(static_cast<char>((value >> 8) & 0xFF));
}

void put32(QByteArray &bytes, quint32 value)
{
    put16(bytes, static_cast<int>(value & 0xFFFF));
    put16(bytes, static_cast<int>(value >> 16));
}

QByteArray utf16(const QString &text, int terminators)
{
    QByteArray bytes;
    for (const QChar c : text)
        put16(bytes, c.unicode());
    for (int i = 0; i < terminators; ++i)
        put16(bytes, 0);
    return bytes;
}

} // namespace

QByteArray UsbKeyModel::msOs20Bos(uint16_t setLength)
{
    QByteArray bos = QByteArray::fromHex("050F210001");                     // 33 bytes, one capability
    bos += QByteArray::fromHex("1C100500DF60DDD88945C74C9CD2659D9E648A9F"); // platform: MS OS 2.0
    put32(bos, 0x06030000);                                                 // Windows 8.1
    put16(bos, setLength);
    bos.append(static_cast<char>(kVendorCode));
    bos.append('\0');
    return bos;
}

QByteArray UsbKeyModel::msOs20SetNaming(const QString &guid)
{
    const QByteArray name = utf16(QStringLiteral("DeviceInterfaceGUIDs"), 1);
    const QByteArray value = utf16(guid, 2);
    QByteArray property;
    put16(property, 10 + name.size() + value.size());
    put16(property, 0x04); // registry property
    put16(property, 7);    // REG_MULTI_SZ
    put16(property, name.size());
    property += name;
    put16(property, value.size());
    property += value;
    const QByteArray compatibleId = QByteArray::fromHex("14000300") + QByteArray("WINUSB\0\0", 8) + QByteArray(8, '\0');
    QByteArray set;
    put16(set, 10);
    put16(set, 0x00); // set header
    put32(set, 0x06030000);
    put16(set, 10 + compatibleId.size() + property.size());
    return set + compatibleId + property;
}

QByteArray UsbKeyModel::msOs10StringDescriptor()
{
    QByteArray string = QByteArray::fromHex("1203") + utf16(QStringLiteral("MSFT100"), 0);
    string.append(static_cast<char>(kVendorCode));
    string.append('\0');
    return string;
}

QByteArray UsbKeyModel::msOs10PropertiesNaming(const QString &guid)
{
    const QByteArray name = utf16(QStringLiteral("DeviceInterfaceGUID"), 1);
    const QByteArray value = utf16(guid, 1);
    QByteArray section;
    put32(section, static_cast<quint32>(14 + name.size() + value.size()));
    put32(section, 1); // REG_SZ
    put16(section, name.size());
    section += name;
    put32(section, static_cast<quint32>(value.size()));
    section += value;
    QByteArray properties;
    put32(properties, static_cast<quint32>(10 + section.size()));
    put16(properties, 0x0100);
    put16(properties, 0x0005);
    put16(properties, 1);
    return properties + section;
}

UsbKeyModel UsbKeyModel::withMsOs20(const QString &guid)
{
    UsbKeyModel model;
    model.msOs20Set = msOs20SetNaming(guid);
    model.bos = msOs20Bos(static_cast<uint16_t>(model.msOs20Set.size()));
    return model;
}

UsbKeyModel UsbKeyModel::withMsOs10(const QString &guid)
{
    UsbKeyModel model;
    model.msOs10String = msOs10StringDescriptor();
    model.msOs10Properties = msOs10PropertiesNaming(guid);
    return model;
}

// ---- The bus -------------------------------------------------------------------------------------

namespace {

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;

// A submitted URB until it is reaped. Its client memory is written back only in the handler thread.
struct Urb
{
    UMockdevIoctlData *urb = nullptr;
    UMockdevIoctlData *buffer = nullptr;
    QByteArray bytes; // OUT: what was sent; IN and control: what the device answers
    int status = 0;
};

void release(Urb &urb)
{
    g_clear_object(&urb.buffer);
    g_clear_object(&urb.urb);
}

usbdevfs_urb *fields(const Urb &urb)
{
    return reinterpret_cast<usbdevfs_urb *>(urb.urb->data);
}

QByteArray deviceDescriptors(const UsbKeyModel &model)
{
    QByteArray device = QByteArray::fromHex("1201");
    put16(device, model.bos.isEmpty() ? 0x0200 : 0x0210);
    device += QByteArray::fromHex("00000040");
    put16(device, model.vendor);
    put16(device, model.product);
    device += QByteArray::fromHex("000100000001"); // bcdDevice 1.00, no strings, one configuration

    QByteArray interfaces;
    int number = 0;
    if (model.controlInterface) {
        interfaces += QByteArray::fromHex("0904000001FF000000");
        interfaces[2] = static_cast<char>(number++);
        interfaces += QByteArray::fromHex("0705830308000A");
    }
    if (model.dataInterface) {
        QByteArray data = QByteArray::fromHex("0904000002FF000000");
        data[2] = static_cast<char>(number++);
        data += QByteArray::fromHex("07058102400000");
        data += QByteArray::fromHex("07050202400000");
        interfaces += data;
    }
    QByteArray config = QByteArray::fromHex("0902");
    put16(config, 9 + interfaces.size());
    config.append(static_cast<char>(number));
    config += QByteArray::fromHex("01008032");
    return device + config + interfaces;
}

} // namespace

class EmulatedUsbBus::Impl
{
public:
    struct Device
    {
        Impl *bus = nullptr;
        int address = 0;
        UsbKeyModel model;
        std::string devnode; // as the program opens it
        std::string syspath;
        UMockdevIoctlBase *handler = nullptr;
        int node = -1; // our end of the device node, a FIFO: writable for libusb only while URBs wait
        int key = -1;  // connection to the emulated key
        bool gone = false;
        bool hung = false;
        std::vector<int> detached;
        std::deque<Urb> reads;
        std::deque<Urb> writes;
        std::deque<Urb> done;
        QList<QByteArray> outTransfers;
        QStringList inTransfers;
        int discarded = 0;
        int controlRequests = 0;
    };

    Impl()
    {
        m_testbed = umockdev_testbed_new();
        gchar *root = umockdev_testbed_get_root_dir(m_testbed);
        m_root = root;
        g_free(root);
        if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) == 0)
            m_bridge = std::thread([this] { bridge(); });
    }

    ~Impl()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        wake();
        if (m_bridge.joinable())
            m_bridge.join();
        for (auto &entry : m_devices) {
            Device &d = *entry.second;
            umockdev_testbed_detach_ioctl(m_testbed, d.devnode.c_str(), nullptr);
            g_clear_object(&d.handler);
            for (auto *queue : {&d.reads, &d.writes, &d.done})
                for (Urb &urb : *queue)
                    release(urb);
            closeFd(d.node);
            closeFd(d.key);
        }
        for (int &fd : m_wake)
            closeFd(fd);
        g_object_unref(m_testbed);
    }

    int plug(const UsbKeyModel &model, const QString &keySocket, bool accessible)
    {
        auto device = std::make_unique<Device>();
        Device &d = *device;
        d.bus = this;
        d.model = model;
        char number[4];
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            d.address = m_nextAddress++;
        }
        std::snprintf(number, sizeof number, "%03d", d.address);
        d.devnode = std::string("/dev/bus/usb/001/") + number;
        d.syspath = "/sys/devices/usb1/1-" + std::to_string(d.address);

        // The node is a FIFO that this side keeps full while nothing is to be reaped: libusb waits for
        // POLLOUT on a usbfs node, and a plain file would keep it reaping in a loop.
        const std::string directory = m_root + "/dev/bus/usb/001";
        g_mkdir_with_parents(directory.c_str(), 0755);
        const std::string node = m_root + d.devnode;
        ::mkfifo(node.c_str(), 0666);
        d.node = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ::fcntl(d.node, F_SETPIPE_SZ, 4096); // one page: filled and drained with one call each
        if (!accessible)
            ::chmod(node.c_str(), 0);
        setReady(d, false);
        if (!keySocket.isEmpty())
            d.key = connectTo(keySocket);

        d.handler = umockdev_ioctl_base_new();
        g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(&Impl::onIoctl), &d);
        umockdev_testbed_attach_ioctl(m_testbed, d.devnode.c_str(), d.handler, nullptr);
        const QByteArray descriptors = deviceDescriptors(model).toHex();
        const std::string record = "P: " + d.syspath.substr(4) +
                                   "\n"
                                   "E: SUBSYSTEM=usb\n"
                                   "E: DEVTYPE=usb_device\n"
                                   "E: DEVNAME=" +
                                   d.devnode + "\nE: BUSNUM=001\nE: DEVNUM=" + number +
                                   "\n"
                                   "A: busnum=1\\n\n"
                                   "A: devnum=" +
                                   std::to_string(d.address) +
                                   "\\n\n"
                                   "A: speed=480\\n\n"
                                   "A: bConfigurationValue=1\\n\n"
                                   "H: descriptors=" +
                                   descriptors.toStdString() + "\n";
        const int address = d.address;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_devices.emplace(address, std::move(device));
        }
        umockdev_testbed_add_from_string(m_testbed, record.c_str(), nullptr);
        wake();
        return address;
    }

    void unplug(int address)
    {
        std::string syspath;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Device *d = find(address);
            if (!d || d->gone)
                return;
            d->gone = true;
            // What the kernel does on a disconnect: every pending URB ends, and the node reports it.
            for (auto *queue : {&d->reads, &d->writes}) {
                for (Urb &urb : *queue) {
                    urb.status = -ENODEV;
                    d->done.push_back(urb);
                }
                queue->clear();
            }
            closeFd(d->key);
            setReady(*d, true);
            syspath = d->syspath;
        }
        umockdev_testbed_uevent(m_testbed, syspath.c_str(), "remove");
        umockdev_testbed_remove_device(m_testbed, syspath.c_str());
        wake();
    }

    void setHung(int address, bool hung)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (Device *d = find(address))
                d->hung = hung;
        }
        wake();
    }

    template <typename T>
    T read(int address, T Device::*member) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_devices.find(address);
        return it == m_devices.end() ? T() : (*it->second).*member;
    }

    int pendingReads(int address) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_devices.find(address);
        return it == m_devices.end() ? 0 : static_cast<int>(it->second->reads.size());
    }

private:
    static void closeFd(int &fd)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    static int connectTo(const QString &path)
    {
        const QByteArray name = path.toLocal8Bit();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (static_cast<size_t>(name.size()) >= sizeof(address.sun_path))
            return -1;
        std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()) + 1);
        int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0)
            closeFd(fd);
        return fd;
    }

    Device *find(int address)
    {
        const auto it = m_devices.find(address);
        return it == m_devices.end() ? nullptr : it->second.get();
    }

    void wake()
    {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake[1], &byte, 1);
    }

    // libusb polls the node for POLLOUT: it is made writable while URBs wait to be reaped (or the device
    // is gone) and filled up otherwise.
    static void setReady(Device &d, bool ready)
    {
        char buffer[4096] = {};
        if (ready) {
            while (::read(d.node, buffer, sizeof buffer) > 0) {
            }
        } else {
            while (::write(d.node, buffer, sizeof buffer) > 0) {
            }
            while (::write(d.node, buffer, 1) > 0) {
            }
        }
    }

    static void finish(Device &d, Urb urb)
    {
        d.done.push_back(urb);
        setReady(d, true);
    }

    // Moves data between the device's waiting transfers and the emulated key, as far as the key lets.
    void pump(Device &d)
    {
        if (d.key < 0 || d.gone)
            return;
        while (!d.writes.empty() && !d.hung) {
            Urb &urb = d.writes.front();
            const ssize_t sent = ::send(d.key, urb.bytes.constData(), static_cast<size_t>(urb.bytes.size()),
                                        MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                break;
            urb.status = sent < 0 ? -EPIPE : 0;
            finish(d, urb);
            d.writes.pop_front();
        }
        while (!d.reads.empty()) {
            char packet[65536];
            const ssize_t n = ::recv(d.key, packet, sizeof packet, MSG_DONTWAIT);
            if (n < 0)
                break;
            pollfd p{d.key, POLLIN | POLLRDHUP, 0};
            if (n == 0 && ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR))) {
                closeFd(d.key); // the key's socket closed: nothing more comes
                return;
            }
            Urb &urb = d.reads.front();
            const int capacity = fields(urb)->buffer_length;
            urb.bytes = QByteArray(packet, static_cast<int>(std::min<ssize_t>(n, capacity)));
            d.inTransfers << QStringLiteral("%1/%2").arg(capacity).arg(urb.bytes.size());
            finish(d, urb);
            d.reads.pop_front();
        }
    }

    void bridge()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_quit) {
            std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}};
            std::vector<Device *> polled;
            for (auto &entry : m_devices) {
                Device &d = *entry.second;
                const short events =
                    static_cast<short>((d.reads.empty() ? 0 : POLLIN) | (d.writes.empty() || d.hung ? 0 : POLLOUT));
                if (d.key >= 0 && !d.gone && events) {
                    fds.push_back({d.key, events, 0});
                    polled.push_back(&d);
                }
            }
            lock.unlock();
            ::poll(fds.data(), fds.size(), -1);
            lock.lock();
            char drain[64];
            while (::read(m_wake[0], drain, sizeof drain) > 0) {
            }
            for (Device *d : polled)
                pump(*d);
        }
    }

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
    {
        auto *d = static_cast<Device *>(data);
        std::lock_guard<std::mutex> lock(d->bus->m_mutex);
        return d->bus->handle(*d, client) ? TRUE : FALSE;
    }

    static void complete(UMockdevIoctlClient *client, int error)
    {
        umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    }

    bool handle(Device &d, UMockdevIoctlClient *client)
    {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        if (d.gone && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
            complete(client, ENODEV);
            return true;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            *reinterpret_cast<guint32 *>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION |
                                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
            g_object_unref(caps);
            complete(client, 0);
            return true;
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData *query = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto *driver = reinterpret_cast<usbdevfs_getdriver *>(query->data);
            const bool bound = boundToDriver(d, static_cast<int>(driver->interface));
            if (bound)
                std::strcpy(driver->driver, "vendor_serial");
            g_object_unref(query);
            complete(client, bound ? 0 : ENODATA);
            return true;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData *command = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            const auto *fields = reinterpret_cast<const usbdevfs_ioctl *>(command->data);
            const int interface = fields->ifno;
            const unsigned code = static_cast<unsigned>(fields->ioctl_code);
            g_object_unref(command);
            if (code == USBDEVFS_DISCONNECT && boundToDriver(d, interface)) {
                d.detached.push_back(interface);
                complete(client, 0);
            } else if (code == USBDEVFS_CONNECT) {
                complete(client, 0);
            } else {
                complete(client, ENODATA);
            }
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE: {
            UMockdevIoctlData *number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
            const int interface = static_cast<int>(*reinterpret_cast<unsigned *>(number->data));
            g_object_unref(number);
            complete(client, boundToDriver(d, interface) ? EBUSY : 0);
            return true;
        }
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESET:
        case USBDEVFS_RESETEP:
        case USBDEVFS_SETINTERFACE:
            complete(client, 0);
            return true;
        case USBDEVFS_SUBMITURB:
            submit(d, client, arg);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(d, client, arg);
            return true;
        case USBDEVFS_DISCARDURB:
            discard(d, client, *reinterpret_cast<gulong *>(arg->data));
            return true;
        default:
            std::fprintf(stderr, "emulated USB device: ioctl 0x%lx not emulated\n", request);
            return false;
        }
    }

    static bool boundToDriver(const Device &d, int interface)
    {
        return d.model.kernelDriver && std::find(d.detached.begin(), d.detached.end(), interface) == d.detached.end();
    }

    void submit(Device &d, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        Urb urb;
        urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        const usbdevfs_urb *f = fields(urb);
        urb.buffer = umockdev_ioctl_data_resolve(urb.urb, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                 static_cast<gsize>(f->buffer_length), nullptr);
        if (f->type == USBDEVFS_URB_TYPE_CONTROL) {
            ++d.controlRequests;
            answerControl(d, urb);
            finish(d, urb);
        } else if (f->type == USBDEVFS_URB_TYPE_BULK && f->endpoint == kBulkIn) {
            d.reads.push_back(urb);
        } else if (f->type == USBDEVFS_URB_TYPE_BULK && f->endpoint == kBulkOut) {
            urb.bytes = QByteArray(reinterpret_cast<const char *>(urb.buffer->data), f->buffer_length);
            d.outTransfers << urb.bytes;
            d.writes.push_back(urb);
        } else {
            d.reads.push_back(urb); // the interrupt endpoint: nothing ever comes
        }
        pump(d);
        wake();
        complete(client, 0);
    }

    static void answerControl(const Device &d, Urb &urb)
    {
        const auto *setup = urb.buffer->data;
        const int requestType = setup[0];
        const int request = setup[1];
        const int value = setup[2] | (setup[3] << 8);
        const int index = setup[4] | (setup[5] << 8);
        const int length = setup[6] | (setup[7] << 8);
        QByteArray answer;
        if (requestType == 0x80 && request == 0x06 && value == 0x0F00)
            answer = d.model.bos;
        else if (requestType == 0x80 && request == 0x06 && value == 0x03EE)
            answer = d.model.msOs10String;
        else if ((requestType & 0xE0) == 0xC0 && request == UsbKeyModel::kVendorCode && index == 0x0007)
            answer = d.model.msOs20Set;
        else if ((requestType & 0xE0) == 0xC0 && request == UsbKeyModel::kVendorCode && index == 0x0005)
            answer = d.model.msOs10Properties;
        urb.status = answer.isEmpty() ? -EPIPE : 0; // a stall: no such descriptor
        urb.bytes = answer.left(length);
    }

    void reap(Device &d, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        if (d.done.empty()) {
            setReady(d, d.gone);
            complete(client, d.gone ? ENODEV : EAGAIN);
            return;
        }
        Urb urb = d.done.front();
        d.done.pop_front();
        usbdevfs_urb *f = fields(urb);
        f->status = urb.status;
        f->actual_length = 0;
        if (urb.status == 0) {
            const bool control = f->type == USBDEVFS_URB_TYPE_CONTROL;
            const bool in = control || (f->endpoint & 0x80);
            if (in) {
                std::memcpy(urb.buffer->data + (control ? 8 : 0), urb.bytes.constData(),
                            static_cast<size_t>(urb.bytes.size()));
                f->actual_length = urb.bytes.size();
            } else {
                f->actual_length = f->buffer_length;
            }
        }
        UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
        g_object_unref(pointer);
        complete(client, 0);
        release(urb);
        setReady(d, !d.done.empty() || d.gone);
    }

    void discard(Device &d, UMockdevIoctlClient *client, gulong address)
    {
        for (auto *queue : {&d.reads, &d.writes}) {
            const auto it = std::find_if(queue->begin(), queue->end(),
                                         [address](const Urb &urb) { return urb.urb->client_addr == address; });
            if (it != queue->end()) {
                Urb urb = *it;
                queue->erase(it);
                urb.status = -ENOENT;
                ++d.discarded;
                finish(d, urb);
                complete(client, 0);
                return;
            }
        }
        complete(client, EINVAL);
    }

    UMockdevTestbed *m_testbed = nullptr;
    std::string m_root;
    mutable std::mutex m_mutex;
    std::map<int, std::unique_ptr<Device>> m_devices; // kept until the bus goes: libusb may still use them
    int m_nextAddress = 2;
    int m_wake[2] = {-1, -1};
    bool m_quit = false;
    std::thread m_bridge;
};

EmulatedUsbBus::EmulatedUsbBus() : m_impl(std::make_unique<Impl>()) {}

EmulatedUsbBus::~EmulatedUsbBus() = default;

int EmulatedUsbBus::plug(const UsbKeyModel &model, const QString &keySocket, bool accessible)
{
    return m_impl->plug(model, keySocket, accessible);
}

void EmulatedUsbBus::unplug(int address)
{
    m_impl->unplug(address);
}

void EmulatedUsbBus::setHung(int address, bool hung)
{
    m_impl->setHung(address, hung);
}

QList<QByteArray> EmulatedUsbBus::outTransfers(int address) const
{
    return m_impl->read(address, &Impl::Device::outTransfers);
}

QStringList EmulatedUsbBus::inTransfers(int address) const
{
    return m_impl->read(address, &Impl::Device::inTransfers);
}

int EmulatedUsbBus::pendingReads(int address) const
{
    return m_impl->pendingReads(address);
}

int EmulatedUsbBus::discardedTransfers(int address) const
{
    return m_impl->read(address, &Impl::Device::discarded);
}

int EmulatedUsbBus::controlRequests(int address) const
{
    return m_impl->read(address, &Impl::Device::controlRequests);
}

QList<int> EmulatedUsbBus::detachedInterfaces(int address) const
{
    const std::vector<int> detached = m_impl->read(address, &Impl::Device::detached);
    return QList<int>(detached.begin(), detached.end());
}

// ---- Access --------------------------------------------------------------------------------------

namespace {

constexpr quint32 kDacCapabilities = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

bool setDacCapabilities(bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const bool had = (data[0].effective & kDacCapabilities) != 0;
    if (on)
        data[0].effective |= data[0].permitted & kDacCapabilities;
    else
        data[0].effective &= ~kDacCapabilities;
    return ::syscall(SYS_capset, &header, data) == 0 && had;
}

} // namespace

DenyDeviceAccess::DenyDeviceAccess() : m_dropped(setDacCapabilities(false)) {}

DenyDeviceAccess::~DenyDeviceAccess()
{
    if (m_dropped)
        setDacCapabilities(true);
}
