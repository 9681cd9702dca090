#include "app/resources.h"
#include "journal/journal.h"
#include "journal/journalexport.h"
#include "journal/journalmodel.h"
#include "journal/journalreader.h"
#include "journal/journalview.h"
#include "key/clinker.h"
#include "service/json.h"
#include "sim/emulatedkey.h"
#include "sim/webservice.h"
#include "support/testfiles.h"
#include "support/uistation.h"
#include "ui/sealwidget.h"

#include <QDateTime>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTextDocumentFragment>
#include <QToolButton>

#include <csignal>
#include <memory>

using Kind = StationEvent::Kind;
Q_DECLARE_METATYPE(QVector<StationEvent::Kind>)

namespace {

const qint64 kStart = 1740816000000; // 2025-03-01 08:00 UTC
const qint64 kDayMs = 24LL * 60 * 60 * 1000;
const QString kSuccess = QStringLiteral("background-color: green; image:url(:/assets/operation_success.png);");

StationEvent bagEvent(Kind kind, const QString &barcode, const QString &lockId = QString(),
                      const QString &outcome = QString())
{
    StationEvent event;
    event.kind = kind;
    event.user = QStringLiteral("operator");
    event.keySerial = QStringLiteral("11259375");
    event.keyBox = QStringLiteral("VESK-BOX-01");
    event.barcode = barcode;
    event.subject = QStringLiteral("Mathematics Paper 1");
    event.school = QStringLiteral("Greenfield High School");
    event.examSchedId = 3101;
    event.lockRf = lockId.isEmpty() ? QString() : QStringLiteral("30%1").arg(lockId);
    event.lockId = lockId;
    event.outcome = outcome;
    return event;
}

// A journal in a folder of its own, with a clock the test moves: each row recorded through it is a second
// after the last.
struct JournalFixture
{
    explicit JournalFixture(const QString &folder = QString())
        : path(folder.isEmpty() ? dir.path() : folder),
          journal(std::make_unique<Journal>(path, nullptr, [this] { return now; }))
    {
    }
    bool record(Kind kind, const QString &barcode, const QString &lockId = QString(),
                const QString &outcome = QString())
    {
        now += 1000;
        return journal->record(bagEvent(kind, barcode, lockId, outcome));
    }
    // Closes the journal and opens it again, as the next start does.
    void reopen()
    {
        journal.reset(); // lets go of the file first
        journal = std::make_unique<Journal>(path, nullptr, [this] { return now; });
        journal->open();
    }
    QString file() const { return QDir(path).filePath(QStringLiteral("journal.sqlite")); }

    QTemporaryDir dir;
    QString path;
    qint64 now = kStart;
    std::unique_ptr<Journal> journal;
};

// Runs SQL on a journal file as anyone with SQLite at hand could, while no Journal has it open.
void tamper(const QString &file, const QStringList &statements)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("tamper"));
        db.setDatabaseName(file);
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (const QString &sql : statements)
            QVERIFY2(query.exec(sql), qPrintable(sql + QStringLiteral(": ") + query.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("tamper"));
}

QStringList stateTexts(const Journal &journal, const QString &barcode)
{
    QStringList states;
    for (const JournalRow &row : JournalReader(journal).bagRows(barcode, 0, 100))
        states << bagStateText(BagState(row.state));
    return states;
}

