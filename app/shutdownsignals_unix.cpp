#include "app/shutdownsignals.h"

#include <QDebug>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The write end of the pipe the handler writes the signal number to; a handler may do little else.
volatile sig_atomic_t g_writeFd = -1;

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (g_writeFd >= 0)
        (void)!::write(g_writeFd, &byte, 1);
    errno = savedErrno;
}

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

} // namespace

class ShutdownSignals::Handlers
{
public:
    explicit Handlers(ShutdownSignals *owner)
    {
        if (g_writeFd >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
            qWarning().noquote() << "Shutdown signals are not handled: the program ends at once on SIGTERM";
            m_fds[0] = m_fds[1] = -1;
            return;
        }
        g_writeFd = m_fds[1];
        m_notifier = std::make_unique<QSocketNotifier>(m_fds[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, owner, [this, owner] {
            unsigned char bytes[16];
            ssize_t n;
            while ((n = ::read(m_fds[0], bytes, sizeof(bytes))) > 0) {
                for (ssize_t i = 0; i < n; ++i)
                    emit owner->requested(bytes[i]);
            }
        });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < kSignals.size(); ++i)
            ::sigaction(kSignals[i], &action, &m_previous[i]);
    }

    ~Handlers()
    {
        if (m_fds[0] < 0)
            return;
        for (size_t i = 0; i < kSignals.size(); ++i)
            ::sigaction(kSignals[i], &m_previous[i], nullptr);
        g_writeFd = -1;
        m_notifier.reset();
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }

    bool isActive() const { return m_fds[0] >= 0; }

private:
    int m_fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::array<struct sigaction, kSignals.size()> m_previous = {};
};

ShutdownSignals::ShutdownSignals(QObject *parent) : QObject(parent), m_handlers(std::make_unique<Handlers>(this)) {}

ShutdownSignals::~ShutdownSignals() = default;

bool ShutdownSignals::isActive() const
{
    return m_handlers->isActive();
}
