#include "sim/simconsole.h"

#include "sim/emulatedkey.h"
#include "sim/relayserver.h"
#include "sim/simulator.h"
#include "sim/webservice.h"

#include <QRegularExpression>

#include <cmath>

namespace {

// The key takes a tag of 7 bytes.
constexpr quint64 kMaxRf = (quint64(1) << 56) - 1;
constexpr double kMaxPauseSeconds = 3600.0;
constexpr int kSealPollMs = 250;

SimCommand invalid(const QString &reason)
{
    SimCommand command;
    command.kind = SimCommand::Kind::Invalid;
    command.text = reason;
    return command;
}

// Seconds as typed ("2", "0.5") to milliseconds; -1 when not a number in range.
int parseSeconds(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < 0.0 || seconds > kMaxPauseSeconds)
        return -1;
    return static_cast<int>(std::lround(seconds * 1000.0));
}

QString untilName(SimCommand::Until until)
{
    switch (until) {
    case SimCommand::Until::App:
        return QStringLiteral("the application to connect to the key");
    case SimCommand::Until::Transfer:
        return QStringLiteral("the transfer to end");
    case SimCommand::Until::Seal:
        return QStringLiteral("a new seal");
    }
    return QString();
}

} // namespace

SimCommand parseSimCommand(const QString &line)
{
    const QString trimmed = line.trimmed();
    SimCommand command;
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
        return command;

    static const QRegularExpression space(QStringLiteral("\\s+"));
    const int gap = trimmed.indexOf(space);
    const QString word = (gap < 0 ? trimmed : trimmed.left(gap)).toLower();
    const QString rest = gap < 0 ? QString() : trimmed.mid(gap).trimmed();
    const QStringList args = rest.split(space, Qt::SkipEmptyParts);

    const auto noArguments = [&](SimCommand::Kind kind) {
        if (!args.isEmpty())
            return invalid(QStringLiteral("%1 takes nothing after it").arg(word));
        command.kind = kind;
        return command;
    };

    if (word == QLatin1String("help") || word == QLatin1String("?"))
        return noArguments(SimCommand::Kind::Help);
    if (word == QLatin1String("present")) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
        if (args.size() != 1 || !digits.match(args.first()).hasMatch())
            return invalid(QStringLiteral("present needs the lock's RF number, e.g. present 303659"));
        bool ok = false;
        const quint64 rf = args.first().toULongLong(&ok);
        if (!ok || rf > kMaxRf)
            return invalid(QStringLiteral("RF numbers go up to %1 (7 bytes)").arg(kMaxRf));
        command.kind = SimCommand::Kind::Present;
        command.rf = rf;
        return command;
    }
    if (word == QLatin1String("remove") || word == QLatin1String("take"))
        return noArguments(SimCommand::Kind::Remove);
    if (word == QLatin1String("unplug"))
        return noArguments(SimCommand::Kind::Unplug);
    if (word == QLatin1String("plug"))
        return noArguments(SimCommand::Kind::Plug);
    if (word == QLatin1String("fail")) {
        if (rest.isEmpty())
            return invalid(QStringLiteral("fail needs the text the key shows, e.g. fail Lock jammed"));
        command.kind = SimCommand::Kind::Fail;
        // "\n" typed as two characters is a line break on the key's display.
        command.text = QString(rest).replace(QLatin1String("\\n"), QLatin1String("\r\n"));
        return command;
    }
    if (word == QLatin1String("transfer")) {
        command.kind = SimCommand::Kind::Transfer;
        command.text = rest;
        return command;
    }
    if (word == QLatin1String("seals"))
        return noArguments(SimCommand::Kind::Seals);
    if (word == QLatin1String("status"))
        return noArguments(SimCommand::Kind::Status);
    if (word == QLatin1String("demo"))
        return noArguments(SimCommand::Kind::Demo);
    if (word == QLatin1String("sleep")) {
        const int ms = args.size() == 1 ? parseSeconds(args.first()) : -1;
        if (ms < 0)
            return invalid(QStringLiteral("sleep needs seconds (up to 3600), e.g. sleep 2 or sleep 0.5"));
        command.kind = SimCommand::Kind::Sleep;
        command.milliseconds = ms;
        return command;
    }
    if (word == QLatin1String("wait")) {
        const QString what = args.isEmpty() ? QString() : args.first().toLower();
        if (what == QLatin1String("app"))
            command.until = SimCommand::Until::App;
        else if (what == QLatin1String("transfer"))
            command.until = SimCommand::Until::Transfer;
        else if (what == QLatin1String("seal"))
            command.until = SimCommand::Until::Seal;
        else
            return invalid(QStringLiteral("wait needs app, transfer or seal, then seconds if you like, "
                                          "e.g. wait app 30"));
        command.milliseconds = SimConsole::kDefaultWaitMs;
        if (args.size() == 2)
            command.milliseconds = parseSeconds(args.at(1));
        if (args.size() > 2 || command.milliseconds < 0)
            return invalid(QStringLiteral("wait takes at most 3600 seconds, e.g. wait %1 30").arg(what));
        command.kind = SimCommand::Kind::Wait;
        return command;
    }
    if (word == QLatin1String("quit") || word == QLatin1String("exit"))
        return noArguments(SimCommand::Kind::Quit);
    return invalid(QStringLiteral("Unknown command \"%1\"; type help for the list").arg(word));
}

