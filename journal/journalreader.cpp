#include "journal/journalreader.h"

#include "journal/journal.h"

#include <QDateTime>
#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char *const kRowColumns =
    "e.seq, e.time_ms, e.user, e.key_serial, e.key_box, e.barcode, e.subject, e.school, e.exam_sched_id, "
    "e.lock_rf, e.lock_id, e.event, e.outcome, e.session, e.state, e.ref_seq, e.ref_hash, e.hash";

// The bag line's columns: the latest row, then the details from the latest rows that carried them.
const char *const kBagSelect =
    "SELECT e.seq, e.time_ms, e.user, e.key_serial, e.key_box, e.barcode, e.subject, e.school, e.exam_sched_id, "
    "e.lock_rf, e.lock_id, e.event, e.outcome, e.session, e.state, e.ref_seq, e.ref_hash, e.hash, "
    "d.subject, d.school, d.exam_sched_id, k.lock_id, k.lock_rf "
    "FROM events e "
    "LEFT JOIN events d ON d.seq = (SELECT MAX(s.seq) FROM events s WHERE s.barcode = e.barcode AND s.state <> 0 "
    "AND s.seq <= e.seq AND (s.subject <> '' OR s.school <> '')) "
    "LEFT JOIN events k ON k.seq = (SELECT MAX(s.seq) FROM events s WHERE s.barcode = e.barcode AND s.state <> 0 "
    "AND s.seq <= e.seq AND (s.lock_id <> '' OR s.lock_rf <> '')) ";

JournalRow rowAt(const QSqlQuery &query)
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

// The bag's latest row within the scope: its state is the bag's state there.
QString latestInScope(const JournalScope &scope, QVariantList *values)
{
    QVariantList outer;
    const QString condition = scopeCondition(scope, "e", &outer);
    QVariantList inner;
    const QString innerCondition = scopeCondition(scope, "s", &inner);
    *values << outer << inner;
    return QStringLiteral("e.state <> 0 AND e.barcode <> '' AND %1 AND e.seq = (SELECT MAX(s.seq) FROM events s "
                          "WHERE s.barcode = e.barcode AND s.state <> 0 AND %2)")
        .arg(condition, innerCondition);
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
        line.latest = rowAt(query);
        line.subject = query.value(18).toString();
        line.school = query.value(19).toString();
        line.examSchedId = query.value(20).isNull() ? -1 : query.value(20).toLongLong();
        line.lockId = query.value(21).toString();
        line.lockRf = query.value(22).toString();
        lines.append(line);
    }
    return lines;
}

QVector<BagLine> JournalReader::latestBags(bool exceptionsOnly, qint64 beforeSeq, int limit) const
{
    QString sql = QLatin1String(kBagSelect) + QStringLiteral("WHERE e.state <> 0");
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
                 .arg(QLatin1String(kRowColumns)),
             {barcode, afterSeq, limit}))
        return rows;
    while (query.next())
        rows.append(rowAt(query));
    return rows;
}

QVector<BagLine> JournalReader::bags(const JournalScope &scope) const
{
    QVariantList values;
    const QString where = latestInScope(scope, &values);
    return bagLines(QLatin1String(kBagSelect) + QStringLiteral("WHERE ") + where + QStringLiteral(" ORDER BY e.seq"),
                    values);
}

BagTotals JournalReader::totals(const JournalScope &scope) const
{
    BagTotals totals;
    QVariantList values;
    const QString where = latestInScope(scope, &values);
    QSqlQuery query(m_journal.database());
    if (!run(query, QStringLiteral("SELECT e.state, COUNT(*) FROM events e WHERE %1 GROUP BY e.state").arg(where),
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

QStringList JournalReader::users(const JournalScope &scope) const
{
    QStringList users;
    QVariantList values;
    const QString where = scopeCondition(scope, "e", &values);
    QSqlQuery query(m_journal.database());
    if (!run(
            query,
            QStringLiteral("SELECT DISTINCT e.user FROM events e WHERE %1 AND e.user <> '' ORDER BY e.user").arg(where),
            values))
        return users;
    while (query.next())
        users << query.value(0).toString();
    return users;
}

QStringList JournalReader::keys(const JournalScope &scope) const
{
    QStringList keys;
    QVariantList values;
    const QString where = scopeCondition(scope, "e", &values);
    QSqlQuery query(m_journal.database());
    if (!run(query,
             QStringLiteral("SELECT DISTINCT e.key_serial, e.key_box FROM events e WHERE %1 AND e.key_serial <> '' "
                            "ORDER BY e.key_serial, e.key_box")
                 .arg(where),
             values))
        return keys;
    while (query.next()) {
        const QString box = query.value(1).toString();
        keys << (box.isEmpty() ? query.value(0).toString()
                               : QStringLiteral("%1 (box %2)").arg(query.value(0).toString(), box));
    }
    return keys;
}

JournalRow JournalReader::lastRow(const JournalScope &scope) const
{
    QVariantList values;
    const QString where = scopeCondition(scope, "e", &values);
    QSqlQuery query(m_journal.database());
    if (!run(query,
             QStringLiteral("SELECT %1 FROM events e WHERE %2 ORDER BY e.seq DESC LIMIT 1")
                 .arg(QLatin1String(kRowColumns), where),
             values) ||
        !query.next())
        return JournalRow();
    return rowAt(query);
}
