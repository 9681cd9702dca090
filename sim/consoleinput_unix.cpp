#include "sim/consoleinput.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The self-pipe: the handler only writes the signal number, the event loop does the rest.
int signalPipe[2] = {-1, -1};
const int caughtSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onTerminationSignal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    if (signalPipe[1] >= 0) {
        const ssize_t written = ::write(signalPipe[1], &byte, 1);
        static_cast<void>(written);
    }
    errno = saved;
}

QString signalName(int number)
{
    switch (number) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(number);
    }
}

} // namespace

ConsoleInput::ConsoleInput(QObject *parent) : QObject(parent)
{
    connect(&m_processTimer, &QTimer::timeout, this, [this] {
        if (processAlive(m_pid))
            return;
        m_processTimer.stop();
        emit processEnded(m_pid);
    });
}

ConsoleInput::~ConsoleInput()
{
    m_input.reset();
    restoreSignals();
}

bool ConsoleInput::isInteractive()
{
    return ::isatty(0) == 1 && ::isatty(1) == 1;
}

bool ConsoleInput::readLines(int fd)
{
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0)
        return false;
    m_fd = fd;
    m_pending.clear();
    m_ended = false;
    m_input = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_input.get(), &QSocketNotifier::activated, this, [this] { readAvailable(); });
    return true;
}

void ConsoleInput::readAvailable()
{
    char buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof(buffer));
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        // End of input, or a terminal this process may no longer read: both end the console.
        m_ended = true;
        m_input->setEnabled(false);
        emitLines(true);
        emit inputEnded();
        return;
    }
    m_pending.append(buffer, static_cast<int>(n));
    emitLines(false);
}

void ConsoleInput::setReading(bool reading)
{
    if (m_input && !m_ended)
        m_input->setEnabled(reading);
}

void ConsoleInput::emitLines(bool flushPartial)
{
    int start = 0;
    for (int end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n', start)) {
        QByteArray line = m_pending.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = end + 1;
        emit lineRead(QString::fromLocal8Bit(line.left(kMaxLine)));
    }
    m_pending.remove(0, start);
    if (m_pending.size() > kMaxLine) {
        emit lineRead(QString::fromLocal8Bit(m_pending.left(kMaxLine)));
        m_pending.clear();
    }
    if (flushPartial && !m_pending.isEmpty()) {
        emit lineRead(QString::fromLocal8Bit(m_pending));
        m_pending.clear();
    }
}

bool ConsoleInput::catchTerminationSignals()
{
    if (m_signalsCaught)
        return true;
    if (signalPipe[0] >= 0)
        return false; // another instance has them
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : caughtSignals)
        ::sigaction(number, &action, nullptr);
    m_signalsCaught = true;
    m_signals = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(m_signals.get(), &QSocketNotifier::activated, this, [this] { readSignal(); });
    return true;
}

void ConsoleInput::readSignal()
{
    char bytes[16];
    const ssize_t n = ::read(signalPipe[0], bytes, sizeof(bytes));
    for (ssize_t i = 0; i < n; ++i)
        emit terminationRequested(signalName(static_cast<unsigned char>(bytes[i])));
}

void ConsoleInput::restoreSignals()
{
    if (!m_signalsCaught)
        return;
    m_signals.reset();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int number : caughtSignals)
        ::sigaction(number, &action, nullptr);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
    m_signalsCaught = false;
}

bool ConsoleInput::watchProcess(qint64 pid, int intervalMs)
{
    if (pid <= 0)
        return false;
    m_pid = pid;
    m_processTimer.start(intervalMs);
    return true;
}

bool ConsoleInput::processAlive(qint64 pid)
{
    if (pid <= 0 || pid > qint64(INT32_MAX))
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return false;
    // An exited child its parent has not reaped yet still answers kill(); its state says "Z".
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.read(512);
        const int close = text.lastIndexOf(')');
        if (close >= 0 && close + 2 < text.size() && (text.at(close + 2) == 'Z' || text.at(close + 2) == 'X'))
            return false;
    }
    return true;
}
