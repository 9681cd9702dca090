#include "journal/journal.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

#include <limits>
#include <utility>

const char *const Journal::kFileName = "journal.sqlite";

namespace {

// "SSJL" in the file's header, so that another program's database is not taken for a journal.
const int kApplicationId = 0x53534a4c;
const int kSchemaVersion = 1;
const qint64 kDayMs = 24LL * 60 * 60 * 1000;

// SQLite's primary result codes, as Qt's driver reports them.
enum SqliteCode
{
    SqliteBusy = 5,
    SqliteLocked = 6,
    SqliteCorrupt = 11,
    SqliteFull = 13,
    SqliteNotADatabase = 26
};

const char *const kSchema[] = {
    "CREATE TABLE events ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time_ms INTEGER NOT NULL,"
    " user TEXT NOT NULL, key_serial TEXT NOT NULL, key_box TEXT NOT NULL,"
    " barcode TEXT NOT NULL, subject TEXT NOT NULL, school TEXT NOT NULL, exam_sched_id INTEGER NOT NULL,"
    " lock_rf TEXT NOT NULL, lock_id TEXT NOT NULL, event TEXT NOT NULL, outcome TEXT NOT NULL,"
    " session INTEGER NOT NULL, state INTEGER NOT NULL, ref_seq INTEGER NOT NULL, ref_hash BLOB NOT NULL,"
    " hash BLOB NOT NULL)",
    // A bag's rows, newest last: its latest state and its history.
    "CREATE INDEX events_bag ON events(barcode, seq) WHERE state <> 0",
    // The rows that leave a bag not confirmed or failed, for the exceptions filter and the start-up check.
    "CREATE INDEX events_exception ON events(seq) WHERE state IN (2, 3, 5)",
    "CREATE INDEX events_time ON events(time_ms)",
    "CREATE INDEX events_session ON events(session, seq)",
    "CREATE INDEX events_signin ON events(seq) WHERE event = 'SignedIn'",
    // Rows are never changed; pruning deletes the oldest.
    "CREATE TRIGGER events_append_only BEFORE UPDATE ON events"
    " BEGIN SELECT RAISE(ABORT, 'the journal is append-only'); END",
};

QString utcStamp(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

QString rowRange(qint64 first, qint64 last)
{
    return first == last ? QStringLiteral("Row %1 is").arg(first)
                         : QStringLiteral("Rows %1 to %2 are").arg(first).arg(last);
}

} // namespace

const char *const kJournalRowColumns = "seq, time_ms, user, key_serial, key_box, barcode, subject, school, "
                                       "exam_sched_id, lock_rf, lock_id, event, outcome, session, state, ref_seq, "
                                       "ref_hash, hash";

JournalRow journalRowAt(const QSqlQuery &query)
{
    JournalRow row;
    row.seq = query.value(0).toLongLong();
    row.timeMs = query.value(1).toLongLong();
    row.user = query.value(2).toString();
    row.keySerial = query.value(3).toString();
    row.keyBox = query.value(4).toString();
    row.barcode = query.value(5).toString();
    row.subject = query.value(6).toString();
    row.school = query.value(7).toString();
    row.examSchedId = query.value(8).toLongLong();
    row.lockRf = query.value(9).toString();
    row.lockId = query.value(10).toString();
    row.event = query.value(11).toString();
    row.outcome = query.value(12).toString();
    row.session = query.value(13).toLongLong();
    row.state = query.value(14).toInt();
    row.refSeq = query.value(15).toLongLong();
    row.refHash = query.value(16).toByteArray();
    row.hash = query.value(17).toByteArray();
    return row;
}

QString JournalCheck::summary() const
{
    if (!opened)
        return QStringLiteral("The journal is not open, so it cannot be checked.");
    if (findingCount == 0) {
        if (rows == 0)
            return QStringLiteral("The journal checks out: it holds no rows yet.");
        return QStringLiteral("The journal checks out: %1 rows, row %2 to row %3; every row matches its hash and "
                              "follows the row before it.")
            .arg(rows)
            .arg(firstSeq)
            .arg(lastSeq);
    }
    QString text = QStringLiteral("The journal does NOT check out: %1 %2 in %3 rows.")
                       .arg(findingCount)
                       .arg(findingCount == 1 ? QStringLiteral("problem") : QStringLiteral("problems"))
                       .arg(rows);
    const int shown = qMin(findings.size(), 5);
    for (int i = 0; i < shown; ++i)
        text += QLatin1Char(' ') + findings.at(i).text;
    if (findingCount > shown)
        text += QStringLiteral(" (%1 more)").arg(findingCount - shown);
    return text;
}

Journal::Journal(const QString &directory, QObject *parent, Clock clock)
    : QObject(parent), m_directory(directory),
      m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentMSecsSinceEpoch(); })),
      m_connectionName(QStringLiteral("sealstation-journal-%1").arg(quintptr(this), 0, 16))
{
}

