#include "support/keytestsupport.h"

#include "key/kcodec.h"
#include "key/kframe.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace {
std::atomic<LogCapture *> activeCapture{nullptr};
} // namespace

LogCapture::LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handler))
{
    activeCapture.store(this);
}

LogCapture::~LogCapture()
{
    activeCapture.store(nullptr);
    qInstallMessageHandler(m_previous);
}

void LogCapture::handler(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (LogCapture *capture = activeCapture.load()) {
        std::lock_guard<std::mutex> lock(capture->m_mutex);
        capture->m_lines.append(text);
    }
}

int LogCapture::count(const QString &line) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_lines.count(line));
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

QByteArray serialised(KMessage &message)
{
    uint8_t buffer[KMESSAGE_MAX_SIZE];
    const int length = message.serialize(buffer, sizeof(buffer));
    return QByteArray(reinterpret_cast<const char *>(buffer), length);
}

QByteArray framed(const QByteArray &payload)
{
    std::vector<uint8_t> frame(kframe::maxFrameSize(static_cast<size_t>(payload.size())));
    const size_t length = kframe::buildFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                                             static_cast<size_t>(payload.size()), frame.data(), frame.size());
    return QByteArray(reinterpret_cast<const char *>(frame.data()), static_cast<int>(length));
}

EventLoopGap::EventLoopGap()
{
    m_clock.start();
    m_timer.setInterval(1);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        const qint64 now = m_clock.elapsed();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    });
    m_timer.start();
}