SimConsole::SimConsole(Simulator *simulator, QObject *parent) : QObject(parent), m_simulator(simulator)
{
    m_holdTimer.setSingleShot(true);
    connect(&m_holdTimer, &QTimer::timeout, this, [this] {
        if (m_waitingFor)
            release(QStringLiteral("Gave up waiting for %1").arg(untilName(*m_waitingFor)));
        else
            release();
    });
    m_sealPoll.setInterval(kSealPollMs);
    connect(&m_sealPoll, &QTimer::timeout, this, [this] {
        if (sealCount() > m_sealsBefore)
            release(QStringLiteral("A new seal was recorded"));
    });
    if (EmulatedKey *key = simulator ? simulator->key() : nullptr) {
        connect(key, &EmulatedKey::clientConnected, this, [this] {
            if (m_waitingFor == SimCommand::Until::App)
                release();
        });
        connect(key, &EmulatedKey::transferFinished, this, [this] {
            if (m_waitingFor == SimCommand::Until::Transfer)
                release();
        });
    }
}

SimConsole::~SimConsole() = default;

QStringList SimConsole::helpText()
{
    return {
        QStringLiteral("Commands, one per line (scripts may add # comments):"),
        QStringLiteral("  present RF       hold the lock with this RF number to the key, e.g. present 303659"),
        QStringLiteral("  remove           take the lock away from the key"),
        QStringLiteral("  unplug, plug     pull the key out of the computer, plug it in again"),
        QStringLiteral("  fail TEXT        the next close or open fails, the key showing TEXT (\\n: new line)"),
        QStringLiteral("  transfer [TEXT]  the key sends data through the application to the relay server"),
        QStringLiteral("  seals            the seals recorded in the database"),
        QStringLiteral("  status           what the key, the service and the relay are doing"),
        QStringLiteral("  demo             the demo sign-in, barcodes and locks"),
        QStringLiteral("  sleep SECONDS    pause the commands that follow"),
        QStringLiteral("  wait app|transfer|seal [SECONDS]"),
        QStringLiteral("                   pause until the application connects to the key, a transfer ends"),
        QStringLiteral("                   or a new seal is recorded (60 seconds at most unless given)"),
        QStringLiteral("  help             this list"),
        QStringLiteral("  quit             stop the simulator (so do Ctrl+C and the end of the input)"),
    };
}

void SimConsole::feed(const QString &line)
{
    if (m_quitting)
        return;
    m_queue.emplace_back(line);
    scheduleRun();
}

void SimConsole::endOfInput()
{
    if (m_quitting)
        return;
    m_queue.emplace_back(std::nullopt);
    scheduleRun();
}

bool SimConsole::isIdle() const
{
    return m_queue.empty() && !m_holding;
}

void SimConsole::scheduleRun()
{
    if (m_runScheduled)
        return;
    m_runScheduled = true;
    QMetaObject::invokeMethod(this, &SimConsole::runQueue, Qt::QueuedConnection);
}

void SimConsole::runQueue()
{
    m_runScheduled = false;
    if (m_holding || m_quitting)
        return;
    if (!m_queue.empty()) {
        // One command per turn of the event loop: what the key reports about it is printed before the next.
        const std::optional<QString> line = m_queue.front();
        m_queue.pop_front();
        if (!line) {
            requestQuit();
            return;
        }
        const SimCommand command = parseSimCommand(*line);
        if (!execute(command))
            hold(command);
        else if (!m_queue.empty())
            scheduleRun();
    }
    if (isIdle() && !m_quitting)
        scheduleReady();
}

void SimConsole::scheduleReady()
{
    // After the events the last command caused, so a prompt comes last.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isIdle() && !m_quitting)
                emit ready();
        },
        Qt::QueuedConnection);
}

