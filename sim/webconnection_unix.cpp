#include "sim/webconnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Requests of the service are small JSON texts; more than this is not recorded.
constexpr std::size_t kMaxConsumed = 128 * 1024;
// Waits are cut into slices so that a stopping service is noticed within this time.
constexpr std::chrono::milliseconds kSlice{20};

thread_local WebConnection *t_connection = nullptr;

std::chrono::milliseconds toDuration(time_t sec, time_t usec)
{
    return std::chrono::milliseconds(static_cast<std::int64_t>(sec) * 1000 + static_cast<std::int64_t>(usec) / 1000);
}

// Polls in slices until the socket is ready, the time is up, or the service stops.
bool waitFor(int socket, short events, std::chrono::milliseconds timeout, const std::atomic<bool> &stopping)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!stopping) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) {
            return false;
        }
        pollfd entry{socket, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, kSlice).count()));
        if (ready > 0) {
            return true; // also on hang-up or error: the next read or write reports it
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
}

void addressOf(int socket, bool peer, std::string &ip, int &port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    const int rc = peer ? ::getpeername(socket, reinterpret_cast<sockaddr *>(&address), &length)
                        : ::getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    ip.clear();
    port = -1;
    if (rc != 0) {
        return;
    }
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (address.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
        ::inet_ntop(AF_INET, &in->sin_addr, text.data(), text.size());
        port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text.data(), text.size());
        port = ntohs(in6->sin6_port);
    }
    ip = text.data();
}

// A socket stream that remembers the bytes it hands to the parser.
class ConnectionStream final : public httplib::Stream
{
public:
    ConnectionStream(WebConnection &connection, const std::atomic<bool> &stopping,
                     std::chrono::milliseconds readTimeout, std::chrono::milliseconds writeTimeout)
        : m_connection(connection), m_stopping(stopping), m_readTimeout(readTimeout), m_writeTimeout(writeTimeout)
    {
    }

    bool hasBuffered() const { return m_begin < m_end; }

    bool is_readable() const override
    {
        return hasBuffered() || waitFor(m_connection.socket, POLLIN, m_readTimeout, m_stopping);
    }

    bool is_writable() const override
    {
        return !m_connection.dropped && waitFor(m_connection.socket, POLLOUT, m_writeTimeout, m_stopping);
    }

    ssize_t read(char *ptr, size_t size) override
    {
        if (m_connection.dropped) {
            return -1;
        }
        if (!hasBuffered()) {
            if (!is_readable()) {
                return -1;
            }
            const ssize_t received = ::recv(m_connection.socket, m_buffer.data(), m_buffer.size(), 0);
            if (received <= 0) {
                return received;
            }
            m_begin = 0;
            m_end = static_cast<size_t>(received);
        }
        const size_t count = std::min(size, m_end - m_begin);
        std::memcpy(ptr, m_buffer.data() + m_begin, count);
        if (m_connection.consumed.size() + count <= kMaxConsumed) {
            m_connection.consumed.append(m_buffer.data() + m_begin, count);
        }
        m_begin += count;
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (!is_writable()) {
            return -1;
        }
        return ::send(m_connection.socket, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        addressOf(m_connection.socket, true, ip, port);
    }

    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        addressOf(m_connection.socket, false, ip, port);
    }

    socket_t socket() const override { return m_connection.socket; }

private:
    WebConnection &m_connection;
    const std::atomic<bool> &m_stopping;
    const std::chrono::milliseconds m_readTimeout;
    const std::chrono::milliseconds m_writeTimeout;
    std::array<char, 4096> m_buffer{};
    size_t m_begin = 0;
    size_t m_end = 0;
};

} // namespace

WebConnection *currentWebConnection()
{
    return t_connection;
}

void dropWebConnection(WebConnection &connection)
{
    if (!connection.dropped) {
        connection.dropped = true;
        ::shutdown(connection.socket, SHUT_RDWR);
    }
}

WebEngine::WebEngine(const std::atomic<bool> &stopping) : m_stopping(stopping)
{
    // The library's default adds SO_REUSEPORT, which would let a second server share the port.
    set_tcp_nodelay(true);
    set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
}

bool WebEngine::process_and_close_socket(socket_t sock)
{
    WebConnection connection;
    connection.socket = sock;
    ConnectionStream stream(connection, m_stopping, toDuration(read_timeout_sec_, read_timeout_usec_),
                            toDuration(write_timeout_sec_, write_timeout_usec_));
    t_connection = &connection;

    // The library's own loop waits out the keep-alive time of idle connections even
    // when the server stops; this one watches the stop flag instead.
    const std::chrono::milliseconds keepAlive = toDuration(keep_alive_timeout_sec_, 0);
    bool ok = false;
    for (size_t left = keep_alive_max_count_; left > 0; --left) {
        if (m_stopping || svr_sock_ == INVALID_SOCKET) {
            break;
        }
        if (!stream.hasBuffered() && !waitFor(sock, POLLIN, keepAlive, m_stopping)) {
            break;
        }
        connection.consumed.clear();
        bool closedByClient = false;
        ok = process_request(stream, left == 1, closedByClient, nullptr);
        if (!ok || closedByClient || connection.dropped) {
            break;
        }
    }

    t_connection = nullptr;
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

} // namespace sim
