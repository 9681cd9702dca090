#include "journal/journalreader.h"

#include "journal/journal.h"

#include <QDateTime>
#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// A bag line: what its latest row says, then the details from the latest rows that carried them
// (FROM and WHERE follow). The latest row's own details are not read: the line's are at least as new.
const char *const kBagSelect =
    "SELECT e.seq, e.time_ms, e.user, e.key_serial, e.key_box, e.barcode, e.event, e.outcome, e.session, e.state, "
    "d.subject, d.school, d.exam_sched_id, k.lock_id, k.lock_rf ";
const char *const kBagDetails =
    "LEFT JOIN events d ON d.seq = (SELECT MAX(s.seq) FROM events s WHERE s.barcode = e.barcode AND s.state <> 0 "
    "AND s.seq <= e.seq AND (s.subject <> '' OR s.school <> '')) "
    "LEFT JOIN events k ON k.seq = (SELECT MAX(s.seq) FROM events s WHERE s.barcode = e.barcode AND s.state <> 0 "
    "AND s.seq <= e.seq AND (s.lock_id <> '' OR s.lock_rf <> '')) ";

// The condition a row of the scope meets, for the table alias `alias`; its values go to `values`.
QString scopeCondition(const JournalScope &scope, const char *alias, QVariantList *values)
{
    const QString a = QLatin1String(alias);
    switch (scope.kind) {
    case JournalScope::Kind::Everything:
        return QStringLiteral("1");
    case JournalScope::Kind::Period:
        *values << scope.fromMs << scope.toMs;
        return QStringLiteral("%1.time_ms >= ? AND %1.time_ms < ?").arg(a);
    case JournalScope::Kind::Session:
        *values << scope.session;
        return QStringLiteral("%1.session = ?").arg(a);
    }
    return QStringLiteral("0");
}

// The bag lines of a scope: each bag's latest row within it, found in one pass over the scope's rows.
QString bagsInScope(const JournalScope &scope, QVariantList *values)
{
    const QString condition = scopeCondition(scope, "events", values);
    return QStringLiteral("WITH latest AS (SELECT MAX(seq) AS seq FROM events WHERE state <> 0 AND barcode <> '' AND "
                          "%1 GROUP BY barcode) ")
               .arg(condition) +
           QLatin1String(kBagSelect) + QStringLiteral("FROM latest JOIN events e ON e.seq = latest.seq ") +
           QLatin1String(kBagDetails);
}

} // namespace

JournalScope JournalScope::days(const QDate &first, const QDate &last)
{
    return period(first.startOfDay().toMSecsSinceEpoch(), last.addDays(1).startOfDay().toMSecsSinceEpoch());
}

void BagTotals::add(BagState state, int count)
{
    switch (state) {
    case BagState::None:
        break;
    case BagState::Scanned:
        scanned += count;
        break;
    case BagState::Requested:
    case BagState::InDoubt:
        notConfirmed += count;
        break;
    case BagState::Sealed:
        sealed += count;
        break;
    case BagState::Failed:
        failed += count;
        break;
    case BagState::Unlocked:
        unlocked += count;
        break;
    }
}

QString BagTotals::text() const
{
    QString text = QStringLiteral("%1 sealed, %2 not confirmed, %3 failed").arg(sealed).arg(notConfirmed).arg(failed);
    if (unlocked > 0)
        text += QStringLiteral(", %1 unlocked").arg(unlocked);
    if (scanned > 0)
        text += QStringLiteral(", %1 scanned only").arg(scanned);
    return text;
}

bool JournalReader::run(QSqlQuery &query, const QString &sql, const QVariantList &values) const
{
    if (!m_journal.isOpen())
        return false;
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        qWarning().noquote() << QStringLiteral("Journal query failed: ") + query.lastError().text().simplified();
        return false;
    }
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    if (!query.exec()) {
        qWarning().noquote() << QStringLiteral("Journal query failed: ") + query.lastError().text().simplified();
        return false;
    }
    return true;
}

QVector<BagLine> JournalReader::bagLines(const QString &sql, const QVariantList &values) const
{
    QVector<BagLine> lines;
    QSqlQuery query(m_journal.database());
    if (!run(query, sql, values))
        return lines;
    while (query.next()) {
        BagLine line;
        JournalRow &row = line.latest;
        row.seq = query.value(0).toLongLong();
        row.timeMs = query.value(1).toLongLong();
        row.user = query.value(2).toString();
        row.keySerial = query.value(3).toString();
        row.keyBox = query.value(4).toString();
        row.barcode = query.value(5).toString();
        row.event = query.value(6).toString();
        row.outcome = query.value(7).toString();
        row.session = query.value(8).toLongLong();
        row.state = query.value(9).toInt();
        line.subject = query.value(10).toString();
        line.school = query.value(11).toString();
        line.examSchedId = query.value(12).isNull() ? -1 : query.value(12).toLongLong();
        line.lockId = query.value(13).toString();
        line.lockRf = query.value(14).toString();
        row.subject = line.subject;
        row.school = line.school;
        row.examSchedId = line.examSchedId;
        row.lockId = line.lockId;
        row.lockRf = line.lockRf;
        lines.append(line);
    }
    return lines;
}

