#pragma once

// The simulator's console: commands typed on standard input or read from a script, one per line,
// run in order against a started Simulator. A sleep or wait holds the commands after it, so a
// script can pace itself; typed commands simply run at once.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <optional>

class Simulator;

struct SimCommand
{
    enum class Kind
    {
        Nothing, // blank line or # comment
        Help,
        Present,
        Remove,
        Unplug,
        Plug,
        Fail,
        Transfer,
        Seals,
        Status,
        Demo,
        Sleep,
        Wait,
        Quit,
        Invalid
    };
    enum class Until
    {
        App,      // the application connects to the key
        Transfer, // a relay transfer ends
        Seal      // the service records another seal
    };

    Kind kind = Kind::Nothing;
    quint64 rf = 0;       // present
    QString text;         // fail: the key's label text; transfer: one payload (empty: the key's own);
                          // invalid: what is wrong, for the user
    int milliseconds = 0; // sleep, wait
    Until until = Until::App;
};

SimCommand parseSimCommand(const QString &line);

class SimConsole : public QObject
{
    Q_OBJECT

public:
    // The simulator must be started: the console follows the key it has then.
    explicit SimConsole(Simulator *simulator, QObject *parent = nullptr);
    ~SimConsole() override;

    static QStringList helpText();
    static constexpr int kDefaultWaitMs = 60000;

    // Queues one line of input; the commands run in order, one per turn of the event loop.
    void feed(const QString &line);
    // No more input will come: once the queued commands have run, quitRequested is emitted.
    void endOfInput();
    // True when no command is waiting or holding the queue.
    bool isIdle() const;
    // True when the input should wait: this many commands are queued.
    static constexpr size_t kMaxQueued = 1000;
    bool isBacklogged() const { return m_queue.size() >= kMaxQueued; }
    // True while a sleep or wait holds the queue.
    bool isHolding() const { return m_holding; }
    // How often `wait seal` looks at the database.
    void setSealPollInterval(int ms) { m_sealPoll.setInterval(ms); }

signals:
    // One line of a command's reply.
    void output(QString line);
    // Sent once, by quit or at the end of the input.
    void quitRequested();
    // The queue has run dry: ready for the next command.
    void ready();

private:
    void scheduleRun();
    void runQueue();
    void scheduleReady();
    // False when the command holds the queue (sleep, wait).
    bool execute(const SimCommand &command);
    void hold(const SimCommand &command);
    void release(const QString &reason = QString());
    void requestQuit();
    void present(quint64 rf);
    void showStatus();
    int sealCount() const;

    QPointer<Simulator> m_simulator;
    std::deque<std::optional<QString>> m_queue; // an empty optional marks the end of the input
    bool m_holding = false;
    bool m_runScheduled = false;
    std::optional<SimCommand::Until> m_waitingFor;
    bool m_quitting = false;
    QTimer m_holdTimer;
    QTimer m_sealPoll;
    int m_sealsBefore = 0;
    std::optional<quint64> m_presented; // the lock in front of the key, as the console put it there
};
