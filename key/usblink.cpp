#include "key/usblink.h"

#include <QDebug>
#include <QMetaMethod>

#include <chrono>

usbLink *usbLink::get()
{
    // Lives until the process ends; the engine stops its thread at shutdown.
    static usbLink *const link = new usbLink(createUsbDevice());
    return link;
}

usbLink::usbLink(std::unique_ptr<UsbDevice> device, int pollIntervalMs, std::function<void()> piecePause,
                 QObject *parent)
    : QThread(parent), m_device(std::move(device)), m_pollIntervalMs(pollIntervalMs),
      m_piecePause(piecePause ? std::move(piecePause) : [] { QThread::msleep(1); })
{
    qRegisterMetaType<unsigned char *>("unsigned char*");
}

usbLink::~usbLink()
{
    stop();
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

void usbLink::pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    m_pauseWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping.load(); });
}

void usbLink::run()
{
    bool wasConnected = false;
    kframe::FrameReceiver receiver;
    while (!m_stopping.load()) {
        if (!m_connected.load()) {
            if (m_device->openDevice()) {
                if (m_stopping.load())
                    break;
                qDebug().noquote() << QStringLiteral("Device found");
                m_connected.store(1);
                emit usbConnected(true);
            } else if (wasConnected) {
                emit usbConnected(false);
                wasConnected = false;
            }
            pause(m_pollIntervalMs);
            continue;
        }

        wasConnected = true;
        std::unique_ptr<uint8_t[]> payload;
        int payloadLen = 0;
        const kframe::FrameReceiver::Step step = receiver.step(*m_device, payload, payloadLen);
        m_lastReadCount.store(receiver.lastReadCount());
        if (step == kframe::FrameReceiver::Step::Delivered) {
            deliver(std::move(payload), payloadLen);
        } else if (step == kframe::FrameReceiver::Step::PipeFailed) {
            if (m_stopping.load())
                break;
            m_connected.store(0);
            emit usbConnected(false);
            receiver.reset();
            qDebug().noquote() << QStringLiteral("Device disconnected");
            // The loop looks for the key again at once; a failed first look reports the loss again.
        }
    }
    m_connected.store(0);
    receiver.reset();
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
    if (!m_connected.load())
        return -1;
    if (!buff || len < 0)
        return 0;
    return kframe::sendWhole(*m_device, buff, len);
}

int usbLink::framedSend(unsigned char *buff, int len)
{
    if (!m_connected.load())
        return -1;
    if (!buff || len < 0)
        return 0;
    return kframe::sendInPieces(*m_device, buff, len, m_piecePause);
}
