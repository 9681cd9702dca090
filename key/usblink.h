#pragma once

#include "key/usbdevice.h"

#include <QMetaType>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

// The key's USB transport. Its thread polls for the key once per interval while none is open and
// blocks in bulk reads while one is; frames are written from the caller's thread.
class usbLink : public QThread
{
    Q_OBJECT

public:
    static constexpr int kPollIntervalMs = 1000;
    // Frames read but not yet taken by the GUI thread; a key that floods past this loses frames.
    static constexpr int kMaxQueuedFrames = 256;

    // The product's transport on this platform's device. Its thread is started by the key engine.
    static usbLink *get();

    // `pollIntervalMs` is the wait between discovery attempts and after a key is found;
    // `piecePause` runs after every piece of framedSend (empty: 1 ms).
    explicit usbLink(std::unique_ptr<UsbDevice> device, int pollIntervalMs = kPollIntervalMs,
                     std::function<void()> piecePause = {}, QObject *parent = nullptr);
    ~usbLink() override;

    bool isConnected() const { return m_connected.load() != 0; }
    int lastReadCount() const { return m_lastReadCount.load(); }
    // Frames dropped because the GUI thread had too many waiting.
    int droppedFrames() const { return m_droppedFrames.load(); }

    // Ends the thread at shutdown: unblocks a pending read, lets the loop end and joins it. No signal
    // is emitted for the key that was open. Safe to call more than once and from any thread but the
    // transport's own.
    void stop();

signals:
    // One good frame's payload; the receiver owns `buff` (delete[]).
    void received(unsigned char *buff, int len);
    void usbConnected(bool stat);

public slots:
    int send(unsigned char *buff, int len);
    int framedSend(unsigned char *buff, int len);

protected:
    void run() override;

private:
    using Frame = std::pair<std::unique_ptr<uint8_t[]>, int>;

    void pause(int ms);
    void deliver(std::unique_ptr<uint8_t[]> payload, int len);
    // Runs on the thread this object lives in: hands the waiting frames on with `received`.
    void takeFrames();

    const std::unique_ptr<UsbDevice> m_device;
    const int m_pollIntervalMs;
    const std::function<void()> m_piecePause;
    // Written by the transport thread, read by the writers.
    std::atomic<int> m_connected{0};
    std::atomic<int> m_lastReadCount{0};
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_droppedFrames{0};
    std::mutex m_framesMutex;
    std::deque<Frame> m_frames;
    bool m_dropping = false;
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseWake;
};

// Qt 6 registers the argument types of queued signals itself.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
Q_DECLARE_METATYPE(unsigned char *)
#endif