Journal::~Journal()
{
    closeFile();
}

QSqlDatabase Journal::database() const
{
    return QSqlDatabase::database(m_connectionName, false);
}

bool Journal::isOpen() const
{
    return QSqlDatabase::contains(m_connectionName) && database().isOpen();
}

QString Journal::warningText() const
{
    switch (m_phase) {
    case Phase::Closed:
    case Phase::Writing:
        return QString();
    case Phase::NoDriver:
        return QStringLiteral("The station's journal cannot be written: Qt's SQLite driver is not installed. Bags "
                              "are not being recorded at this station; packing goes on.");
    case Phase::Unwritable:
        return QStringLiteral("The station's journal cannot be written in %1. Bags are not being recorded at this "
                              "station; packing goes on.")
            .arg(QDir::toNativeSeparators(m_directory));
    case Phase::DiskFull:
        return QStringLiteral("The disk is full: the station's journal cannot record bags. Packing goes on; free "
                              "some space.");
    }
    return QString();
}

void Journal::enterPhase(Phase phase)
{
    if (phase == m_phase)
        return;
    const QString before = warningText();
    m_phase = phase;
    const QString after = warningText();
    if (after != before) {
        if (!after.isEmpty())
            qWarning().noquote() << QStringLiteral("Journal: ") + after;
        emit warningChanged(after);
    }
}

void Journal::setNotice(Notice notice, const QString &text)
{
    m_notice = notice;
    m_noticeText = text;
    qWarning().noquote() << QStringLiteral("Journal: ") + text;
    emit noticeRaised(text);
}

bool Journal::open()
{
    if (isOpen())
        return true;
    return openJournal() && writePending(true);
}

bool Journal::openJournal()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        enterPhase(Phase::NoDriver);
        return false;
    }
    if (!QDir().mkpath(m_directory)) {
        enterPhase(Phase::Unwritable);
        return false;
    }
    const QString primary = QDir(m_directory).filePath(QLatin1String(kFileName));
    OpenResult result = openFile(primary);
    if (result == OpenResult::Damaged) {
        closeFile();
        QString movedTo;
        if (moveAside(primary, &movedTo)) {
            result = openFile(primary);
            if (result == OpenResult::Opened)
                setNotice(Notice::MovedAside,
                          QStringLiteral("The station's journal could not be read (it is damaged or not a journal). "
                                         "It was moved aside as %1 and a new journal was started.")
                              .arg(QFileInfo(movedTo).fileName()));
        } else {
            closeFile();
            const QString side = sideFileName(QStringLiteral("journal"));
            result = openFile(side);
            if (result == OpenResult::Opened)
                setNotice(Notice::MovedAside,
                          QStringLiteral("The station's journal could not be read (it is damaged or not a journal) "
                                         "and could not be moved aside. This run records its bags in %1 beside it.")
                              .arg(QFileInfo(side).fileName()));
        }
    } else if (result == OpenResult::Busy) {
        // Another running instance holds the file. Moving it would pull it from under that instance
        // (its -wal file is found by name), so it stays; this run keeps a journal of its own.
        closeFile();
        const QString side = sideFileName(QStringLiteral("journal"));
        result = openFile(side);
        if (result == OpenResult::Opened)
            setNotice(Notice::InUseElsewhere,
                      QStringLiteral("Another SealStation has the station's journal open. This window records its "
                                     "bags in %1 beside it.")
                          .arg(QFileInfo(side).fileName()));
    }

    if (result == OpenResult::Opened) {
        enterPhase(Phase::Writing);
        prune();
        return true;
    }
    closeFile();
    switch (result) {
    case OpenResult::NoDriver:
        enterPhase(Phase::NoDriver);
        break;
    case OpenResult::DiskFull:
        enterPhase(Phase::DiskFull);
        break;
    case OpenResult::Opened:
    case OpenResult::Busy:
    case OpenResult::Damaged:
    case OpenResult::Unwritable:
        enterPhase(Phase::Unwritable);
        break;
    }
    return false;
}

