#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QtGlobal>

#include <mutex>

class KMessage;

// Bound of every wait in the key suites: the key, transport and relay answer within milliseconds, so
// a fault fails a case within seconds instead of hanging the suite.
constexpr int kKeyWaitMs = 3000;

// Collects the debug log of every thread while it exists (one at a time).
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    int count(const QString &line) const;
    QStringList lines() const;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    mutable std::mutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous;
};

// The serialised bytes of a message, as the key or the application sends it.
QByteArray serialised(KMessage &message);

// The payload as one key-link frame: flags, stuffing and FCS.
QByteArray framed(const QByteArray &payload);

// The longest time the GUI thread went without running its event loop while this exists: how long
// one slot or call held the window.
class EventLoopGap
{
public:
    EventLoopGap();
    qint64 longestMs() const { return m_longest; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};
