#pragma once

// Connection handling of the simulated web service. The HTTP parsing stays with
// cpp-httplib; this layer owns each accepted socket so that the service can record a
// request's bytes exactly as received, close a connection without replying, and end
// idle keep-alive connections at once when it stops.

#include <httplib.h>

#include <atomic>
#include <string>

namespace sim {

struct WebConnection
{
    int socket = -1;
    std::string consumed; // bytes of the current request handed to the parser so far
    bool dropped = false; // closed without a reply; nothing more is written
};

// The connection whose request the calling server thread is handling, or null.
WebConnection *currentWebConnection();

// Shuts the connection down so that the client receives no reply bytes at all.
void dropWebConnection(WebConnection &connection);

class WebEngine final : public httplib::Server
{
public:
    explicit WebEngine(const std::atomic<bool> &stopping);

private:
    bool process_and_close_socket(socket_t sock) override;

    const std::atomic<bool> &m_stopping;
};

} // namespace sim
