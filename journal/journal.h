#pragma once

#include "journal/journalrow.h"
#include "ui/stationevent.h"

#include <QObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>

class QSqlQuery;

// A whole row's columns, for "SELECT <these> FROM events", and the row such a query is on.
extern const char *const kJournalRowColumns;
JournalRow journalRowAt(const QSqlQuery &query);

// What "Verify journal" found.
struct JournalCheck
{
    enum class Fault
    {
        Changed,  // the row's fields no longer give its hash
        Inserted, // the row after it chains to the row before it
        Missing,  // rows `seq` to `lastSeq` are gone
        Damaged   // the file could not be read from `seq` on
    };
    struct Finding
    {
        Fault fault;
        qint64 seq;
        qint64 lastSeq;
        QString text;
    };
    static constexpr int kMaxFindings = 100;

    bool opened = false;
    qint64 rows = 0;
    qint64 firstSeq = 0;
    qint64 lastSeq = 0;
    QVector<Finding> findings; // the first kMaxFindings
    int findingCount = 0;

    bool ok() const { return opened && findingCount == 0; }
    // One paragraph for the operator.
    QString summary() const;
};

// The station's own record: one row per event, written ahead of the request that follows it, each
// row chained to the one before by a SHA-256 hash. The file is "journal.sqlite" in the data folder,
// in WAL mode, held with an exclusive lock while this object has it open, so that no other instance
// writes it meanwhile. Every row is committed before record() returns; rows ahead of a change to a
// seal or a lock are also synced to the disk (synchronous=FULL), which makes every row before them
// durable as well (see mustFlush). Everything runs on the GUI thread.
class Journal : public QObject
{
    Q_OBJECT

public:
    enum class Phase
    {
        Closed,     // not opened yet
        Writing,    // rows are committed as they come
        NoDriver,   // Qt's SQLite driver is not installed
        Unwritable, // the folder or the file cannot be written
        DiskFull    // the disk (or the file's page cap) is full
        // In the last three, rows wait in memory (a bounded number) and every record retries.
    };
    // What the operator is told once, at the moment it happens.
    enum class Notice
    {
        None,
        MovedAside,     // the file was damaged or not a journal: moved aside, a new one started
        InUseElsewhere, // another instance holds the file: this run writes a file of its own beside it
    };
    using Clock = std::function<qint64()>; // UTC milliseconds since 1970

    static constexpr int kMaxPendingRows = 1000;
    static constexpr int kDefaultRetentionDays = 400;
    static const char *const kFileName;

    // `directory` is the data folder; `clock` defaults to the system clock.
    explicit Journal(const QString &directory, QObject *parent = nullptr, Clock clock = {});
    ~Journal() override;

    // Opens the journal (creating it and the folder when missing) and prunes what has outlived the
    // retention. False when nothing can be written; warning() then says why and later records retry.
    bool open();
    // Appends one row and returns once it is committed; false when it could not be written.
    bool record(const StationEvent &event);
    // Appends the events in one transaction (imports, benchmarks).
    bool recordAll(const QVector<StationEvent> &events);
    // Removes the rows older than the retention, leaving a checkpoint row that carries the last
    // removed row's hash. The number of rows removed, or -1.
    int prune();
    // The whole chain at once (see JournalVerification to check it a slice at a time).
    JournalCheck verify();

    // 0 or less keeps every row.
    void setRetentionDays(int days) { m_retentionDays = days; }
    int retentionDays() const { return m_retentionDays; }

    Phase phase() const { return m_phase; }
    Notice notice() const { return m_notice; }
    // The told-once message and the lasting warning (while not Writing), for the operator.
    QString noticeText() const { return m_noticeText; }
    QString warningText() const;
    QString filePath() const { return m_path; }
    QString directory() const { return m_directory; }
    // The sign-in session rows are being written in (seq of its SignedIn row), 0 when none.
    qint64 currentSession() const { return m_session; }
    int pendingRows() const { return m_pending.size(); }

    // The open connection for readers on the GUI thread; invalid while none is open.
    QSqlDatabase database() const;
    bool isOpen() const;

    // Tests: caps the file's size in pages, so that a write meets a full disk.
    bool setMaxPageCountForTest(int pages);

public slots:
    void stationEvent(const StationEvent &event) { record(event); }

signals:
    // A row was committed.
    void recorded(qint64 seq, const QString &barcode);
    // The told-once notice arose.
    void noticeRaised(const QString &text);
    // The lasting warning came or went (empty text: gone).
    void warningChanged(const QString &text);

private:
    enum class OpenResult
    {
        Opened,
        Busy,
        Damaged,
        NoDriver,
        Unwritable,
        DiskFull
    };

    OpenResult openFile(const QString &path);
    OpenResult prepareSchema();
    void closeFile();
    bool exec(const QString &sql);
    bool setFlushing(bool flush);
    OpenResult failure(const QSqlError &error) const;
    bool moveAside(const QString &path, QString *movedTo);
    QString sideFileName(const QString &stem) const;
    void setNotice(Notice notice, const QString &text);
    void enterPhase(Phase phase);
    bool openJournal();
    // `mayRecover`: a damaged file may be moved aside and the rows written to a fresh one.
    bool writePending(bool mayRecover);
    bool insertRow(JournalRow &row, qint64 *nextSeq, QByteArray *previousHash);
    bool handleWriteFailure(const QSqlError &error, bool mayRecover);
    JournalRow rowFor(const StationEvent &event) const;
    bool pruneLocked(int *removed);

    const QString m_directory;
    const Clock m_clock;
    const QString m_connectionName;
    QString m_path;
    Phase m_phase = Phase::Closed;
    Notice m_notice = Notice::None;
    QString m_noticeText;
    int m_retentionDays = kDefaultRetentionDays;
    qint64 m_session = 0;
    // Rows not yet committed, oldest first; beyond kMaxPendingRows the oldest are dropped and counted.
    QVector<JournalRow> m_pending;
    int m_dropped = 0;
    QSqlError m_lastError;
    // The connection's synchronous setting: FULL (true) or NORMAL.
    bool m_flushing = true;
    std::unique_ptr<QSqlQuery> m_tail;
    std::unique_ptr<QSqlQuery> m_bagState;
    std::unique_ptr<QSqlQuery> m_insert;
};

// "Verify journal", a slice of rows at a time, so that checking a year of rows never holds the event
// loop for long. Rows written after the check began are left to the next one. The journal must
// outlive it.
class JournalVerification
{
public:
    static constexpr int kDefaultSlice = 5000;

    explicit JournalVerification(const Journal &journal);

    // Checks up to `rows` more rows; true once the check is complete.
    bool step(int rows = kDefaultSlice);
    bool isDone() const { return m_phase == Phase::Done; }
    qint64 checkedRows() const { return m_checked; }
    const JournalCheck &result() const { return m_check; }

private:
    enum class Phase
    {
        Walking,
        Done
    };

    void judge(const JournalRow &row, const JournalRow *next);
    void add(JournalCheck::Fault fault, qint64 seq, qint64 lastSeq, const QString &text);

    const Journal &m_journal;
    Phase m_phase = Phase::Done;
    JournalCheck m_check;
    qint64 m_sequence = 0; // the highest seq ever given, as SQLite keeps it
    qint64 m_after = 0;    // rows up to this seq have been read
    QByteArray m_expected; // the hash the next row must chain to (null: take it as it is)
    QByteArray m_beforeExpected;
    qint64 m_lastGood = 0;
    std::optional<JournalRow> m_pending; // read, waiting for the row after it
    qint64 m_checked = 0;
};
