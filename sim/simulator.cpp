#include "sim/simulator.h"

#include "key/kframe.h"
#include "key/usbdevice.h"
#include "sim/emulatedkey.h"
#include "sim/relayserver.h"
#include "sim/webservice.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>

namespace {

const QString kHost = QStringLiteral("127.0.0.1");
constexpr int kMaxShownPayload = 48; // bytes of a relay payload shown in an event line
constexpr int kMaxListedBarcodes = 4;
constexpr int kMaxListedLocks = 7;

// Fixed-width part names keep the event lines aligned.
QString eventLine(const char *part, const QString &text)
{
    return QString::fromLatin1(part).leftJustified(8) + text;
}

// What each service request is for, by path under /veskservice/.
QString purposeOf(const QString &method, const QString &path)
{
    static const QString prefix = QStringLiteral("/veskservice/");
    if (!path.startsWith(prefix))
        return QString();
    const QString rest = path.mid(prefix.size());
    if (rest == QLatin1String("login"))
        return QStringLiteral("sign in");
    if (rest == QLatin1String("examschedule/link/subject/to/center"))
        return QStringLiteral("link the bag to its exam");
    if (rest.startsWith(QLatin1String("examschedule/assign/")))
        return QStringLiteral("assign the subject to the school");
    if (rest.startsWith(QLatin1String("examschedule/deassign/")))
        return QStringLiteral("remove the subject from the school");
    if (rest == QLatin1String("examschedule/ap"))
        return QStringLiteral("seals already recorded for the bag");
    if (rest.startsWith(QLatin1String("lock/find/by/rf/")))
        return QStringLiteral("look up lock RF ") + rest.mid(16);
    if (rest == QLatin1String("lock/validate"))
        return QStringLiteral("commission the lock");
    if (rest == QLatin1String("lock") && method != QLatin1String("GET"))
        return QStringLiteral("rename a lock");
    if (rest == QLatin1String("timetable/seal"))
        return QStringLiteral("record the seal");
    return QString();
}

QString joinLimited(const QStringList &items, int limit)
{
    if (items.size() <= limit)
        return items.join(QLatin1Char(' '));
    return QStringList(items.mid(0, limit)).join(QLatin1Char(' ')) + QStringLiteral(" ...");
}

} // namespace

Simulator::Simulator(QObject *parent) : QObject(parent) {}

Simulator::~Simulator()
{
    stop();
}

QString Simulator::defaultDatabasePath()
{
    // The application-local data folder of "SealStationSim" by "Vesk" on Unix, whatever this process is called.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(data).filePath(QStringLiteral("Vesk/SealStationSim/vesk.db"));
}

bool Simulator::start(const SimulatorOptions &options, QString *error)
{
    stop();
    const auto fail = [this, error](const QString &reason) {
        if (error)
            *error = reason;
        stop();
        return false;
    };

    m_relay = std::make_unique<RelayServer>();
    if (!m_relay->start(options.relayPort))
        return fail(QStringLiteral("The relay server cannot listen on %1:%2 (TCP and UDP): the port is in use. "
                                   "Choose another with --relay-port.")
                        .arg(kHost)
                        .arg(options.relayPort));
    connect(m_relay.get(), &RelayServer::payloadReceived, this, [this](const QByteArray &payload, bool tcp) {
        emit event(eventLine("relay",
                             QStringLiteral("Received over %1: %2, answered with ACK")
                                 .arg(tcp ? QStringLiteral("TCP") : QStringLiteral("UDP"), readablePayload(payload))));
    });
    connect(m_relay.get(), &RelayServer::connectionOpened, this,
            [this] { emit event(eventLine("relay", QStringLiteral("The application connected over TCP"))); });
    connect(m_relay.get(), &RelayServer::connectionClosed, this,
            [this] { emit event(eventLine("relay", QStringLiteral("The application's TCP connection closed"))); });

    m_databasePath = options.databasePath.isEmpty() ? defaultDatabasePath() : options.databasePath;
    const QString directory = QFileInfo(m_databasePath).absolutePath();
    if (!QDir().mkpath(directory))
        return fail(QStringLiteral("Cannot create the folder %1 for the database. Choose another file with --db.")
                        .arg(directory));

    sim::WebService::Options serviceOptions;
    serviceOptions.host = kHost.toStdString();
    serviceOptions.port = options.servicePort;
    serviceOptions.databasePath = QFile::encodeName(m_databasePath).toStdString();
    // Called on the service's threads: the line travels to this object's thread.
    serviceOptions.log = [this](const std::string &line) {
        const QString text = QString::fromStdString(line);
        QMetaObject::invokeMethod(
            this, [this, text] { serviceRequest(text); }, Qt::QueuedConnection);
    };
    m_service = std::make_unique<sim::WebService>(serviceOptions);
    std::string serviceError;
    if (!m_service->start(&serviceError)) {
        if (!m_service->store().isOpen())
            return fail(QStringLiteral("Cannot open the database %1 (%2). Choose another file with --db.")
                            .arg(m_databasePath, QString::fromStdString(serviceError)));
        return fail(QStringLiteral("The web service cannot listen on %1:%2: the port is in use. "
                                   "Choose another with --port.")
                        .arg(kHost)
                        .arg(options.servicePort));
    }

    EmulatedKeyConfig keyConfig;
    keyConfig.socketPath = options.keySocket;
    keyConfig.relayServer = kHost;
    keyConfig.relayPort = m_relay->port();
    keyConfig.serviceAddress = kHost;
    keyConfig.servicePort = static_cast<quint16>(m_service->port());
    keyConfig.stepDelayMs = std::max(0, options.keyStepDelayMs);
    m_key = std::make_unique<EmulatedKey>(keyConfig);
    connect(m_key.get(), &EmulatedKey::activity, this, [this](const QString &text) {
        // Relay data is shown with its bytes below.
        if (!text.startsWith(QLatin1String("Relay data for the key")))
            emit event(eventLine("key", readableKeyActivity(text)));
    });
    connect(m_key.get(), &EmulatedKey::relayDataReceived, this, [this](const QByteArray &data) {
        emit event(eventLine("key", QStringLiteral("Relay data for the key: ") + readableRelayData(data)));
    });
    if (!m_key->start()) {
        const QString path = m_key->socketPath();
        m_key.reset();
        return fail(QStringLiteral("The key cannot listen on %1: another simulator's key answers there, or the "
                                   "folder is not writable. Choose another path with --key-socket.")
                        .arg(path));
    }
    return true;
}

