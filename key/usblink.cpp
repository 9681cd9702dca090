#include "key/usblink.h"

#include "app/configuration.h"

#include <QDebug>
#include <QMetaMethod>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

// The product's device options from the settings: the ids of keys without OS descriptors.
KeyDeviceOptions keyDeviceOptions()
{
    KeyDeviceOptions options;
    std::vector<std::string> rejected;
    options.usbIds = usbdesc::parseUsbIds(Configuration::instance()->get(Setting::UsbIds).toStdString(), &rejected);
    for (const std::string &entry : rejected)
        qWarning().noquote() << QStringLiteral("Setting usbids: '%1' is not VID:PID in hexadecimal, ignored")
                                    .arg(QString::fromStdString(entry));
    return options;
}

} // namespace

usbLink *usbLink::get()
{
    // Lives until the process ends; the engine stops its thread at shutdown.
    static usbLink *const link = new usbLink(createKeyDevice(keyDeviceOptions()));
    return link;
}

usbLink::usbLink(std::unique_ptr<UsbDevice> device, int pollIntervalMs, std::function<void()> piecePause,
                 QObject *parent)
    : QThread(parent), m_device(std::move(device)), m_pollIntervalMs(pollIntervalMs),
      m_piecePause(piecePause ? std::move(piecePause) : [] { QThread::msleep(1); })
{
    qRegisterMetaType<unsigned char *>("unsigned char*");
    m_device->setArrivalHandler([this] {
        {
            std::lock_guard<std::mutex> lock(m_pauseMutex);
            m_arrived = true;
        }
        m_pauseWake.notify_all();
    });
    // The device's own text: numbers and words of this program, one line.
    m_device->setNoticeHandler([this](UsbDevice::Notice notice, const std::string &text) {
        const QString line = QString::fromStdString(text);
        qWarning().noquote() << line;
        if (notice == UsbDevice::Notice::Unusable)
            emit keyUnusable(line);
    });
}

usbLink::~usbLink()
{
    stop();
    // The device's event thread may still report an arrival until the device is gone.
    m_device->setArrivalHandler({});
    m_device->setNoticeHandler({});
}

void usbLink::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_pauseMutex);
        m_stopping.store(true);
    }
    m_pauseWake.notify_all();
    if (!isRunning())
        return;
    // Repeated, because a cancel can land just before the thread enters its next blocking read.
    do {
        m_device->cancel();
    } while (!wait(50));
}

int usbLink::nextBackoffMs(int currentMs, int pollIntervalMs)
{
    if (currentMs <= 0)
        return std::min(pollIntervalMs, kMaxBackoffMs);
    return currentMs >= kMaxBackoffMs / 2 ? kMaxBackoffMs : currentMs * 2;
}

void usbLink::pause(int ms, bool untilArrival)
{
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    m_pauseWake.wait_for(lock, std::chrono::milliseconds(ms),
                         [this, untilArrival] { return m_stopping.load() || (untilArrival && m_arrived); });
    if (untilArrival)
        m_arrived = false;
}

void usbLink::run()
{
    kframe::FrameReceiver receiver;
    while (!m_stopping.load()) {
        const Phase phase = m_phase.load();
        if (phase == Phase::Open)
            readStep(receiver);
        else
            look(phase);
    }
    m_phase.store(Phase::Stopped);
    receiver.reset();
}

void usbLink::look(Phase from)
{
    if (from == Phase::BackingOff) {
        pause(m_backoffMs.load(), true);
        if (m_stopping.load())
            return;
    }
    if (m_device->openDevice()) {
        if (m_stopping.load())
            return;
        qDebug().noquote() << QStringLiteral("Device found");
        m_phase.store(Phase::Open);
        emit usbConnected(true);
        pause(m_pollIntervalMs, false);
        return;
    }
    if (from != Phase::Searching) {
        // The key is gone for good: its loss is reported once more, and a key plugged in later starts
        // without a back-off.
        emit usbConnected(false);
        m_backoffMs.store(0);
    }
    m_phase.store(Phase::Searching);
    pause(m_pollIntervalMs, true);
}

void usbLink::readStep(kframe::FrameReceiver &receiver)
{
    std::unique_ptr<uint8_t[]> payload;
    int payloadLen = 0;
    const kframe::FrameReceiver::Step step = receiver.step(*m_device, payload, payloadLen);
    m_lastReadCount.store(receiver.lastReadCount());
    if (step == kframe::FrameReceiver::Step::Delivered) {
        m_backoffMs.store(0);
        deliver(std::move(payload), payloadLen);
    } else if (step == kframe::FrameReceiver::Step::PipeFailed) {
        if (m_stopping.load())
            return;
        // A key that is plugged in but does not read would be found again at once and block the window
        // on its next connect request: it is given longer and longer before the next look.
        const bool unresponsive = m_device->lostToWriteTimeout();
        if (unresponsive)
            m_backoffMs.store(nextBackoffMs(m_backoffMs.load(), m_pollIntervalMs));
        m_phase.store(unresponsive ? Phase::BackingOff : Phase::Lost);
        emit usbConnected(false);
        receiver.reset();
        qDebug().noquote() << QStringLiteral("Device disconnected");
        if (unresponsive)
            qWarning().noquote()
                << QStringLiteral("Key does not read; looking for it again in %1 ms").arg(m_backoffMs.load());
    }
}

// Frames wait in a bounded queue for the GUI thread, so that a key sending faster than the window
// handles its frames cannot grow memory without limit.
void usbLink::deliver(std::unique_ptr<uint8_t[]> payload, int len)
{
    bool wake = false;
    bool warn = false;
    {
        std::lock_guard<std::mutex> lock(m_framesMutex);
        if (static_cast<int>(m_frames.size()) >= kMaxQueuedFrames) {
            m_droppedFrames.fetch_add(1);
            warn = !m_dropping;
            m_dropping = true;
        } else {
            wake = m_frames.empty();
            m_frames.emplace_back(std::move(payload), len);
        }
    }
    if (warn)
        qWarning().noquote() << QStringLiteral("Key frames arrive faster than they are handled; dropping frames");
    if (wake)
        QMetaObject::invokeMethod(
            this, [this] { takeFrames(); }, Qt::QueuedConnection);
}

// One frame at a time off the shared queue: a receiver that runs a local event loop may come back
// here, and the frames must still go out in the order they were read.
void usbLink::takeFrames()
{
    static const QMetaMethod receivedSignal = QMetaMethod::fromSignal(&usbLink::received);
    for (;;) {
        Frame frame;
        {
            std::lock_guard<std::mutex> lock(m_framesMutex);
            if (m_frames.empty()) {
                m_dropping = false;
                return;
            }
            frame = std::move(m_frames.front());
            m_frames.pop_front();
        }
        // Without a receiver nobody would take the buffer over; it is freed here.
        if (isSignalConnected(receivedSignal))
            emit received(frame.first.release(), frame.second);
    }
}

int usbLink::send(unsigned char *buff, int len)
{
    if (!isConnected())
        return -1;
    if (!buff || len < 0)
        return 0;
    return sent(kframe::sendWhole(*m_device, buff, len));
}

int usbLink::framedSend(unsigned char *buff, int len)
{
    if (!isConnected())
        return -1;
    if (!buff || len < 0)
        return 0;
    return sent(kframe::sendInPieces(*m_device, buff, len, m_piecePause));
}

// A frame the key took shows it reads again.
int usbLink::sent(int result)
{
    if (result == 1)
        m_backoffMs.store(0);
    return result;
}
