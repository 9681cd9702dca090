#pragma once

// What a console program on Unix waits for besides its event loop: lines on standard input (or
// any readable descriptor), Ctrl+C, SIGTERM and SIGHUP, and the end of another process.
// Everything arrives as a signal on the owner's thread.

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QSocketNotifier;

class ConsoleInput : public QObject
{
    Q_OBJECT

public:
    explicit ConsoleInput(QObject *parent = nullptr);
    ~ConsoleInput() override;

    // Longest line kept; longer ones are cut so a stream without line breaks cannot grow memory.
    static constexpr int kMaxLine = 65536;

    // True when both standard input and standard output are terminals: a person types.
    static bool isInteractive();

    // Reads lines from `fd` (standard input by default). The descriptor stays open and blocking:
    // it is shared with the shell that started the program.
    bool readLines(int fd = 0);
    // Stops and resumes reading, so a reader that falls behind holds a bounded backlog.
    void setReading(bool reading);
    // SIGINT, SIGTERM and SIGHUP become terminationRequested (one ConsoleInput at a time).
    bool catchTerminationSignals();
    // processEnded once `pid` has exited (a zombie counts as ended).
    bool watchProcess(qint64 pid, int intervalMs = 250);
    static bool processAlive(qint64 pid);

signals:
    void lineRead(QString line);
    void inputEnded();
    void terminationRequested(QString signalName);
    void processEnded(qint64 pid);

private:
    void readAvailable();
    void readSignal();
    void emitLines(bool flushPartial);
    void restoreSignals();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_input;
    QByteArray m_pending;
    bool m_ended = false;
    std::unique_ptr<QSocketNotifier> m_signals;
    bool m_signalsCaught = false;
    QTimer m_processTimer;
    qint64 m_pid = 0;
};