QVector<BagLine> JournalReader::latestBags(bool exceptionsOnly, qint64 beforeSeq, int limit) const
{
    QString sql = QLatin1String(kBagSelect) + QStringLiteral("FROM events e ") + QLatin1String(kBagDetails) +
                  QStringLiteral("WHERE e.state <> 0");
    QVariantList values;
    if (exceptionsOnly)
        sql += QStringLiteral(" AND e.state IN (2, 3, 5)");
    if (beforeSeq > 0) {
        sql += QStringLiteral(" AND e.seq < ?");
        values << beforeSeq;
    }
    sql += QStringLiteral(" AND e.seq = (SELECT MAX(s.seq) FROM events s WHERE s.barcode = e.barcode AND s.state <> "
                          "0) ORDER BY e.seq DESC LIMIT ?");
    values << limit;
    return bagLines(sql, values);
}

QVector<JournalRow> JournalReader::bagRows(const QString &barcode, qint64 afterSeq, int limit) const
{
    QVector<JournalRow> rows;
    QSqlQuery query(m_journal.database());
    if (!run(query,
             QStringLiteral("SELECT %1 FROM events e WHERE e.barcode = ? AND e.state <> 0 AND e.seq > ? ORDER BY e.seq "
                            "LIMIT ?")
                 .arg(QLatin1String(kJournalRowColumns)),
             {barcode, afterSeq, limit}))
        return rows;
    while (query.next())
        rows.append(journalRowAt(query));
    return rows;
}

QVector<BagLine> JournalReader::bags(const JournalScope &scope) const
{
    QVariantList values;
    return bagLines(bagsInScope(scope, &values) + QStringLiteral("ORDER BY e.seq"), values);
}

BagTotals JournalReader::totals(const JournalScope &scope) const
{
    BagTotals totals;
    QVariantList values;
    const QString condition = scopeCondition(scope, "events", &values);
    QSqlQuery query(m_journal.database());
    if (!run(query,
             QStringLiteral("WITH latest AS (SELECT MAX(seq) AS seq FROM events WHERE state <> 0 AND barcode <> '' AND "
                            "%1 GROUP BY barcode) SELECT e.state, COUNT(*) FROM latest JOIN events e ON e.seq = "
                            "latest.seq GROUP BY e.state")
                 .arg(condition),
             values))
        return totals;
    while (query.next())
        totals.add(bagStateFromInt(query.value(0).toLongLong()), query.value(1).toInt());
    return totals;
}

int JournalReader::notConfirmedCount() const
{
    QSqlQuery query(m_journal.database());
    // "state IN (2, 3, 5)" as the index has it, so that only the exception rows are visited.
    if (!run(query,
             QStringLiteral("SELECT COUNT(*) FROM events e WHERE e.state IN (2, 3, 5) AND e.state <> 5 AND e.seq = "
                            "(SELECT MAX(s.seq) FROM events s WHERE s.barcode = e.barcode AND s.state <> 0)"),
             {}) ||
        !query.next())
        return 0;
    return query.value(0).toInt();
}

QVector<JournalSession> JournalReader::sessions(int limit) const
{
    QVector<JournalSession> sessions;
    QSqlQuery query(m_journal.database());
    if (!run(query,
             QStringLiteral("SELECT e.seq, e.time_ms, e.user, (SELECT MAX(s.time_ms) FROM events s WHERE s.session = "
                            "e.seq) FROM events e WHERE e.event = 'SignedIn' ORDER BY e.seq DESC LIMIT ?"),
             {limit}))
        return sessions;
    while (query.next()) {
        JournalSession session;
        session.seq = query.value(0).toLongLong();
        session.startMs = query.value(1).toLongLong();
        session.user = query.value(2).toString();
        session.endMs = query.value(3).isNull() ? session.startMs : query.value(3).toLongLong();
        sessions.append(session);
    }
    return sessions;
}

JournalSession JournalReader::session(qint64 seq) const
{
    JournalSession session;
    QSqlQuery query(m_journal.database());
    if (!run(query,
             QStringLiteral("SELECT e.seq, e.time_ms, e.user, (SELECT MAX(s.time_ms) FROM events s WHERE s.session = "
                            "e.seq) FROM events e WHERE e.seq = ? AND e.event = 'SignedIn'"),
             {seq}) ||
        !query.next())
        return session;
    session.seq = query.value(0).toLongLong();
    session.startMs = query.value(1).toLongLong();
    session.user = query.value(2).toString();
    session.endMs = query.value(3).isNull() ? session.startMs : query.value(3).toLongLong();
    return session;
}

void JournalReader::participants(const JournalScope &scope, QStringList *users, QStringList *keys) const
{
    QVariantList values;
    const QString where = scopeCondition(scope, "e", &values);
    QSqlQuery query(m_journal.database());
    if (!run(query,
             QStringLiteral(
                 "SELECT DISTINCT e.user, e.key_serial, e.key_box FROM events e WHERE %1 AND (e.user <> '' OR "
                 "e.key_serial <> '')")
                 .arg(where),
             values))
        return;
    while (query.next()) {
        const QString user = query.value(0).toString();
        const QString serial = query.value(1).toString();
        const QString box = query.value(2).toString();
        if (!user.isEmpty() && !users->contains(user))
            users->append(user);
        const QString key = box.isEmpty() ? serial : QStringLiteral("%1 (box %2)").arg(serial, box);
        if (!serial.isEmpty() && !keys->contains(key))
            keys->append(key);
    }
    users->sort();
    keys->sort();
}

JournalRow JournalReader::lastRow(const JournalScope &scope) const
{
    QVariantList values;
    const QString where = scopeCondition(scope, "e", &values);
    QSqlQuery query(m_journal.database());
    if (!run(query,
             QStringLiteral("SELECT %1 FROM events e WHERE e.seq = (SELECT MAX(e.seq) FROM events e WHERE %2)")
                 .arg(QLatin1String(kJournalRowColumns), where),
             values) ||
        !query.next())
        return JournalRow();
    return journalRowAt(query);
}