void Simulator::stop()
{
    if (m_key) {
        m_key->stop();
        m_key.reset();
    }
    if (m_service) {
        m_service->stop();
        m_service.reset();
    }
    if (m_relay) {
        m_relay->stop();
        m_relay.reset();
    }
}

QString Simulator::keySocketPath() const
{
    return m_key ? m_key->socketPath() : QString();
}

quint16 Simulator::servicePort() const
{
    return m_service ? static_cast<quint16>(m_service->port()) : 0;
}

quint16 Simulator::relayPort() const
{
    return m_relay ? m_relay->port() : 0;
}

QStringList Simulator::banner() const
{
    QStringList lines;
    lines << QStringLiteral("SealStation station simulator");
    lines << QStringLiteral("  Web service   http://%1:%2/veskservice/").arg(kHost).arg(servicePort());
    lines << QStringLiteral("  Database      %1").arg(QDir::toNativeSeparators(m_databasePath));
    lines << QStringLiteral("  Key socket    %1").arg(keySocketPath());
    lines << QStringLiteral("  Relay server  %1:%2 (TCP and UDP)").arg(kHost).arg(relayPort());
    if (keySocketPath() != QString::fromStdString(defaultKeySocketPath()))
        lines << QStringLiteral("  Start the application with SEALSTATION_KEY_SOCKET=%1").arg(keySocketPath());
    const std::vector<sim::DemoUser> &users = sim::WebStore::demoUsers();
    if (!users.empty())
        lines << QString()
              << QStringLiteral("Sign in as %1, password %2")
                     .arg(QString::fromUtf8(users.front().userName), QString::fromUtf8(users.front().password));
    lines << demoData();
    lines << QString() << QStringLiteral("Type help for the commands, e.g. present 303659 to hold a lock to the key.");
    return lines;
}

QStringList Simulator::demoData() const
{
    QStringList lines;
    if (!m_service || !m_service->store().isOpen())
        return lines;
    sim::WebStore &store = m_service->store();

    QStringList barcodes;
    const std::vector<sim::ExamScheduleRow> schedules = store.schedules();
    int fresh = 0;
    QString sealed;
    for (const sim::ExamScheduleRow &row : schedules) {
        if (!row.assigned || row.scanCode.empty())
            continue;
        int total = 0;
        store.activeSeals(row.pointId, row.tableId, 0, 1, &total);
        const QString line = QStringLiteral("%1  %2, %3")
                                 .arg(QString::fromStdString(row.scanCode), QString::fromStdString(row.subjectName),
                                      QString::fromStdString(row.centerName));
        if (total > 0 && sealed.isEmpty())
            sealed = line + QStringLiteral(" (already sealed with %1 locks)").arg(total);
        else if (total == 0 && fresh < kMaxListedBarcodes - 1) {
            barcodes << line;
            ++fresh;
        }
    }
    if (!sealed.isEmpty())
        barcodes << sealed;
    for (int i = 0; i < barcodes.size(); ++i)
        lines << (i == 0 ? QStringLiteral("Barcodes      ") : QStringLiteral("              ")) + barcodes.at(i);

    QStringList ready;
    QStringList refused;
    QStringList pending;
    for (const sim::LockRow &lock : store.locks()) {
        const QString rf = QString::fromStdString(lock.rfId);
        if (lock.commissionState == "COMMISSIONED")
            ready << rf;
        else if (lock.commissionState == "PENDING")
            pending << rf;
        else
            refused << rf;
    }
    QStringList locks;
    if (!ready.isEmpty())
        locks << joinLimited(ready, kMaxListedLocks) + QStringLiteral(" ready to seal");
    if (!pending.isEmpty())
        locks << joinLimited(pending, kMaxListedLocks) + QStringLiteral(" pending (commissioned on first use)");
    if (!refused.isEmpty())
        locks << joinLimited(refused, kMaxListedLocks) + QStringLiteral(" not commissioned (the service refuses it)");
    for (int i = 0; i < locks.size(); ++i)
        lines << (i == 0 ? QStringLiteral("Locks (RF)    ") : QStringLiteral("              ")) + locks.at(i);
    return lines;
}

