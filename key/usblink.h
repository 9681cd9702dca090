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

// The key's USB transport. Its thread looks for the key once per poll interval while none is open (at
// once when the device reports a USB device plugged in) and blocks in bulk reads while one is; frames
// are written from the caller's thread.
class usbLink : public QThread
{
    Q_OBJECT

public:
    static constexpr int kPollIntervalMs = 1000;
    // The longest wait before looking again for a key whose writes keep timing out.
    static constexpr int kMaxBackoffMs = 30000;
    // Frames read but not yet taken by the GUI thread; a key that floods past this loses frames.
    static constexpr int kMaxQueuedFrames = 256;

    // Where the transport thread stands; written by that thread only. Transitions:
    //
    //   Phase       Event                                 Next        On the way
    //   Searching   key found                             Open        "Device found", usbConnected(true),
    //                                                                 then one poll interval
    //   Searching   no key                                Searching   one poll interval (less on an arrival)
    //   Open        good frame read                       Open        received(); back-off cleared
    //   Open        empty transfer or bad frame           Open        -
    //   Open        read fails (unplug, error)            Lost        usbConnected(false), "Device disconnected"
    //   Open        read fails after a write time-out     BackingOff  the same; back-off = one poll interval,
    //                                                                 doubled up to kMaxBackoffMs
    //   Lost        key found                             Open        as from Searching
    //   Lost        no key                                Searching   usbConnected(false) again, back-off cleared
    //   BackingOff  back-off over (or an arrival), then   as Lost     -
    //               the look as from Lost
    //   any         stop()                                Stopped     nothing emitted
    //
    // A write the key takes also clears the back-off.
    enum class Phase
    {
        Searching,
        Open,
        Lost,
        BackingOff,
        Stopped
    };

    // The product's transport on this platform's key device. Its thread is started by the key engine.
    static usbLink *get();

    // `pollIntervalMs` is the wait between discovery attempts and after a key is found;
    // `piecePause` runs after every piece of framedSend (empty: 1 ms).
    explicit usbLink(std::unique_ptr<UsbDevice> device, int pollIntervalMs = kPollIntervalMs,
                     std::function<void()> piecePause = {}, QObject *parent = nullptr);
    ~usbLink() override;

    Phase phase() const { return m_phase.load(); }
    bool isConnected() const { return phase() == Phase::Open; }
    int lastReadCount() const { return m_lastReadCount.load(); }
    // Frames dropped because the GUI thread had too many waiting.
    int droppedFrames() const { return m_droppedFrames.load(); }
    // The wait before the next look after a write time-out; 0 when the key answers.
    int backoffMs() const { return m_backoffMs.load(); }
    // The back-off after one more write time-out.
    static int nextBackoffMs(int currentMs, int pollIntervalMs);

    // Ends the thread at shutdown: unblocks a pending read, lets the loop end and joins it. No signal
    // is emitted for the key that was open. Safe to call more than once and from any thread but the
    // transport's own.
    void stop();

signals:
    // One good frame's payload; the receiver owns `buff` (delete[]).
    void received(unsigned char *buff, int len);
    void usbConnected(bool stat);
    // A key is plugged in but cannot be used (no permission, in use elsewhere): one line that says what
    // to do. Emitted once each time such a key is plugged in.
    void keyUnusable(QString message);

public slots:
    int send(unsigned char *buff, int len);
    int framedSend(unsigned char *buff, int len);

protected:
    void run() override;

private:
    using Frame = std::pair<std::unique_ptr<uint8_t[]>, int>;

    // Waits `ms`, less when stop() is called or, with `untilArrival`, when a USB device is plugged in.
    void pause(int ms, bool untilArrival);
    // One look for the key from Searching, Lost or BackingOff.
    void look(Phase from);
    // One receive step while Open.
    void readStep(kframe::FrameReceiver &receiver);
    int sent(int result);
    void deliver(std::unique_ptr<uint8_t[]> payload, int len);
    // Runs on the thread this object lives in: hands the waiting frames on with `received`.
    void takeFrames();

    const std::unique_ptr<UsbDevice> m_device;
    const int m_pollIntervalMs;
    const std::function<void()> m_piecePause;
    std::atomic<Phase> m_phase{Phase::Searching};
    // Written by the transport thread, and cleared by a writer whose write the key took.
    std::atomic<int> m_backoffMs{0};
    std::atomic<int> m_lastReadCount{0};
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_droppedFrames{0};
    std::mutex m_framesMutex;
    std::deque<Frame> m_frames;
    bool m_dropping = false;
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseWake;
    bool m_arrived = false; // a USB device was plugged in since the last look
};

// Qt 6 registers the argument types of queued signals itself.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
Q_DECLARE_METATYPE(unsigned char *)
#endif
