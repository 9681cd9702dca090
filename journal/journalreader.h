#pragma once

#include "journal/journalrow.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVector>

class Journal;
class QSqlQuery;

// Which rows a total or an export covers: everything, a period of time, or one sign-in session.
struct JournalScope
{
    enum class Kind
    {
        Everything,
        Period,
        Session
    };
    Kind kind = Kind::Everything;
    qint64 fromMs = 0; // Period: UTC milliseconds, from (inclusive) ...
    qint64 toMs = 0;   // ... to (exclusive)
    qint64 session = 0;

    static JournalScope everything() { return {}; }
    static JournalScope period(qint64 fromMs, qint64 toMs) { return {Kind::Period, fromMs, toMs, 0}; }
    // The local calendar days `first` to `last`, both included.
    static JournalScope days(const QDate &first, const QDate &last);
    static JournalScope ofSession(qint64 session) { return {Kind::Session, 0, 0, session}; }
};

// One bag (the rows of one barcode) as of its latest row in a scope. The details come from the latest
// row that carried them, since not every event knows them all.
struct BagLine
{
    JournalRow latest;
    QString subject;
    QString school;
    qint64 examSchedId = -1;
    QString lockId;
    QString lockRf;

    BagState state() const { return bagStateFromInt(latest.state); }
};

struct BagTotals
{
    int sealed = 0;
    int notConfirmed = 0;
    int failed = 0;
    int unlocked = 0;
    int scanned = 0;

    void add(BagState state, int count = 1);
    int bags() const { return sealed + notConfirmed + failed + unlocked + scanned; }
    // "38 sealed, 1 not confirmed, 2 failed", with ", 3 unlocked" and ", 4 scanned only" when there are any.
    QString text() const;
};

struct JournalSession
{
    qint64 seq = 0;
    qint64 startMs = 0;
    qint64 endMs = 0; // its last row
    QString user;
};

// Reads the journal for the view and the exports, through the journal's own connection: every query
// goes by an index and a bound number of rows, so a year of rows reads as fast as a day's.
class JournalReader
{
public:
    explicit JournalReader(const Journal &journal) : m_journal(journal) {}

    // Bags newest first, from before the bag line whose latest row is `beforeSeq` (0: from the newest).
    QVector<BagLine> latestBags(bool exceptionsOnly, qint64 beforeSeq, int limit) const;
    // A bag's rows oldest first, after `afterSeq`.
    QVector<JournalRow> bagRows(const QString &barcode, qint64 afterSeq, int limit) const;
    // The bags of a scope oldest first, without rows that belong to no scanned bag.
    QVector<BagLine> bags(const JournalScope &scope) const;
    BagTotals totals(const JournalScope &scope) const;
    // Bags whose latest state, over the whole journal, is Not confirmed.
    int notConfirmedCount() const;
    // Sign-in sessions, newest first.
    QVector<JournalSession> sessions(int limit) const;
    JournalSession session(qint64 seq) const;
    // The operators and the keys ("serial (box n)") of the scope's rows, sorted.
    void participants(const JournalScope &scope, QStringList *users, QStringList *keys) const;
    // The newest row in the scope (seq 0 when none): it anchors a printed manifest to the chain.
    JournalRow lastRow(const JournalScope &scope) const;

private:
    bool run(QSqlQuery &query, const QString &sql, const QVariantList &values) const;
    QVector<BagLine> bagLines(const QString &sql, const QVariantList &values) const;

    const Journal &m_journal;
};
