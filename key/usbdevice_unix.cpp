// The emulated key: the application is the client of a Unix-domain SOCK_SEQPACKET socket and each
// bulk transfer is one packet. This contract is shared with tools outside this program. The product
// uses it when $SEALSTATION_KEY_SOCKET is set; the simulator, the demo and the tests use it always.

#include "key/usbdevice.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// One connected socket. Shared by the reading thread and a writer, so that replacing the record
// never closes a descriptor that another thread is still using.
class Connection
{
public:
    explicit Connection(int fd) : m_fd(fd) {}
    ~Connection() { ::close(m_fd); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int fd() const { return m_fd; }

    std::atomic<bool> timedOut{false}; // dropped because a write timed out

private:
    const int m_fd;
};

class SeqPacketDevice final : public UsbDevice
{
public:
    SeqPacketDevice(std::string path, int writeTimeoutMs, long ownerUid)
        : m_path(std::move(path)), m_writeTimeoutMs(writeTimeoutMs),
          m_ownerUid(ownerUid >= 0 ? static_cast<uid_t>(ownerUid) : ::getuid())
    {
    }

    bool openDevice() override
    {
        std::shared_ptr<Connection> previous;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            previous = std::move(m_connection);
        }
        if (previous) {
            // Wakes a writer still blocked on the old socket; the descriptor closes with its last user.
            ::shutdown(previous->fd(), SHUT_RDWR);
            previous.reset();
        }
        if (m_cancelled.load())
            return false;

        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (m_path.empty() || m_path.size() >= sizeof(address.sun_path))
            return false;
        std::memcpy(address.sun_path, m_path.c_str(), m_path.size() + 1);

        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        auto connection = std::make_shared<Connection>(fd);
        int rc;
        do {
            rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address));
        } while (rc < 0 && errno == EINTR);
        if (rc < 0)
            return false;
        // Under /tmp any local user could have created the socket first: only a key served by this
        // user is talked to.
        if (!servedByOwner(fd))
            return false;

        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled.load())
            return false;
        m_connection = std::move(connection);
        return true;
    }

    int readBulk(uint8_t *buffer, int capacity) override
    {
        const std::shared_ptr<Connection> connection = current();
        if (!connection || !buffer || capacity <= 0)
            return -1;
        for (;;) {
            const ssize_t n = ::recv(connection->fd(), buffer, static_cast<size_t>(capacity), 0);
            if (n > 0)
                return static_cast<int>(n);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            // 0 is either an empty packet or the end of the connection; only the latter hangs up.
            return hungUp(connection->fd()) ? -1 : 0;
        }
    }

    int writeBulk(const uint8_t *data, int count, kframe::Deadline deadline) override
    {
        const std::shared_ptr<Connection> connection = current();
        if (!connection || !data || count < 0)
            return -1;
        for (;;) {
            const ssize_t n = ::send(connection->fd(), data, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0)
                return static_cast<int>(n);
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                // The key stopped reading: it is dropped, which wakes the read as on an unplug, and
                // every later write fails at once.
                connection->timedOut.store(true);
                ::shutdown(connection->fd(), SHUT_RDWR);
                return -1;
            }
            pollfd p{connection->fd(), POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        }
    }

    kframe::Deadline frameDeadline() const override
    {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(m_writeTimeoutMs);
    }

    bool lostToWriteTimeout() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_connection && m_connection->timedOut.load();
    }

    void cancel() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled.store(true);
        if (m_connection)
            ::shutdown(m_connection->fd(), SHUT_RDWR);
    }

private:
    bool servedByOwner(int fd) const
    {
#ifdef SO_PEERCRED
        ucred peer{};
        socklen_t size = sizeof(peer);
        return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == m_ownerUid;
#else
        uid_t uid = 0;
        gid_t gid = 0;
        return ::getpeereid(fd, &uid, &gid) == 0 && uid == m_ownerUid;
#endif
    }

    std::shared_ptr<Connection> current()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cancelled.load() ? nullptr : m_connection;
    }

    static bool hungUp(int fd)
    {
        pollfd p{};
        p.fd = fd;
#ifdef POLLRDHUP
        p.events = POLLIN | POLLRDHUP;
        const short hangup = POLLHUP | POLLRDHUP | POLLERR;
#else
        p.events = POLLIN;
        const short hangup = POLLHUP | POLLERR;
#endif
        return ::poll(&p, 1, 0) < 0 || (p.revents & hangup) != 0;
    }

    const std::string m_path;
    const int m_writeTimeoutMs;
    const uid_t m_ownerUid;
    mutable std::mutex m_mutex;
    std::shared_ptr<Connection> m_connection;
    std::atomic<bool> m_cancelled{false};
};

} // namespace

std::string defaultKeySocketPath()
{
    const char *explicitPath = std::getenv("SEALSTATION_KEY_SOCKET");
    if (explicitPath && *explicitPath)
        return explicitPath;
    const char *runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir && *runtimeDir)
        return std::string(runtimeDir) + "/sealstation-key.sock";
    return "/tmp/sealstation-key-" + std::to_string(::getuid()) + ".sock";
}

std::unique_ptr<UsbDevice> createUsbDevice(const std::string &endpoint, int writeTimeoutMs, long ownerUid)
{
    return std::make_unique<SeqPacketDevice>(endpoint.empty() ? defaultKeySocketPath() : endpoint, writeTimeoutMs,
                                             ownerUid);
}