QStringList Simulator::sealLines() const
{
    QStringList lines;
    if (!m_service || !m_service->store().isOpen())
        return lines;
    sim::WebStore &store = m_service->store();

    QMap<int, sim::ExamScheduleRow> schedules;
    for (const sim::ExamScheduleRow &row : store.schedules())
        schedules.insert(row.examSchedId, row);
    QMap<QString, QString> userNames;
    for (const sim::DemoUser &user : sim::WebStore::demoUsers()) {
        if (const std::optional<sim::UserRow> row = store.userByName(user.userName))
            userNames.insert(QString::fromStdString(row->userId), QString::fromStdString(row->userName));
    }

    for (const sim::SealRow &seal : store.seals()) {
        const sim::ExamScheduleRow row = schedules.value(seal.examSchedId);
        const QString userId = QString::fromStdString(seal.userId);
        const QString bag = row.scanCode.empty() ? QStringLiteral("exam schedule %1").arg(seal.examSchedId)
                                                 : QString::fromStdString(row.scanCode);
        QString line = QStringLiteral("Seal %1  %2 UTC  bag %3 (%4, %5)  lock %6 RF %7  by %8")
                           .arg(seal.sealId)
                           .arg(QDateTime::fromSecsSinceEpoch(seal.sealedAt, Qt::UTC)
                                    .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                                bag, QString::fromStdString(row.subjectName), QString::fromStdString(row.centerName),
                                QString::fromStdString(seal.apId))
                           .arg(seal.apRfId)
                           .arg(userNames.value(userId, userId));
        if (seal.voided)
            line += QStringLiteral("  (void: the subject was removed from the school)");
        lines << line;
    }
    return lines;
}

QString Simulator::readableKeyActivity(const QString &text)
{
    // The key names tag bytes in hexadecimal; the console speaks in RF numbers, as the locks are labelled.
    static const QRegularExpression tag(QStringLiteral("^(Lock presented|Scan): ((?:[0-9a-f]{2} )*[0-9a-f]{2})$"));
    if (text == QLatin1String("Scan: no lock"))
        return QStringLiteral("Tag read: no lock in front of the key");
    const QRegularExpressionMatch match = tag.match(text);
    if (!match.hasMatch())
        return text;
    const QByteArray bytes = QByteArray::fromHex(match.captured(2).toLatin1());
    if (bytes.size() > 8)
        return text;
    quint64 rf = 0;
    for (const char byte : bytes)
        rf = (rf << 8) | static_cast<quint8>(byte);
    const QString what = match.captured(1) == QLatin1String("Scan") ? QStringLiteral("Tag read") : match.captured(1);
    return what + QStringLiteral(": RF ") + QString::number(rf);
}

QString Simulator::readableServiceRequest(const QString &line)
{
    // "METHOD PATH HTTP rc=RC"
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 4 || !parts.at(3).startsWith(QLatin1String("rc=")))
        return line;
    const QString &method = parts.at(0);
    const QString &path = parts.at(1);
    const QString http = parts.at(2);
    const QString rc = parts.at(3).mid(3);
    QString text = method + QLatin1Char(' ') + path + QStringLiteral(" -> ");
    text += http == rc ? http : QStringLiteral("HTTP %1, rc %2").arg(http, rc);
    const QString purpose = purposeOf(method, path);
    if (!purpose.isEmpty())
        text += QStringLiteral("  (") + purpose + QLatin1Char(')');
    return text;
}

QString Simulator::readablePayload(const QByteArray &payload)
{
    const QByteArray shown = payload.left(kMaxShownPayload);
    const bool printable = std::all_of(shown.begin(), shown.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    QString text = printable ? QLatin1Char('"') + QString::fromLatin1(shown) + QLatin1Char('"')
                             : QString::fromLatin1(shown.toHex(' '));
    if (payload.size() > shown.size())
        text += QStringLiteral(" ...");
    return text + QStringLiteral(" (%1 bytes)").arg(payload.size());
}

QString Simulator::readableRelayData(const QByteArray &data)
{
    // Over TCP the application passes the server frame's check bytes on with the payload.
    const auto *bytes = reinterpret_cast<const uint8_t *>(data.constData());
    if (data.size() > 2 && kframe::fcsGood(bytes, static_cast<size_t>(data.size())))
        return readablePayload(data.left(data.size() - 2)) + QStringLiteral(" and the frame's 2 check bytes");
    return readablePayload(data);
}

void Simulator::serviceRequest(const QString &line)
{
    emit event(eventLine("service", readableServiceRequest(line)));
}
