#pragma once

#include <QObject>

#include <memory>

// Turns the system's requests to end the program (SIGTERM, SIGINT and SIGHUP on Unix) into a Qt
// signal on the thread that created this object, so that they pass the same guard as Exit instead
// of killing the program half-way through a seal. One instance at a time; the destructor restores
// the previous handlers. Windows sends a GUI program no such signals: its session end reaches the
// window as a commit-data request, and this object stays inactive there.
class ShutdownSignals : public QObject
{
    Q_OBJECT

public:
    explicit ShutdownSignals(QObject *parent = nullptr);
    ~ShutdownSignals() override;

    // False when the handlers could not be installed (or the platform has none).
    bool isActive() const;

signals:
    void requested(int signalNumber);

private:
    class Handlers;
    const std::unique_ptr<Handlers> m_handlers;
};
