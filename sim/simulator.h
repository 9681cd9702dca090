#pragma once

// The whole station environment in one object, as the sealstation-sim program runs it: the relay
// server, the simulated web service and the emulated key that reports both.
//
//     SimulatorOptions options;            // 8080, 7000, the default key socket
//     options.databasePath = "/tmp/vesk.db";
//     Simulator simulator;
//     connect(&simulator, &Simulator::event, ...);  // one readable line per event
//     QString error;
//     if (!simulator.start(options, &error)) ...
//     simulator.key()->presentLock(303659);
//     simulator.stop();                     // key, service, relay, in that order

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class EmulatedKey;
class RelayServer;

namespace sim {
class WebService;
}

struct SimulatorOptions
{
    quint16 servicePort = 8080; // 0: a free port
    quint16 relayPort = 7000;   // 0: a free port
    QString databasePath;       // empty: defaultDatabasePath()
    QString keySocket;          // empty: the application's default key socket path
    int keyStepDelayMs = 150;   // pause between the key's reports of a lock operation
};

class Simulator : public QObject
{
    Q_OBJECT

public:
    explicit Simulator(QObject *parent = nullptr);
    ~Simulator() override;

    // "vesk.db" in the data directory of the application "SealStationSim" of "Vesk".
    static QString defaultDatabasePath();

    // Starts the relay, the service and the key; on failure everything started is stopped again
    // and `error` says what could not start and what to do about it.
    bool start(const SimulatorOptions &options, QString *error = nullptr);
    // Stops the key first (the application sees it unplugged), then the service, then the relay.
    void stop();
    bool isRunning() const { return m_key != nullptr; }

    EmulatedKey *key() const { return m_key.get(); }
    sim::WebService *service() const { return m_service.get(); }
    RelayServer *relay() const { return m_relay.get(); }
    QString databasePath() const { return m_databasePath; }
    QString keySocketPath() const;
    quint16 servicePort() const;
    quint16 relayPort() const;

    // Where each part listens, the demo sign-in, barcodes and locks: the lines shown at start-up.
    QStringList banner() const;
    // The demo barcodes and locks only.
    QStringList demoData() const;
    // Every seal recorded in the database, one line each, oldest first.
    QStringList sealLines() const;

    // "Lock presented: 00 00 00 00 04 a2 2b" reads "Lock presented: RF 303659", "Scan: ..." "Tag read: ...".
    static QString readableKeyActivity(const QString &text);
    // "PUT /veskservice/timetable/seal 200 rc=200" with what the request was for.
    static QString readableServiceRequest(const QString &line);
    // A payload as text when it is printable, else as hexadecimal; long ones are shortened.
    static QString readablePayload(const QByteArray &payload);
    // Relay data as the key receives it: a TCP frame's content still ends with its FCS.
    static QString readableRelayData(const QByteArray &data);

signals:
    // One line about something a part did, prefixed with the part ("key", "relay", "service").
    void event(QString line);

private:
    void serviceRequest(const QString &line);

    std::unique_ptr<RelayServer> m_relay;
    std::unique_ptr<sim::WebService> m_service;
    std::unique_ptr<EmulatedKey> m_key;
    QString m_databasePath;
};