Journal::OpenResult Journal::openFile(const QString &path)
{
    m_path = path;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    if (!db.isValid())
        return OpenResult::NoDriver;
    db.setDatabaseName(path);
    // Never wait for another instance's lock on the GUI thread: it holds the lock for its whole run.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    if (!db.open())
        return failure(db.lastError());
    // Exclusive before the first read: the lock is then held for as long as this connection is open,
    // the WAL index lives in this process's memory, and a second instance meets SQLITE_BUSY.
    if (!exec(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")))
        return failure(m_lastError);
    QSqlQuery mode(db);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
        return failure(mode.lastError());
    if (!mode.next() || mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        return OpenResult::Unwritable;
    mode.finish();
    if (!exec(QStringLiteral("PRAGMA synchronous=FULL")))
        return failure(m_lastError);
    m_flushing = true;
    return prepareSchema();
}

Journal::OpenResult Journal::prepareSchema()
{
    QSqlDatabase db = database();
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
        return failure(m_lastError);
    QSqlQuery query(db);
    OpenResult result = OpenResult::Opened;
    auto scalar = [&query](const QString &sql, qint64 *value) {
        if (!query.exec(sql) || !query.next())
            return false;
        *value = query.value(0).toLongLong();
        query.finish();
        return true;
    };
    qint64 tables = 0;
    qint64 applicationId = 0;
    qint64 version = 0;
    if (!scalar(QStringLiteral("SELECT COUNT(*) FROM sqlite_master"), &tables) ||
        !scalar(QStringLiteral("PRAGMA application_id"), &applicationId) ||
        !scalar(QStringLiteral("PRAGMA user_version"), &version)) {
        result = failure(query.lastError());
    } else if (tables == 0) {
        for (const char *statement : kSchema) {
            if (!query.exec(QLatin1String(statement))) {
                result = failure(query.lastError());
                break;
            }
        }
        if (result == OpenResult::Opened &&
            (!query.exec(QStringLiteral("PRAGMA application_id=%1").arg(kApplicationId)) ||
             !query.exec(QStringLiteral("PRAGMA user_version=%1").arg(kSchemaVersion))))
            result = failure(query.lastError());
    } else if (applicationId != kApplicationId || version != kSchemaVersion) {
        result = OpenResult::Damaged; // another program's database, or a format this build does not know
    } else {
        // Reading the newest row touches the table and its index: a damaged file usually shows here.
        qint64 last = 0;
        if (!scalar(QStringLiteral("SELECT COALESCE(MAX(seq), 0) FROM events"), &last))
            result = failure(query.lastError());
    }
    query.finish();
    if (result != OpenResult::Opened) {
        exec(QStringLiteral("ROLLBACK"));
        return result;
    }
    if (!exec(QStringLiteral("COMMIT"))) {
        const OpenResult failed = failure(m_lastError);
        exec(QStringLiteral("ROLLBACK"));
        return failed;
    }

    m_tail = std::make_unique<QSqlQuery>(db);
    m_tail->prepare(QStringLiteral("SELECT (SELECT hash FROM events ORDER BY seq DESC LIMIT 1),"
                                   " MAX(COALESCE((SELECT MAX(seq) FROM events), 0),"
                                   " COALESCE((SELECT seq FROM sqlite_sequence WHERE name = 'events'), 0))"));
    m_bagState = std::make_unique<QSqlQuery>(db);
    m_bagState->prepare(
        QStringLiteral("SELECT state FROM events WHERE barcode = ? AND state <> 0 ORDER BY seq DESC LIMIT 1"));
    m_insert = std::make_unique<QSqlQuery>(db);
    m_insert->prepare(QStringLiteral("INSERT INTO events (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                                     "?, ?, ?)")
                          .arg(QLatin1String(kJournalRowColumns)));
    return OpenResult::Opened;
}

void Journal::closeFile()
{
    m_tail.reset();
    m_bagState.reset();
    m_insert.reset();
    if (!QSqlDatabase::contains(m_connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool Journal::setFlushing(bool flush)
{
    if (flush == m_flushing)
        return true;
    // In WAL mode FULL syncs the WAL file at every commit; NORMAL commits (they survive the program
    // being killed) and leaves the sync to the next FULL commit or checkpoint.
    if (!exec(flush ? QStringLiteral("PRAGMA synchronous=FULL") : QStringLiteral("PRAGMA synchronous=NORMAL")))
        return false;
    m_flushing = flush;
    return true;
}

bool Journal::exec(const QString &sql)
{
    QSqlQuery query(database());
    if (query.exec(sql))
        return true;
    m_lastError = query.lastError();
    return false;
}

Journal::OpenResult Journal::failure(const QSqlError &error) const
{
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case SqliteBusy:
    case SqliteLocked:
        return OpenResult::Busy;
    case SqliteCorrupt:
    case SqliteNotADatabase:
        return OpenResult::Damaged;
    case SqliteFull:
        return OpenResult::DiskFull;
    default:
        return OpenResult::Unwritable;
    }
}

QString Journal::sideFileName(const QString &stem) const
{
    const QDir dir(m_directory);
    const QString base = stem + QLatin1Char('-') + utcStamp(m_clock());
    for (int n = 1; n < 1000; ++n) {
        const QString name = (n == 1 ? base : base + QLatin1Char('-') + QString::number(n)) + QStringLiteral(".sqlite");
        const QString path = dir.filePath(name);
        if (!QFileInfo::exists(path) && !QFileInfo::exists(path + QStringLiteral("-wal")))
            return path;
    }
    return dir.filePath(base + QStringLiteral("-last.sqlite"));
}

bool Journal::moveAside(const QString &path, QString *movedTo)
{
    // The -wal and -shm files go with it: left behind, SQLite would replay them into the new journal.
    const QString target = sideFileName(QStringLiteral("journal-damaged"));
    if (!QFile::rename(path, target))
        return false;
    const QString wal = QStringLiteral("-wal");
    if (QFileInfo::exists(path + wal) && !QFile::rename(path + wal, target + wal)) {
        QFile::rename(target, path);
        return false;
    }
    // The -shm file holds only an index of the -wal file; SQLite rebuilds it.
    const QString shm = QStringLiteral("-shm");
    if (QFileInfo::exists(path + shm) && !QFile::rename(path + shm, target + shm))
        QFile::remove(path + shm);
    *movedTo = target;
    return true;
}

JournalRow Journal::rowFor(const StationEvent &event) const
{
    JournalRow row;
    row.timeMs = m_clock();
    row.user = storedText(event.user);
    row.keySerial = storedText(event.keySerial);
    row.keyBox = storedText(event.keyBox);
    row.barcode = storedText(event.barcode);
    row.subject = storedText(event.subject);
    row.school = storedText(event.school);
    row.examSchedId = event.examSchedId;
    row.lockRf = storedText(event.lockRf);
    row.lockId = storedText(event.lockId);
    row.event = eventName(event.kind);
    row.outcome = storedText(event.outcome);
    return row;
}

bool Journal::record(const StationEvent &event)
{
    if (m_pending.size() >= kMaxPendingRows) {
        m_pending.removeFirst();
        ++m_dropped;
    }
    m_pending.append(rowFor(event));
    if (!isOpen())
        return open();
    return writePending(true);
}

bool Journal::recordAll(const QVector<StationEvent> &events)
{
    for (const StationEvent &event : events)
        m_pending.append(rowFor(event));
    if (!isOpen())
        return open();
    return writePending(true);
}

bool Journal::insertRow(JournalRow &row, qint64 *nextSeq, QByteArray *previousHash)
{
    row.seq = (*nextSeq)++;
    StationEvent::Kind kind = StationEvent::Kind::Failed;
    const bool stationKind = eventKind(row.event, &kind);
    if (stationKind && kind == StationEvent::Kind::SignedIn)
        m_session = row.seq;
    row.session = m_session;
    if (stationKind && kind == StationEvent::Kind::SignedOut)
        m_session = 0;
    row.state = int(BagState::None);
    if (stationKind && isBagEvent(kind)) {
        m_bagState->bindValue(0, row.barcode);
        if (!m_bagState->exec()) {
            m_lastError = m_bagState->lastError();
            return false;
        }
        const BagState previous =
            m_bagState->next() ? bagStateFromInt(m_bagState->value(0).toLongLong()) : BagState::None;
        m_bagState->finish();
        row.state = int(nextBagState(previous, kind));
    }
    if (row.refHash.isNull())
        row.refHash = QByteArray("");
    row.hash = rowHash(*previousHash, row);

    // A null QString would be bound as NULL; every text column holds a text, empty or not.
    const auto text = [](const QString &value) { return value.isNull() ? QStringLiteral("") : value; };
    const QVariantList values{
        row.seq,           row.timeMs,       text(row.user),  text(row.keySerial), text(row.keyBox), text(row.barcode),
        text(row.subject), text(row.school), row.examSchedId, text(row.lockRf),    text(row.lockId), text(row.event),
        text(row.outcome), row.session,      row.state,       row.refSeq,          row.refHash,      row.hash};
    for (int i = 0; i < values.size(); ++i)
        m_insert->bindValue(i, values.at(i));
    if (!m_insert->exec()) {
        m_lastError = m_insert->lastError();
        return false;
    }
    *previousHash = row.hash;
    return true;
}

bool Journal::writePending(bool mayRecover)
{
    if (m_pending.isEmpty() && m_dropped == 0)
        return true;
    if (!isOpen())
        return false;
    const qint64 sessionBefore = m_session;
    bool flush = m_dropped > 0;
    for (const JournalRow &row : qAsConst(m_pending))
        flush = flush || mustFlush(row.event);
    bool ok = setFlushing(flush) && exec(QStringLiteral("BEGIN IMMEDIATE"));
    QVector<JournalRow> rows;
    if (ok) {
        // The tail is read inside the write transaction, so a row always chains to the one committed last.
        ok = m_tail->exec() && m_tail->next();
        if (!ok)
            m_lastError = m_tail->lastError();
    }
    if (ok) {
        QByteArray previous = m_tail->value(0).isNull() ? zeroHash() : m_tail->value(0).toByteArray();
        qint64 nextSeq = m_tail->value(1).toLongLong() + 1;
        m_tail->finish();
        if (m_dropped > 0) {
            JournalRow gap;
            gap.timeMs = m_pending.isEmpty() ? m_clock() : m_pending.constFirst().timeMs;
            gap.event = QLatin1String(kGapEvent);
            gap.outcome = QStringLiteral("%1 events could not be recorded while the journal could not be written.")
                              .arg(m_dropped);
            rows.append(gap);
        }
        rows += m_pending;
        for (JournalRow &row : rows) {
            if (!(ok = insertRow(row, &nextSeq, &previous)))
                break;
        }
    }
    if (ok && !(ok = exec(QStringLiteral("COMMIT")))) {
        // keep the commit's error, not the rollback's
    }
    if (!ok) {
        const QSqlError error = m_lastError;
        exec(QStringLiteral("ROLLBACK"));
        m_session = sessionBefore;
        // Beyond the bound the oldest rows waiting go; a gap row counts them once the file takes rows again.
        if (m_pending.size() > kMaxPendingRows) {
            m_dropped += m_pending.size() - kMaxPendingRows;
            m_pending.remove(0, m_pending.size() - kMaxPendingRows);
        }
        return handleWriteFailure(error, mayRecover);
    }
    m_pending.clear();
    m_dropped = 0;
    enterPhase(Phase::Writing);
    for (const JournalRow &row : qAsConst(rows))
        emit recorded(row.seq, row.barcode);
    return true;
}

bool Journal::handleWriteFailure(const QSqlError &error, bool mayRecover)
{
    // Once per failing spell: the operator's warning says the rest.
    if (m_phase == Phase::Writing)
        qWarning().noquote() << QStringLiteral("Journal write failed: ") + error.text().simplified();
    const OpenResult kind = failure(error);
    if (kind == OpenResult::DiskFull) {
        enterPhase(Phase::DiskFull);
        return false;
    }
    closeFile();
    if (kind == OpenResult::Damaged && mayRecover) {
        // Found damaged while writing: handled as at the start, and the rows tried once more.
        m_phase = Phase::Closed;
        return openJournal() && writePending(false);
    }
    enterPhase(Phase::Unwritable);
    return false;
}

bool Journal::setMaxPageCountForTest(int pages)
{
    return isOpen() && exec(QStringLiteral("PRAGMA max_page_count=%1").arg(pages));
}

int Journal::prune()
{
    if (!isOpen() || m_retentionDays <= 0)
        return 0;
    if (!setFlushing(true) || !exec(QStringLiteral("BEGIN IMMEDIATE")))
        return -1;
    int removed = 0;
    if (!pruneLocked(&removed) || !exec(QStringLiteral("COMMIT"))) {
        const QSqlError error = m_lastError;
        exec(QStringLiteral("ROLLBACK"));
        qWarning().noquote() << QStringLiteral("Journal pruning failed: ") + error.text().simplified();
        return -1;
    }
    if (removed > 0)
        qDebug().noquote()
            << QStringLiteral("Journal: removed %1 rows older than %2 days").arg(removed).arg(m_retentionDays);
    return removed;
}

bool Journal::pruneLocked(int *removed)
{
    QSqlQuery query(database());
    const qint64 cutoff = m_clock() - qint64(m_retentionDays) * kDayMs;
    // Only a run of the oldest rows goes, so the rows that stay are still one unbroken chain.
    query.prepare(QStringLiteral("SELECT MIN(seq), MAX(seq), (SELECT MIN(seq) FROM events WHERE time_ms >= ?) FROM "
                                 "events"));
    query.addBindValue(cutoff);
    if (!query.exec() || !query.next()) {
        m_lastError = query.lastError();
        return false;
    }
    if (query.value(0).isNull())
        return true; // empty
    const qint64 first = query.value(0).toLongLong();
    const qint64 last = query.value(1).toLongLong();
    const qint64 lastPruned = query.value(2).isNull() ? last : query.value(2).toLongLong() - 1;
    query.finish();
    if (lastPruned < first)
        return true;

    query.prepare(QStringLiteral("SELECT hash FROM events WHERE seq = ?"));
    query.addBindValue(lastPruned);
    if (!query.exec() || !query.next()) {
        m_lastError = query.lastError();
        return false;
    }
    const QByteArray prunedHash = query.value(0).toByteArray();
    query.finish();
    m_tail->exec();
    if (!m_tail->next()) {
        m_lastError = m_tail->lastError();
        return false;
    }
    QByteArray previous = m_tail->value(0).toByteArray();
    qint64 nextSeq = m_tail->value(1).toLongLong() + 1;
    m_tail->finish();

    query.prepare(QStringLiteral("DELETE FROM events WHERE seq <= ?"));
    query.addBindValue(lastPruned);
    if (!query.exec()) {
        m_lastError = query.lastError();
        return false;
    }
    JournalRow checkpoint;
    checkpoint.timeMs = m_clock();
    checkpoint.event = QLatin1String(kCheckpointEvent);
    checkpoint.outcome = QStringLiteral("Rows %1 to %2, older than %3 days, were removed.")
                             .arg(first)
                             .arg(lastPruned)
                             .arg(m_retentionDays);
    checkpoint.refSeq = lastPruned;
    checkpoint.refHash = prunedHash;
    const qint64 session = m_session;
    m_session = 0;
    const bool ok = insertRow(checkpoint, &nextSeq, &previous);
    m_session = session;
    if (!ok)
        return false;
    *removed = int(qMin<qint64>(lastPruned - first + 1, std::numeric_limits<int>::max()));
    return true;
}

JournalCheck Journal::verify()
{
    JournalVerification verification(*this);
    while (!verification.step())
        ;
    return verification.result();
}

JournalVerification::JournalVerification(const Journal &journal) : m_journal(journal)
{
    if (!journal.isOpen())
        return;
    m_check.opened = true;
    QSqlQuery query(journal.database());
    if (!query.exec(QStringLiteral("SELECT MIN(seq), MAX(seq), COUNT(*),"
                                   " (SELECT seq FROM sqlite_sequence WHERE name = 'events'),"
                                   " (SELECT ref_seq FROM events WHERE event = 'Checkpoint' ORDER BY ref_seq DESC "
                                   "LIMIT 1),"
                                   " (SELECT ref_hash FROM events WHERE event = 'Checkpoint' ORDER BY ref_seq DESC "
                                   "LIMIT 1) FROM events")) ||
        !query.next()) {
        add(JournalCheck::Fault::Damaged, 0, 0,
            QStringLiteral("The file cannot be read: %1").arg(query.lastError().text().simplified()));
        return;
    }
    m_check.firstSeq = query.value(0).toLongLong();
    m_check.lastSeq = query.value(1).toLongLong();
    m_check.rows = query.value(2).toLongLong();
    m_sequence = query.value(3).toLongLong();
    const bool hasCheckpoint = !query.value(4).isNull();
    const qint64 checkpointSeq = query.value(4).toLongLong();
    const QByteArray checkpointHash = query.value(5).toByteArray();
    query.finish();

    // Where the chain starts: nothing before row 1, or what the latest checkpoint says was pruned. When
    // neither holds, the first row is taken as it is (the gap is reported already).
    m_expected = zeroHash();
    if (m_check.rows > 0 && m_check.firstSeq > 1) {
        m_expected = QByteArray();
        if (!hasCheckpoint) {
            add(JournalCheck::Fault::Missing, 1, m_check.firstSeq - 1,
                rowRange(1, m_check.firstSeq - 1) +
                    QStringLiteral(" missing, and no checkpoint says they were pruned."));
        } else if (checkpointSeq + 1 < m_check.firstSeq) {
            add(JournalCheck::Fault::Missing, checkpointSeq + 1, m_check.firstSeq - 1,
                rowRange(checkpointSeq + 1, m_check.firstSeq - 1) + QStringLiteral(" missing."));
        } else if (checkpointSeq + 1 > m_check.firstSeq) {
            add(JournalCheck::Fault::Inserted, m_check.firstSeq, checkpointSeq,
                rowRange(m_check.firstSeq, checkpointSeq) +
                    QStringLiteral(" there although a checkpoint says they were pruned."));
        } else {
            m_expected = checkpointHash;
            m_lastGood = checkpointSeq;
        }
    }
    m_phase = Phase::Walking;
}

void JournalVerification::add(JournalCheck::Fault fault, qint64 seq, qint64 lastSeq, const QString &text)
{
    ++m_check.findingCount;
    if (m_check.findings.size() < JournalCheck::kMaxFindings)
        m_check.findings.append({fault, seq, lastSeq, text});
}

bool JournalVerification::step(int rows)
{
    if (m_phase == Phase::Done)
        return true;
    if (!m_journal.isOpen()) {
        add(JournalCheck::Fault::Damaged, m_after + 1, m_check.lastSeq,
            QStringLiteral("The journal was closed after row %1, before the check was done.").arg(m_after));
        m_phase = Phase::Done;
        return true;
    }
    // Rows written after the check began are left to the next check.
    QSqlQuery query(m_journal.database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM events WHERE seq > ? AND seq <= ? ORDER BY seq LIMIT ?")
                      .arg(QLatin1String(kJournalRowColumns)));
    query.addBindValue(m_after);
    query.addBindValue(m_check.lastSeq);
    query.addBindValue(qMax(1, rows));
    int read = 0;
    if (query.exec()) {
        while (query.next()) {
            const JournalRow row = journalRowAt(query);
            ++read;
            m_after = row.seq;
            if (m_pending)
                judge(*m_pending, &row);
            m_pending = row;
        }
    }
    if (query.lastError().isValid()) {
        add(JournalCheck::Fault::Damaged, m_after + 1, m_check.lastSeq,
            QStringLiteral("The file cannot be read after row %1: %2")
                .arg(m_after)
                .arg(query.lastError().text().simplified()));
        m_phase = Phase::Done;
        return true;
    }
    if (read < qMax(1, rows)) {
        if (m_pending)
            judge(*m_pending, nullptr);
        m_pending.reset();
        if (m_sequence > m_check.lastSeq)
            add(JournalCheck::Fault::Missing, m_check.lastSeq + 1, m_sequence,
                rowRange(m_check.lastSeq + 1, m_sequence) + QStringLiteral(" missing from the end."));
        m_phase = Phase::Done;
    }
    return m_phase == Phase::Done;
}

// Each row is judged with the one after it at hand: which of its neighbours still chain tells an
// inserted row from a changed one.
void JournalVerification::judge(const JournalRow &row, const JournalRow *next)
{
    ++m_checked;
    if (m_expected.isNull() || rowHash(m_expected, row) == row.hash) {
        m_beforeExpected = m_expected;
    } else if (!m_beforeExpected.isNull() && rowHash(m_beforeExpected, row) == row.hash) {
        // This row chains past the previous one: that one was put in afterwards.
        add(JournalCheck::Fault::Inserted, m_lastGood, m_lastGood,
            QStringLiteral("Row %1 was inserted: the row after it follows the row before it.").arg(m_lastGood));
    } else if (next && rowHash(m_expected, *next) == next->hash) {
        // The chain goes on past this row: it is passed over.
        add(JournalCheck::Fault::Inserted, row.seq, row.seq,
            QStringLiteral("Row %1 was inserted: the row after it follows the row before it.").arg(row.seq));
        return;
    } else if (m_lastGood > 0 && row.seq > m_lastGood + 1) {
        add(JournalCheck::Fault::Missing, m_lastGood + 1, row.seq - 1,
            rowRange(m_lastGood + 1, row.seq - 1) + QStringLiteral(" missing."));
        m_beforeExpected = QByteArray();
    } else if (!next || rowHash(row.hash, *next) == next->hash) {
        // A row before it given a new hash after its change looks the same from here.
        add(JournalCheck::Fault::Changed, row.seq, row.seq,
            m_lastGood > 0 ? QStringLiteral("Row %1 was changed after it was written (or row %2 was changed and "
                                            "given a new hash).")
                                 .arg(row.seq)
                                 .arg(m_lastGood)
                           : QStringLiteral("Row %1 was changed after it was written.").arg(row.seq));
        m_beforeExpected = QByteArray();
    } else {
        add(JournalCheck::Fault::Changed, row.seq, row.seq,
            QStringLiteral("Row %1 does not follow row %2: one of them was changed after it was written.")
                .arg(row.seq)
                .arg(m_lastGood));
        m_beforeExpected = QByteArray();
    }
    m_expected = row.hash;
    m_lastGood = row.seq;
}