// A bag's rows as "Event outcome", oldest first, read as anyone with SQLite at hand could.
QStringList bagRows(const Journal &journal, const QString &barcode)
{
    QStringList rows;
    QSqlQuery query(journal.database());
    query.prepare(QStringLiteral("SELECT event, outcome, lock_id FROM events WHERE barcode = ? ORDER BY seq"));
    query.addBindValue(barcode);
    if (!query.exec())
        return {query.lastError().text()};
    while (query.next()) {
        QString row = query.value(0).toString();
        if (!query.value(1).toString().isEmpty())
            row += QLatin1Char(' ') + query.value(1).toString();
        rows << row;
    }
    return rows;
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initSealStationResources(); }

    // One row per event, committed before record() returns, with every field; the bag's state after
    // each row, and the line the view shows for the bag.
    void events_giveRowsAndBagState_data()
    {
        QTest::addColumn<QVector<Kind>>("kinds");
        QTest::addColumn<QString>("states"); // after each row; "N" is Not confirmed
        const QVector<Kind> seal{Kind::Linked, Kind::TagRead, Kind::SealRequested, Kind::SealRecorded};
        QTest::newRow("sealed") << (seal + QVector<Kind>{Kind::CloseConfirmed}) << "Scanned Scanned N N Sealed";
        QTest::newRow("seals replaced") << QVector<Kind>{Kind::Linked,        Kind::TagRead,      Kind::SealsReplaced,
                                                         Kind::SealRequested, Kind::SealRecorded, Kind::CloseConfirmed}
                                        << "Scanned Scanned N N N Sealed";
        QTest::newRow("killed after the record") << seal << "Scanned Scanned N N";
        QTest::newRow("killed after the request")
            << QVector<Kind>{Kind::Linked, Kind::TagRead, Kind::SealRequested} << "Scanned Scanned N";
        QTest::newRow("close failed") << (seal + QVector<Kind>{Kind::CloseFailed}) << "Scanned Scanned N N N";
        QTest::newRow("key lost in the close") << (seal + QVector<Kind>{Kind::KeyLost}) << "Scanned Scanned N N N";
        QTest::newRow("record refused") << QVector<Kind>{Kind::Linked, Kind::TagRead, Kind::SealRequested, Kind::Failed}
                                        << "Scanned Scanned N Failed";
        QTest::newRow("no tag") << QVector<Kind>{Kind::Linked, Kind::Failed} << "Scanned Failed";
        QTest::newRow("link failed") << QVector<Kind>{Kind::LinkFailed} << "Failed";
        QTest::newRow("scanned only") << QVector<Kind>{Kind::Linked} << "Scanned";
        QTest::newRow("failed, then packed")
            << QVector<Kind>{Kind::Linked,        Kind::Failed,       Kind::TagRead,
                             Kind::SealRequested, Kind::SealRecorded, Kind::CloseConfirmed}
            << "Scanned Failed Failed N N Sealed";
        QTest::newRow("a doubt outlives a later failure")
            << (seal + QVector<Kind>{Kind::CloseFailed, Kind::TagRead, Kind::Failed}) << "Scanned Scanned N N N N N";
        QTest::newRow("an unanswered request stays in doubt")
            << QVector<Kind>{Kind::Linked, Kind::TagRead, Kind::SealRequested, Kind::Linked, Kind::Failed}
            << "Scanned Scanned N N N";
        QTest::newRow("unlocked") << (seal + QVector<Kind>{Kind::CloseConfirmed, Kind::UnlockRequested, Kind::Unlocked})
                                  << "Scanned Scanned N N Sealed Sealed Unlocked";
        QTest::newRow("a failed unlock leaves it sealed")
            << (seal + QVector<Kind>{Kind::CloseConfirmed, Kind::UnlockRequested, Kind::UnlockFailed})
            << "Scanned Scanned N N Sealed Sealed Sealed";
        QTest::newRow("key lost in an unlock leaves it sealed")
            << (seal + QVector<Kind>{Kind::CloseConfirmed, Kind::UnlockRequested, Kind::KeyLost})
            << "Scanned Scanned N N Sealed Sealed Sealed";
    }

    void events_giveRowsAndBagState()
    {
        QFETCH(QVector<Kind>, kinds);
        QFETCH(QString, states);
        JournalFixture t;
        QVERIFY(t.journal->open());
        QVERIFY(t.record(Kind::SignedIn, QString()));
        QSignalSpy recorded(t.journal.get(), &Journal::recorded);
        for (const Kind kind : kinds)
            QVERIFY(t.record(kind, QStringLiteral("2531011021"), QStringLiteral("5101"),
                             QStringLiteral("<b>text</b>, \"x\"")));
        QCOMPARE(recorded.count(), kinds.size());

        // What a restart finds: the rows were committed as they came.
        t.reopen();
        const JournalReader reader(*t.journal);
        const QVector<JournalRow> rows = reader.bagRows(QStringLiteral("2531011021"), 0, 100);
        QCOMPARE(rows.size(), kinds.size());
        QStringList names;
        for (const Kind kind : kinds)
            names << eventName(kind);
        QStringList stored;
        for (const JournalRow &row : rows)
            stored << row.event;
        QCOMPARE(stored, names);
        QStringList expected = states.split(QLatin1Char(' '));
        for (QString &state : expected)
            state = state == QLatin1String("N") ? QStringLiteral("Not confirmed") : state;
        QCOMPARE(stateTexts(*t.journal, QStringLiteral("2531011021")), expected);

        const JournalRow &last = rows.constLast();
        QCOMPARE(last.user, QStringLiteral("operator"));
        QCOMPARE(last.keySerial + QLatin1Char('|') + last.keyBox, QStringLiteral("11259375|VESK-BOX-01"));
        QCOMPARE(last.subject + QLatin1Char('|') + last.school,
                 QStringLiteral("Mathematics Paper 1|Greenfield High School"));
        QCOMPARE(last.examSchedId, qint64(3101));
        QCOMPARE(last.lockId + QLatin1Char('|') + last.lockRf, QStringLiteral("5101|305101"));
        QCOMPARE(last.outcome, QStringLiteral("<b>text</b>, \"x\""));
        QCOMPARE(last.timeMs, kStart + 1000 * (kinds.size() + 1));
        QCOMPARE(last.session, qint64(1));

        JournalModel model(t.journal.get());
        QVERIFY(model.canFetchMore(QModelIndex()));
        model.fetchMore(QModelIndex());
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.index(0, JournalModel::ColumnState).data().toString(), expected.constLast());
        QCOMPARE(model.index(0, JournalModel::ColumnLock).data().toString(), QStringLiteral("5101 (RF 305101)"));
        // The key's or the service's text shows as it came, also in a tool tip.
        const QString tip = model.index(0, JournalModel::ColumnState).data(Qt::ToolTipRole).toString();
        QCOMPARE(QTextDocumentFragment::fromHtml(tip).toPlainText(),
                 eventLabel(names.constLast()) + QStringLiteral(": <b>text</b>, \"x\""));
        const BagTotals totals = reader.totals(JournalScope::ofSession(1));
        QCOMPARE(totals.bags(), 1);
        QVERIFY(t.journal->verify().ok());
    }

    // The chain finds a row changed, put in or taken out with SQLite behind the journal's back, and
    // names it.
    void verify_findsTampering_data()
    {
        QTest::addColumn<QStringList>("sql");
        QTest::addColumn<bool>("rechain"); // give the tampered row 3 the hash that chains it to row 2
        QTest::addColumn<QString>("finding");
        const QString noTrigger = QStringLiteral("DROP TRIGGER events_append_only");
        // Makes room for a row 3 by moving rows 3 and later one on.
        const QStringList makeRoom{noTrigger, QStringLiteral("UPDATE events SET seq = -seq WHERE seq >= 3"),
                                   QStringLiteral("UPDATE events SET seq = 1 - seq WHERE seq < 0")};
        const QString insert = QStringLiteral(
            "INSERT INTO events SELECT 3, time_ms + 1, user, key_serial, key_box, '2531019999', subject, school, "
            "exam_sched_id, lock_rf, lock_id, 'CloseConfirmed', outcome, session, 4, 0, ref_hash, randomblob(32) "
            "FROM events WHERE seq = 2");
        QTest::newRow("untouched") << QStringList() << false << QString();
        QTest::newRow("edited")
            << QStringList{noTrigger, QStringLiteral("UPDATE events SET lock_id = '5999' WHERE seq = 3")} << false
            << "Row 3 was changed after it was written (or row 2 was changed and given a new hash).";
        QTest::newRow("edited, its hash made anew")
            << QStringList{noTrigger, QStringLiteral("UPDATE events SET lock_id = '5999' WHERE seq = 3")} << true
            << "Row 4 was changed after it was written (or row 3 was changed and given a new hash).";
        QTest::newRow("deleted") << QStringList{QStringLiteral("DELETE FROM events WHERE seq = 3")} << false
                                 << "Row 3 is missing.";
        QTest::newRow("deleted at the end") << QStringList{QStringLiteral("DELETE FROM events WHERE seq = 6")} << false
                                            << "Row 6 is missing from the end.";
        QTest::newRow("inserted") << (makeRoom + QStringList{insert}) << false
                                  << "Row 3 was inserted: the row after it follows the row before it.";
        QTest::newRow("inserted, chained to the row before")
            << (makeRoom + QStringList{insert}) << true
            << "Row 3 was inserted: the row after it follows the row before it.";
    }

    void verify_findsTampering()
    {
        QFETCH(QStringList, sql);
        QFETCH(bool, rechain);
        QFETCH(QString, finding);
        JournalFixture t;
        QVERIFY(t.journal->open());
        QVERIFY(t.record(Kind::SignedIn, QString()));
        for (const Kind kind :
             {Kind::Linked, Kind::TagRead, Kind::SealRequested, Kind::SealRecorded, Kind::CloseConfirmed})
            QVERIFY(t.record(kind, QStringLiteral("2531011021"), QStringLiteral("5101")));
        t.journal.reset();

        tamper(t.file(), sql);
        if (rechain) {
            // As someone who knows how the rows hash would do it.
            JournalFixture reader(t.path);
            QVERIFY(reader.journal->open());
            QVector<JournalRow> rows = JournalReader(*reader.journal).bagRows(QStringLiteral("2531011021"), 0, 10) +
                                       JournalReader(*reader.journal).bagRows(QStringLiteral("2531019999"), 0, 10);
            QByteArray previous;
            JournalRow third;
            for (const JournalRow &row : rows) {
                if (row.seq == 2)
                    previous = row.hash;
                if (row.seq == 3)
                    third = row;
            }
            QCOMPARE(third.seq, qint64(3));
            reader.journal.reset();
            tamper(t.file(), {QStringLiteral("UPDATE events SET hash = X'%1' WHERE seq = 3")
                                  .arg(QString::fromLatin1(rowHash(previous, third).toHex()))});
        }

        t.reopen();
        const JournalCheck check = t.journal->verify();
        QVERIFY(check.opened);
        // The view checks a slice of rows at a time; a row at a time finds the same.
        JournalVerification sliced(*t.journal);
        while (!sliced.step(1))
            ;
        QCOMPARE(sliced.checkedRows(), check.rows);
        QCOMPARE(sliced.result().summary(), check.summary());
        if (finding.isEmpty()) {
            QVERIFY2(check.ok(), qPrintable(check.summary()));
            QCOMPARE(check.summary(),
                     QStringLiteral("The journal checks out: 6 rows, row 1 to row 6; every row matches "
                                    "its hash and follows the row before it."));
            return;
        }
        QVERIFY(!check.ok());
        QCOMPARE(check.findingCount, 1);
        QCOMPARE(check.findings.constFirst().text, finding);
        QVERIFY(check.summary().contains(finding));
    }

    // Pruning removes the oldest rows and leaves a checkpoint row, so the rest still checks out; rows
    // taken from the front beyond what the checkpoint names are found.
    void prune_keepsTheChainVerifiable()
    {
        JournalFixture t;
        QVERIFY(t.journal->open());
        for (const Kind kind : {Kind::Linked, Kind::TagRead, Kind::SealRequested, Kind::SealRecorded})
            QVERIFY(t.record(kind, QStringLiteral("2531011021"), QStringLiteral("5101")));
        t.now += 401 * kDayMs;
        QVERIFY(t.record(Kind::Linked, QStringLiteral("2531011034")));
        QVERIFY(
            t.record(Kind::Failed, QStringLiteral("2531011034"), QString(), QStringLiteral("Could not find a seal.")));

        t.journal->setRetentionDays(0);
        QCOMPARE(t.journal->prune(), 0); // 0 keeps everything
        t.journal->setRetentionDays(400);
        QCOMPARE(t.journal->prune(), 4);
        JournalCheck check = t.journal->verify();
        QVERIFY2(check.ok(), qPrintable(check.summary()));
        QCOMPARE(check.firstSeq, qint64(5));
        QCOMPARE(check.rows, qint64(3));
        const JournalRow checkpoint = JournalReader(*t.journal).lastRow(JournalScope::everything());
        QCOMPARE(checkpoint.event, QString::fromLatin1(kCheckpointEvent));
        QCOMPARE(checkpoint.refSeq, qint64(4));
        QCOMPARE(JournalReader(*t.journal).notConfirmedCount(), 0); // the old bag went with its rows

        // Again, past the first checkpoint itself; the next start prunes by itself.
        QVERIFY(t.record(Kind::Linked, QStringLiteral("2531011047")));
        t.now += 401 * kDayMs;
        QVERIFY(t.record(Kind::Linked, QStringLiteral("2531011050")));
        t.reopen();
        check = t.journal->verify();
        QVERIFY2(check.ok(), qPrintable(check.summary()));
        QCOMPARE(check.firstSeq, qint64(9));

        t.journal.reset();
        tamper(t.file(), {QStringLiteral("DELETE FROM events WHERE seq = 9")});
        t.reopen();
        check = t.journal->verify();
        QCOMPARE(check.findingCount, 1);
        QCOMPARE(check.findings.constFirst().text, QStringLiteral("Row 9 is missing."));
    }

    // CSV after RFC 4180, byte for byte: CRLF, quotes where needed, UTF-8, formulas defused.
    void exports_csvBytesAndPdfText()
    {
        JournalFixture t;
        QVERIFY(t.journal->open());
        QVERIFY(t.record(Kind::SignedIn, QString()));
        QVERIFY(t.record(Kind::Linked, QStringLiteral("2531011021")));
        QVERIFY(t.record(Kind::SealRecorded, QStringLiteral("2531011021"), QStringLiteral("5101")));
        QVERIFY(t.record(Kind::CloseConfirmed, QStringLiteral("2531011021"), QStringLiteral("5101"),
                         QStringLiteral("Authorised\r\nlocked")));
        QVERIFY(t.record(Kind::SealRecorded, QStringLiteral("2531011034"), QStringLiteral("5104")));
        QVERIFY(t.record(Kind::CloseFailed, QStringLiteral("2531011034"), QStringLiteral("5104"),
                         QStringLiteral("Lock jammed")));
        QVERIFY(t.record(Kind::LinkFailed, QStringLiteral("=HYPERLINK(\"x\")")));
        StationEvent odd = bagEvent(Kind::CloseConfirmed, QStringLiteral("2531011047"), QStringLiteral("5107"),
                                    QStringLiteral("Authorised locked"));
        odd.subject = QString::fromUtf8("<i>Biología</i> & Co");
        odd.school = QStringLiteral("Riverside, \"North\"\nAnnex");
        odd.examSchedId = 3102;
        t.now += 1000;
        QVERIFY(t.journal->record(odd));

        const JournalReader reader(*t.journal);
        const QByteArray expected =
            QString::fromUtf8(
                "Barcode,Subject,School,Exam schedule,Lock,Lock RF,State,Last event,Outcome,Time (UTC),Operator,"
                "Key serial,Key box\r\n"
                "2531011021,Mathematics Paper 1,Greenfield High School,3101,5101,305101,Sealed,Lock closed,"
                "\"Authorised\r\nlocked\",2025-03-01T08:00:04.000Z,operator,11259375,VESK-BOX-01\r\n"
                "2531011034,Mathematics Paper 1,Greenfield High School,3101,5104,305104,Not confirmed,Close failed,"
                "Lock jammed,2025-03-01T08:00:06.000Z,operator,11259375,VESK-BOX-01\r\n"
                "\"'=HYPERLINK(\"\"x\"\")\",Mathematics Paper 1,Greenfield High School,3101,,,Failed,Link failed,,"
                "2025-03-01T08:00:07.000Z,operator,11259375,VESK-BOX-01\r\n"
                "2531011047,<i>Biología</i> & Co,\"Riverside, \"\"North\"\"\nAnnex\",3102,5107,305107,Sealed,"
                "Lock closed,Authorised locked,2025-03-01T08:00:08.000Z,operator,11259375,VESK-BOX-01\r\n")
                .toUtf8();
        const QString csvPath = t.dir.filePath(QStringLiteral("bags.csv"));
        QString error;
        QVERIFY(JournalExport::writeCsv(csvPath, reader.bags(JournalScope::ofSession(1)), &error));
        QCOMPARE(readFile(csvPath), expected);

        const JournalManifest manifest =
            JournalManifest::of(reader, JournalScope::ofSession(1), QStringLiteral("sign-in session"), kStart);
        QCOMPARE(manifest.totals.text(), QStringLiteral("2 sealed, 1 not confirmed, 1 failed"));
        JournalManifest marked = manifest;
        marked.period = QStringLiteral("<b>today</b> & more");
        QVERIFY(
            JournalExport::manifestHeadHtml(marked).contains(QStringLiteral("&lt;b&gt;today&lt;/b&gt; &amp; more")));
        const QStringList lines = JournalExport::manifestLines(manifest);
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(0),
                 QStringLiteral("#      Barcode       Subject                         School                     "
                                "         Lock      State          Time"));
        const QString printed =
            QDateTime::fromMSecsSinceEpoch(kStart + 8000).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        QCOMPARE(lines.at(4),
                 QString::fromUtf8("4      2531011047    <i>Biología</i> & Co            Riverside, \"North\" "
                                   "Annex            5107      Sealed         ") +
                     printed);

        const QString pdftotext = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
        if (pdftotext.isEmpty())
            QSKIP("pdftotext (poppler-utils) is not installed");
        const QString pdfPath = t.dir.filePath(QStringLiteral("manifest.pdf"));
        QVERIFY2(JournalExport::writePdf(pdfPath, manifest, &error), qPrintable(error));
        QProcess process;
        process.start(pdftotext, {pdfPath, QStringLiteral("-")});
        QVERIFY(process.waitForFinished(10000));
        const QString text = QString::fromUtf8(process.readAllStandardOutput()).simplified();
        for (const char *expectedText :
             {"Bag manifest", "11259375 (box VESK-BOX-01)", "operator", "2531011021", "2531011034", "2531011047",
              "=HYPERLINK", "5101", "5104", "5107", "Not confirmed", "Failed", "<i>Biología</i>",
              "Totals: 4 bags: 2 sealed, 1 not confirmed, 1 failed.", "Handed over by (operator)", "Received by"})
            QVERIFY2(text.contains(QString::fromUtf8(expectedText)), expectedText);
    }

    // The view reads bags newest first and a bag's rows oldest first, a page at a time, as it asks.
    void model_readsBagsAndRowsAPageAtATime()
    {
        JournalFixture t;
        QVERIFY(t.journal->open());
        QVector<StationEvent> events;
        for (int i = 0; i < 25; ++i) {
            const QString barcode = QString::number(2531020000LL + i);
            const QVector<Kind> kinds = i % 5 == 0 ? QVector<Kind>{Kind::Linked, Kind::TagRead, Kind::Failed}
                                                   : QVector<Kind>{Kind::Linked, Kind::TagRead, Kind::SealRequested,
                                                                   Kind::SealRecorded, Kind::CloseConfirmed};
            for (const Kind kind : kinds)
                events << bagEvent(kind, barcode, QStringLiteral("5101"));
        }
        QVERIFY(t.journal->recordAll(events));

        JournalModel model(t.journal.get());
        model.setPageSizes(10, 2);
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(model.canFetchMore(QModelIndex()));
        model.fetchMore(QModelIndex());
        QCOMPARE(model.rowCount(), 10);
        QCOMPARE(model.index(0, JournalModel::ColumnBag).data().toString(), QStringLiteral("2531020024"));
        int pages = 1;
        for (; model.canFetchMore(QModelIndex()); ++pages)
            model.fetchMore(QModelIndex());
        QCOMPARE(pages, 3);
        QCOMPARE(model.rowCount(), 25);
        QCOMPARE(model.index(24, JournalModel::ColumnBag).data().toString(), QStringLiteral("2531020000"));

        const QModelIndex bag = model.index(0, 0);
        QVERIFY(model.hasChildren(bag));
        QCOMPARE(model.rowCount(bag), 0);
        QStringList rows;
        for (int page = 0; model.canFetchMore(bag) && page < 10; ++page)
            model.fetchMore(bag);
        for (int row = 0; row < model.rowCount(bag); ++row)
            rows << model.index(row, JournalModel::ColumnBag, bag).data().toString();
        QCOMPARE(rows.join(QLatin1Char('|')),
                 QStringLiteral("Linked|Tag read|Seal requested|Seal recorded|Lock closed"));

        model.setExceptionsOnly(true);
        while (model.canFetchMore(QModelIndex()))
            model.fetchMore(QModelIndex());
        QStringList failed;
        for (int row = 0; row < model.rowCount(); ++row)
            failed << model.index(row, JournalModel::ColumnBag).data().toString() + QLatin1Char(' ') +
                          model.index(row, JournalModel::ColumnState).data().toString();
        QCOMPARE(failed, (QStringList{"2531020020 Failed", "2531020015 Failed", "2531020010 Failed",
                                      "2531020005 Failed", "2531020000 Failed"}));
    }

    // The window adds the operator and the key to the page's events and records sign-in and sign-out;
    // at the next start it names the bags left not confirmed, and Ctrl+J shows them.
    void window_recordsOperatorAndKey_andNamesUnconfirmedBags()
    {
        JournalFixture t;
        t.now = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(t.journal->open());
        UiStation s;
        s.window->setJournal(t.journal.get());
        auto *notice = s.find<QToolButton>("btnJournalNotice");
        QVERIFY(notice->isHidden());
        QVERIFY(s.login());
        StationEvent event;
        event.kind = Kind::SealRecorded;
        event.barcode = QStringLiteral("2531011021");
        event.lockId = QStringLiteral("5101");
        emit s.window->sealWidget()->stationEvent(event);
        s.find<QToolButton>("btnLogout")->click();
        QVERIFY(s.login());
        s.window->endJournalSession(); // the program ends while signed in
        s.window->endJournalSession();

        const QString key = s.linker->serial() + QLatin1Char('/') + s.linker->box();
        QVERIFY(!s.linker->serial().isEmpty());
        QStringList rows;
        QSqlQuery query(t.journal->database());
        QVERIFY(query.exec(QStringLiteral("SELECT event, user, key_serial || '/' || key_box, session FROM events "
                                          "ORDER BY seq")));
        while (query.next())
            rows << QStringLiteral("%1 %2 %3 %4")
                        .arg(query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                             query.value(3).toString());
        query.finish();
        QCOMPARE(rows, (QStringList{"SignedIn operator " + key + " 1", "SealRecorded operator " + key + " 1",
                                    "SignedOut operator " + key + " 1", "SignedIn operator " + key + " 4",
                                    "SignedOut operator " + key + " 4"}));

        t.reopen();
        s.window->setJournal(t.journal.get());
        QVERIFY(notice->isVisible());
        QCOMPARE(notice->text(), QStringLiteral("1 bag not confirmed: see File > Journal (Ctrl+J)"));
        QTest::keyClick(s.window.get(), Qt::Key_J, Qt::ControlModifier);
        auto *view = s.window->findChild<JournalView *>();
        QVERIFY(view);
        UI_TRY_VERIFY(view->isVisible());
        UI_TRY_COMPARE(view->model()->rowCount(), 1);
        QCOMPARE(view->model()->index(0, JournalModel::ColumnState).data().toString(), QStringLiteral("Not confirmed"));
        QVERIFY(notice->isHidden()); // told once
        QVERIFY(view->findChild<QLabel *>(QStringLiteral("lblDayTotals"))
                    ->text()
                    .endsWith(QStringLiteral(": 0 sealed, 1 not confirmed, 0 failed")));
        view->findChild<QPushButton *>(QStringLiteral("btnVerifyJournal"))->click();
        UI_TRY_VERIFY(view->findChild<QLabel *>(QStringLiteral("lblJournalResult"))
                          ->text()
                          .startsWith(QStringLiteral("The journal checks out: 5 rows")));
    }

    // Every outcome of Pack and Unlock on the real page leaves its rows, in order, and the bag's state.
    void packAndUnlock_outcomesGiveTheirRows_data()
    {
        QTest::addColumn<QString>("barcode");
        QTest::addColumn<qulonglong>("rf"); // the lock in front of the key; 0: none
        QTest::addColumn<QString>("act");   // what happens after the scan
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("state");
        const QString maths = QStringLiteral("2531011021");
        const QStringList asked{"Linked", "TagRead", "SealRequested"};
        const QStringList recorded = asked + QStringList{"SealRecorded"};
        const QString locked = QStringLiteral("CloseConfirmed Authorised\r\nlocked");
        const QString notClosed = QStringLiteral(
            "KeyLost Key disconnected: the lock was not closed. Pack the bag again once the key is back.");
        QTest::newRow("sealed") << maths << 303659ull << "Pack" << recorded + QStringList{locked} << "Sealed";
        QTest::newRow("earlier seals replaced")
            << QStringLiteral("2531011034") << 303659ull << "Pack, No"
            << QStringList{"Linked", "TagRead", "SealsReplaced", "SealRequested", "SealRecorded", locked} << "Sealed";
        QTest::newRow("no tag") << maths << 0ull << "Pack" << QStringList{"Linked", "Failed Could not find a seal."}
                                << "Failed";
        QTest::newRow("unknown lock") << maths << 999999ull << "Pack"
                                      << QStringList{"Linked", "TagRead",
                                                     "Failed Could not read tag, please try again."}
                                      << "Failed";
        QTest::newRow("seal refused") << maths << 411872ull << "Pack"
                                      << asked + QStringList{"Failed Could not link seal subject pair"} << "Failed";
        // The record went out and no answer came back: the service may hold the seal.
        QTest::newRow("seal record unanswered")
            << maths << 303659ull << "Pack, no answer to the record"
            << asked + QStringList{"SealUnanswered No answer to the seal record: the service may hold it, but the "
                                   "lock was not closed."}
            << "Not confirmed";
        QTest::newRow("close failed") << maths << 303659ull << "Pack, key fails"
                                      << recorded + QStringList{"CloseFailed Lock jammed"} << "Not confirmed";
        QTest::newRow("key lost while closing") << maths << 303659ull << "Pack, unplug while closing"
                                                << recorded + QStringList{notClosed} << "Not confirmed";
        QTest::newRow("key lost during the record") << maths << 303659ull << "Pack, unplug during the record"
                                                    << recorded + QStringList{notClosed} << "Not confirmed";
        QTest::newRow("unlocked") << maths << 303659ull << "Unlock"
                                  << QStringList{"Linked", "UnlockRequested", "Unlocked Authorised\r\nunlocked"}
                                  << "Unlocked";
        QTest::newRow("unlock failed") << maths << 303659ull << "Unlock, key fails"
                                       << QStringList{"Linked", "UnlockRequested", "UnlockFailed Lock jammed"}
                                       << "Failed";
        QTest::newRow("link failed") << QStringLiteral("9999999999") << 0ull << "" << QStringList{"LinkFailed"}
                                     << "Failed";
    }

    void packAndUnlock_outcomesGiveTheirRows()
    {
        QFETCH(QString, barcode);
        QFETCH(qulonglong, rf);
        QFETCH(QString, act);
        QFETCH(QStringList, rows);
        QFETCH(QString, state);
        for (QString &row : rows)
            row.replace(QLatin1String("\\r\\n"), QLatin1String("\r\n"));
        QTemporaryDir dir;
        Journal journal(dir.path());
        QVERIFY(journal.open());
        UiStation s;
        s.window->setJournal(&journal);
        QVERIFY(s.loginAndScan(barcode, rf));
        if (!rf)
            s.key->removeLock();
        std::unique_ptr<ModalAnswer> answering;
        if (act.contains(QLatin1String("No")))
            answering = answerNextModal(
                [](QWidget *box) { qobject_cast<QMessageBox *>(box)->button(QMessageBox::No)->click(); });
        if (act.contains(QLatin1String("no answer"))) {
            s.window->service()->setReplyTimeout(300);
            s.web->addFault({"/veskservice/timetable/seal", sim::FaultAction::Answer, std::chrono::milliseconds(1000)});
        }
        if (act.contains(QLatin1String("key fails")))
            s.key->failNextOperation(QStringLiteral("Lock jammed"));
        QTimer poll;
        if (act.contains(QLatin1String("unplug during the record")))
            duringSlowCall(s, poll, QStringLiteral("/veskservice/timetable/seal"), [&s] { s.key->unplug(); });
        if (act.contains(QLatin1String("unplug while closing"))) {
            s.key->setStepDelay(250);
            connect(s.window->sealWidget(), &SealWidget::phaseChanged, &poll, [&s](SealWidget::Phase phase) {
                if (phase == SealWidget::Phase::Closing)
                    QTimer::singleShot(0, s.key.get(), [&s] { s.key->unplug(); });
            });
        }
        if (act.startsWith(QLatin1String("Pack")))
            QTest::keyClick(s.find<QPushButton>("btnPack"), Qt::Key_Space);
        else if (act.startsWith(QLatin1String("Unlock")))
            QTest::keyClick(s.window.get(), Qt::Key_U, Qt::ControlModifier);

        UI_TRY_COMPARE(bagRows(journal, barcode), rows);
        const QVector<BagLine> lines = JournalReader(journal).latestBags(false, 0, 10);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(bagStateText(lines.constFirst().state()), state);
    }

    // A program killed between the seal record and the close leaves the bag Not confirmed, and the
    // program's next start says so. The child is this suite, run again with the folder to seal into.
    void killedBetweenRecordAndClose_nextStartSaysNotConfirmed()
    {
        QTemporaryDir home;
        const QString folder = home.filePath(QStringLiteral("data/Vesk/SealStation"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SEALSTATION_TEST_JOURNAL_CHILD"), folder);
        env.insert(QStringLiteral("TMPDIR"), home.path()); // what the killed child leaves goes with the test
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("sealThenKilled")});
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        {
            Journal journal(folder);
            QVERIFY(journal.open());
            QCOMPARE(bagRows(journal, QStringLiteral("2531011021")),
                     (QStringList{"Linked", "TagRead", "SealRequested", "SealRecorded"}));
            QCOMPARE(JournalReader(journal).notConfirmedCount(), 1);
        }

        QProcess app;
        QProcessEnvironment appEnv = freshUserEnvironment(home.path());
        appEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(appEnv);
        app.start(QStringLiteral(SEALSTATION_APP_PATH), QStringList());
        QVERIFY(app.waitForStarted());
        const QString log = folder + QStringLiteral("/sealstation.log");
        QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains("Journal: 1 bag(s) not confirmed at start"), 10000);
        app.terminate(); // SIGTERM: nothing is under way, so it ends at once
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
    }

    // The child of the case above: seals a bag and is killed as the seal record is written.
    void sealThenKilled()
    {
        const QString folder = qEnvironmentVariable("SEALSTATION_TEST_JOURNAL_CHILD");
        if (folder.isEmpty())
            QSKIP("run by killedBetweenRecordAndClose_nextStartSaysNotConfirmed");
        Journal journal(folder);
        QVERIFY(journal.open());
        UiStation s;
        s.window->setJournal(&journal);
        // After the journal's own connection: the row is committed when this runs.
        connect(s.window.get(), &PackingWindow::stationEvent, this, [](const StationEvent &event) {
            if (event.kind == Kind::SealRecorded)
                ::raise(SIGKILL);
        });
        QVERIFY(s.loginAndScan(QStringLiteral("2531011021")));
        QTest::keyClick(s.find<QPushButton>("btnPack"), Qt::Key_Space);
        QTest::qWait(kUiWaitMs);
        QFAIL("the seal was never recorded");
    }

    // A journal that cannot be used is reported once, in the status bar, and packing goes on: a damaged
    // or foreign file is moved aside, another instance's file is left to it, an unwritable folder and a
    // full disk leave a lasting warning until the journal can be written again.
    void badJournal_toldOnceAndPackingGoesOn_data()
    {
        QTest::addColumn<QString>("bad");
        QTest::addColumn<QString>("brief");
        QTest::newRow("damaged") << "damaged"
                                 << "The journal was damaged: a new one was started";
        QTest::newRow("not SQLite") << "not SQLite"
                                    << "The journal was damaged: a new one was started";
        QTest::newRow("held by another instance") << "held"
                                                  << "The journal is open in another SealStation";
        QTest::newRow("unwritable folder") << "unwritable"
                                           << "Journal not written: bags are not recorded";
        QTest::newRow("full disk") << "full"
                                   << "Journal not written: the disk is full";
    }

    void badJournal_toldOnceAndPackingGoesOn()
    {
        QFETCH(QString, bad);
        QFETCH(QString, brief);
        QTemporaryDir dir;
        QString folder = dir.filePath(QStringLiteral("data"));
        const QString primary = folder + QStringLiteral("/journal.sqlite");
        QByteArray original;
        std::unique_ptr<Journal> holder;
        if (bad == QLatin1String("damaged")) {
            {
                JournalFixture earlier(folder);
                QVERIFY(earlier.journal->open());
                for (int i = 0; i < 50; ++i)
                    QVERIFY(earlier.record(Kind::Linked, QString::number(2531020000LL + i)));
            }
            original = readFile(primary);
            QVERIFY(original.size() > 4096);
            original.replace(100, 4000, QByteArray(4000, 'x')); // the header stays, the schema goes
            QVERIFY(writeFile(primary, original));
        } else if (bad == QLatin1String("not SQLite")) {
            original = "Barcode,State\r\n2531011021,Sealed\r\n";
            QVERIFY(writeFile(primary, original));
        } else if (bad == QLatin1String("held")) {
            holder = std::make_unique<Journal>(folder);
            QVERIFY(holder->open());
        } else if (bad == QLatin1String("unwritable")) {
            // Root writes anywhere; no one makes a folder below a file.
            QVERIFY(writeFile(dir.filePath(QStringLiteral("blocker")), "x"));
            folder = dir.filePath(QStringLiteral("blocker/data"));
        }

        Journal journal(folder);
        QCOMPARE(journal.open(), bad != QLatin1String("unwritable"));
        UiStation s;
        QSignalSpy notices(&journal, &Journal::noticeRaised);
        QSignalSpy warnings(&journal, &Journal::warningChanged);
        s.window->setJournal(&journal);
        if (bad == QLatin1String("full")) {
            QSqlQuery pages(journal.database());
            QVERIFY(pages.exec(QStringLiteral("PRAGMA page_count")) && pages.next());
            QVERIFY(journal.setMaxPageCountForTest(pages.value(0).toInt()));
            pages.finish();
            int written = 0;
            while (written < 2000 && journal.record(bagEvent(Kind::Linked, QString::number(2531020000LL + written))))
                ++written;
            QVERIFY(written < 2000);
            QCOMPARE(journal.phase(), Journal::Phase::DiskFull);
        }
        auto *notice = s.find<QToolButton>("btnJournalNotice");
        QVERIFY(notice->isVisible());
        QCOMPARE(notice->text(), brief);
        QVERIFY(notice->toolTip().contains(bad == QLatin1String("full") ? journal.warningText().left(20)
                                                                        : QStringLiteral("journal")));

        QVERIFY(s.loginAndScan(QStringLiteral("2531011021")));
        QTest::keyClick(s.find<QPushButton>("btnPack"), Qt::Key_Space);
        UI_TRY_COMPARE(s.operationStyle(), kSuccess);
        QCOMPARE(notices.count(), 0); // told at the start, and only then
        QCOMPARE(warnings.count(), bad == QLatin1String("full") ? 1 : 0);
        QVERIFY(notice->isVisible());

        if (bad == QLatin1String("damaged") || bad == QLatin1String("not SQLite")) {
            QCOMPARE(journal.notice(), Journal::Notice::MovedAside);
            const QStringList moved = QDir(folder).entryList({QStringLiteral("journal-damaged-*.sqlite")}, QDir::Files);
            QCOMPARE(moved.size(), 1);
            QCOMPARE(readFile(QDir(folder).filePath(moved.constFirst())), original);
            QCOMPARE(journal.filePath(), primary);
        } else if (bad == QLatin1String("held")) {
            QCOMPARE(journal.notice(), Journal::Notice::InUseElsewhere);
            QVERIFY(journal.filePath() != primary);
            QVERIFY(holder->record(bagEvent(Kind::Linked, QStringLiteral("2531011021"))));
            QVERIFY(holder->verify().ok());
        } else if (bad == QLatin1String("unwritable")) {
            QCOMPARE(journal.phase(), Journal::Phase::Unwritable);
            QVERIFY(journal.pendingRows() > 0); // the sign-in waits for a folder that takes it
        } else {
            QVERIFY(journal.setMaxPageCountForTest(1 << 20));
            QVERIFY(journal.record(bagEvent(Kind::Linked, QStringLiteral("2531011021"))));
            QCOMPARE(warnings.count(), 2);
            QCOMPARE(warnings.last().constFirst().toString(), QString());
            QVERIFY(notice->isHidden());
            QCOMPARE(journal.pendingRows(), 0);
        }
        if (journal.isOpen()) {
            const JournalCheck check = journal.verify();
            QVERIFY2(check.ok(), qPrintable(check.summary()));
            QVERIFY(JournalReader(journal).sessions(1).size() == 1); // the sign-in was recorded
        }
    }
};

QTEST_MAIN(TestJournal)
#include "test_journal.moc"