bool SimConsole::execute(const SimCommand &command)
{
    Simulator *simulator = m_simulator.data();
    EmulatedKey *key = simulator ? simulator->key() : nullptr;
    if (!key && command.kind != SimCommand::Kind::Nothing && command.kind != SimCommand::Kind::Help &&
        command.kind != SimCommand::Kind::Quit && command.kind != SimCommand::Kind::Invalid) {
        emit output(QStringLiteral("The simulator is not running"));
        return true;
    }

    switch (command.kind) {
    case SimCommand::Kind::Nothing:
        break;
    case SimCommand::Kind::Invalid:
        emit output(command.text);
        break;
    case SimCommand::Kind::Help:
        for (const QString &line : helpText())
            emit output(line);
        break;
    case SimCommand::Kind::Present:
        present(command.rf);
        break;
    case SimCommand::Kind::Remove:
        key->removeLock();
        m_presented.reset();
        break;
    case SimCommand::Kind::Unplug:
        if (!key->isPluggedIn())
            emit output(QStringLiteral("The key is already unplugged"));
        else
            key->unplug();
        break;
    case SimCommand::Kind::Plug:
        if (key->isPluggedIn())
            emit output(QStringLiteral("The key is already plugged in"));
        else
            key->plug();
        break;
    case SimCommand::Kind::Fail:
        key->failNextOperation(command.text);
        emit output(QStringLiteral("The next close or open fails: the key shows \"%1\"")
                        .arg(QString(command.text).replace(QLatin1String("\r\n"), QLatin1String(" / "))));
        break;
    case SimCommand::Kind::Transfer: {
        QList<QByteArray> payloads;
        if (!command.text.isEmpty())
            payloads << command.text.toUtf8();
        if (!key->isPluggedIn())
            emit output(QStringLiteral("No transfer: the key is unplugged (plug it in first)"));
        else if (!key->hasClient())
            emit output(QStringLiteral("No transfer: the application is not connected to the key"));
        else if (!key->startTransfer(payloads))
            emit output(QStringLiteral("No transfer: one is already running"));
        break;
    }
    case SimCommand::Kind::Seals: {
        const QStringList lines = simulator->sealLines();
        if (lines.isEmpty())
            emit output(QStringLiteral("No seals recorded"));
        for (const QString &line : lines)
            emit output(line);
        break;
    }
    case SimCommand::Kind::Status:
        showStatus();
        break;
    case SimCommand::Kind::Demo:
        for (const QString &line : simulator->demoData())
            emit output(line);
        break;
    case SimCommand::Kind::Sleep:
        return command.milliseconds == 0;
    case SimCommand::Kind::Wait:
        if (command.until == SimCommand::Until::App && key->hasClient())
            return true;
        return false;
    case SimCommand::Kind::Quit:
        requestQuit();
        break;
    }
    return true;
}

void SimConsole::hold(const SimCommand &command)
{
    m_holding = true;
    if (command.kind == SimCommand::Kind::Wait) {
        m_waitingFor = command.until;
        if (command.until == SimCommand::Until::Seal) {
            m_sealsBefore = sealCount();
            m_sealPoll.start();
        }
    }
    m_holdTimer.start(command.milliseconds);
}

void SimConsole::release(const QString &reason)
{
    if (!m_holding)
        return;
    m_holding = false;
    m_waitingFor.reset();
    m_holdTimer.stop();
    m_sealPoll.stop();
    if (!reason.isEmpty())
        emit output(reason);
    scheduleRun();
}

void SimConsole::requestQuit()
{
    if (m_quitting)
        return;
    m_quitting = true;
    m_queue.clear();
    m_holdTimer.stop();
    m_sealPoll.stop();
    emit quitRequested();
}

void SimConsole::present(quint64 rf)
{
    Simulator *simulator = m_simulator.data();
    simulator->key()->presentLock(rf);
    m_presented = rf;
    // A word on locks the demo data treats specially saves a puzzled look at the application.
    const std::optional<sim::LockRow> lock = simulator->service()->store().lockByRf(std::to_string(rf));
    QString note;
    if (!lock)
        note = QStringLiteral("Note: RF %1 is not a lock the service knows; packing with it fails").arg(rf);
    else if (lock->commissionState == "PENDING")
        note = QStringLiteral("Note: lock %1 is pending; the application commissions it before sealing")
                   .arg(QString::fromStdString(lock->lockId));
    else if (lock->commissionState != "COMMISSIONED")
        note = QStringLiteral("Note: lock %1 is not commissioned; the service refuses to seal with it")
                   .arg(QString::fromStdString(lock->lockId));
    if (!note.isEmpty()) {
        // Queued behind the key's own report of the lock.
        QMetaObject::invokeMethod(
            this, [this, note] { emit output(note); }, Qt::QueuedConnection);
    }
}

void SimConsole::showStatus()
{
    Simulator *simulator = m_simulator.data();
    EmulatedKey *key = simulator->key();
    QString keyLine = QStringLiteral("Key      %1, ").arg(simulator->keySocketPath());
    if (!key->isPluggedIn())
        keyLine += QStringLiteral("unplugged");
    else if (key->hasClient())
        keyLine += QStringLiteral("plugged in, the application connected");
    else
        keyLine += QStringLiteral("plugged in, waiting for the application");
    keyLine += m_presented ? QStringLiteral("; lock RF %1 in front of it").arg(*m_presented)
                           : QStringLiteral("; no lock in front of it");
    emit output(keyLine);
    emit output(QStringLiteral("Service  http://127.0.0.1:%1/veskservice/, %2 requests, %3 seals recorded")
                    .arg(simulator->servicePort())
                    .arg(simulator->service()->requestCount())
                    .arg(sealCount()));
    emit output(QStringLiteral("Relay    127.0.0.1:%1, %2 payloads received, %3 TCP connections open")
                    .arg(simulator->relayPort())
                    .arg(simulator->relay()->received().size())
                    .arg(simulator->relay()->connectionCount()));
}

int SimConsole::sealCount() const
{
    const Simulator *simulator = m_simulator.data();
    if (!simulator || !simulator->service())
        return 0;
    return static_cast<int>(simulator->service()->seals().size());
}
