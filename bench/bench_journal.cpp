// The cost of the station's journal, each figure against a baseline measured in the same run.
//
//   bench_journal [--dir DIR] [--bags N] [--events N] [--export-bags N] [--runs N]
//
// Per bag: record() of a bag's five rows (linked, tag read, seal requested, seal recorded, lock
// closed; one of them synced to the disk). Baseline: the same five commits of a bare row through Qt
// SQL into SQLite with the same settings (WAL, exclusive, one FULL and four NORMAL), on the same disk.
// Also each kind of row alone: one that is synced (FULL) and one that is not (NORMAL).
//
// The view: a journal of --events rows spread over a year; from creating the journal view until its
// tree has painted its first lines. Baseline: a QTreeView over a QStandardItemModel that already holds
// the same first page of lines, from its creation to its first paint.
//
// Exports: --export-bags bags (six rows each) in one period, to CSV and to a PDF manifest, from the
// query to the written file. Baselines: writing the same CSV bytes, and drawing the manifest's bag
// lines on bare PDF pages, without the journal.
//
// DIR defaults to a new folder under the current directory, so that the disk is a real one (a tmpfs
// would make every sync free).
#include "bench/benchsupport.h"
#include "journal/journal.h"
#include "journal/journalexport.h"
#include "journal/journalmodel.h"
#include "journal/journalview.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QtTest/QTest>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

using Kind = StationEvent::Kind;

const qint64 kYearMs = 365LL * 24 * 60 * 60 * 1000;

StationEvent event(Kind kind, const QString &barcode, const QString &lockId)
{
    StationEvent e;
    e.kind = kind;
    e.user = QStringLiteral("operator");
    e.keySerial = QStringLiteral("11259375");
    e.keyBox = QStringLiteral("VESK-BOX-01");
    e.barcode = barcode;
    e.subject = QStringLiteral("Mathematics Paper 1");
    e.school = QStringLiteral("Greenfield High School");
    e.examSchedId = 3101;
    e.lockRf = QStringLiteral("30") + lockId;
    e.lockId = lockId;
    if (kind == Kind::CloseConfirmed)
        e.outcome = QStringLiteral("Authorised\r\nlocked");
    return e;
}

const QVector<Kind> kBag{Kind::Linked, Kind::TagRead, Kind::SealRequested, Kind::SealRecorded, Kind::CloseConfirmed};

// Fills a journal with `bags` bags of six rows or so (every twentieth fails, every fiftieth is left
// not confirmed), with a sign-in every fifty bags, in transactions of some 5000 rows.
void fill(Journal &journal, int bags)
{
    QVector<StationEvent> batch;
    for (int i = 0; i < bags; ++i) {
        if (i % 50 == 0) {
            StationEvent signIn;
            signIn.kind = Kind::SignedIn;
            signIn.user = QStringLiteral("operator");
            batch << signIn;
        }
        const QString barcode = QString::number(2531000000LL + i);
        const QString lock = QString::number(5000 + i % 4000);
        QVector<Kind> kinds = kBag;
        if (i % 20 == 7)
            kinds = {Kind::Linked, Kind::TagRead, Kind::SealRequested, Kind::Failed};
        else if (i % 50 == 13)
            kinds = {Kind::Linked, Kind::TagRead, Kind::SealRequested, Kind::SealRecorded, Kind::CloseFailed};
        kinds << Kind::UnlockRequested;
        for (const Kind kind : kinds)
            batch << event(kind, barcode, lock);
        if (batch.size() >= 5000 || i + 1 == bags) {
            journal.recordAll(batch);
            batch.clear();
        }
    }
}

// Stops its clock once the widget has painted with `ready()` true, after the paint has finished.
class PaintProbe : public QObject
{
public:
    PaintProbe(QWidget *widget, std::function<bool()> ready) : m_ready(std::move(ready))
    {
        widget->installEventFilter(this);
        m_clock.start();
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && m_elapsedMs < 0 && !m_pending && m_ready()) {
            m_pending = true;
            QTimer::singleShot(0, this, [this] { m_elapsedMs = m_clock.nsecsElapsed() / 1e6; });
        }
        return false;
    }
    double elapsedMs() const { return m_elapsedMs; }
    void restart() { m_clock.restart(); }

private:
    std::function<bool()> m_ready;
    QElapsedTimer m_clock;
    double m_elapsedMs = -1;
    bool m_pending = false;
};

// A bare row committed through Qt SQL into SQLite with the journal's settings.
class BareTable
{
public:
    explicit BareTable(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bare"));
        db.setDatabaseName(path);
        db.open();
        QSqlQuery query(db);
        query.exec(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE"));
        query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        query.exec(QStringLiteral("CREATE TABLE rows (seq INTEGER PRIMARY KEY, text TEXT)"));
        m_insert = std::make_unique<QSqlQuery>(db);
        m_insert->prepare(QStringLiteral("INSERT INTO rows (text) VALUES (?)"));
    }
    ~BareTable()
    {
        m_insert.reset();
        QSqlDatabase::database(QStringLiteral("bare"), false).close();
        QSqlDatabase::removeDatabase(QStringLiteral("bare"));
    }
    void commit(bool full)
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("bare"), false));
        query.exec(full ? QStringLiteral("PRAGMA synchronous=FULL") : QStringLiteral("PRAGMA synchronous=NORMAL"));
        query.exec(QStringLiteral("BEGIN IMMEDIATE"));
        m_insert->bindValue(0, QStringLiteral("2531011021,Mathematics Paper 1,Greenfield High School,5101"));
        m_insert->exec();
        query.exec(QStringLiteral("COMMIT"));
    }

private:
    std::unique_ptr<QSqlQuery> m_insert;
};

double msSince(const QElapsedTimer &clock)
{
    return clock.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("dir"), QStringLiteral("Folder for the journals."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("bags"), QStringLiteral("Bags recorded one by one."), QStringLiteral("N"),
                      QStringLiteral("100")});
    parser.addOption({QStringLiteral("events"), QStringLiteral("Rows of the journal the view opens."),
                      QStringLiteral("N"), QStringLiteral("100000")});
    parser.addOption({QStringLiteral("export-bags"), QStringLiteral("Bags exported."), QStringLiteral("N"),
                      QStringLiteral("10000")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs of the view and export figures."),
                      QStringLiteral("N"), QStringLiteral("5")});
    parser.process(app);
    const int bags = qMax(1, parser.value(QStringLiteral("bags")).toInt());
    const int events = qMax(100, parser.value(QStringLiteral("events")).toInt());
    const int exportBags = qMax(1, parser.value(QStringLiteral("export-bags")).toInt());
    const int runs = qMax(1, parser.value(QStringLiteral("runs")).toInt());
    std::unique_ptr<QTemporaryDir> ownDir;
    QString base = parser.value(QStringLiteral("dir"));
    if (base.isEmpty()) {
        ownDir = std::make_unique<QTemporaryDir>(QDir::current().filePath(QStringLiteral("bench-journal-XXXXXX")));
        base = ownDir->path();
    }
    QDir(base).mkpath(QStringLiteral("."));
    std::printf("# journal: figures on %s; budgets: a bag's rows 2 ms, the view on %d rows 200 ms, each export of "
                "%d bags 2000 ms\n",
                qPrintable(QDir::toNativeSeparators(base)), events, exportBags);

    // ---- record() per bag ----
    {
        qint64 now = QDateTime::currentMSecsSinceEpoch();
        Journal journal(QDir(base).filePath(QStringLiteral("record")), nullptr, [&now] { return ++now; });
        journal.open();
        BareTable bare(QDir(base).filePath(QStringLiteral("bare.sqlite")));
        std::vector<double> bag, bareBag, row, bareRow, flushed, bareFlushed;
        for (int i = -5; i < bags; ++i) {
            const QString barcode = QString::number(2531000000LL + (i + 5));
            QElapsedTimer clock;
            double bagMs = 0;
            for (const Kind kind : kBag) {
                clock.start();
                journal.record(event(kind, barcode, QStringLiteral("5101")));
                const double ms = msSince(clock);
                bagMs += ms;
                if (i >= 0 && kind == Kind::TagRead)
                    row.push_back(ms);
                if (i >= 0 && kind == Kind::SealRequested)
                    flushed.push_back(ms);
            }
            double bareMs = 0;
            for (const Kind kind : kBag) {
                clock.start();
                bare.commit(mustFlush(eventName(kind)));
                const double ms = msSince(clock);
                bareMs += ms;
                if (i >= 0 && kind == Kind::TagRead)
                    bareRow.push_back(ms);
                if (i >= 0 && kind == Kind::SealRequested)
                    bareFlushed.push_back(ms);
            }
            if (i >= 0) {
                bag.push_back(bagMs);
                bareBag.push_back(bareMs);
            }
        }
        bench::printFigure("journal_bag_ms", bag, bareBag);
        bench::printFigure("journal_row_ms", row, bareRow);
        bench::printFigure("journal_synced_row_ms", flushed, bareFlushed);
    }

    // ---- the view on a year of rows ----
    {
        // Rows a year apart from first to last, each a step after the one before.
        qint64 now = QDateTime::currentMSecsSinceEpoch() - kYearMs;
        qint64 step = kYearMs / events;
        Journal journal(QDir(base).filePath(QStringLiteral("year")), nullptr, [&now, &step] { return now += step; });
        journal.open();
        fill(journal, events / 6);
        step = 0;
        QElapsedTimer verifyClock;
        verifyClock.start();
        const JournalCheck check = journal.verify();
        std::printf("# journal: Verify journal on %lld rows took %.0f ms (%s)\n", check.rows, msSince(verifyClock),
                    check.ok() ? "checks out" : "FAILED");
        std::vector<double> view, baseline;
        for (int run = -1; run < runs; ++run) {
            QElapsedTimer clock;
            clock.start();
            auto dialog = std::make_unique<JournalView>(&journal);
            PaintProbe probe(dialog->tree()->viewport(), [&dialog] { return dialog->model()->rowCount() > 0; });
            probe.restart();
            const double setupMs = msSince(clock);
            dialog->show();
            if (!QTest::qWaitFor([&probe] { return probe.elapsedMs() >= 0; }, 10000))
                std::fprintf(stderr, "the journal view did not paint\n");
            if (run >= 0)
                view.push_back(setupMs + probe.elapsedMs());

            // The same first page of lines, already in a plain model.
            QStandardItemModel plain(0, JournalModel::ColumnCount);
            JournalModel *model = dialog->model();
            for (int r = 0; r < model->rowCount(); ++r) {
                QList<QStandardItem *> items;
                for (int c = 0; c < JournalModel::ColumnCount; ++c)
                    items << new QStandardItem(model->index(r, c).data().toString());
                plain.appendRow(items);
            }
            dialog.reset();
            clock.start();
            auto tree = std::make_unique<QTreeView>();
            tree->resize(1000, 600);
            tree->setUniformRowHeights(true);
            tree->setModel(&plain);
            PaintProbe plainProbe(tree->viewport(), [] { return true; });
            plainProbe.restart();
            const double plainSetupMs = msSince(clock);
            tree->show();
            if (!QTest::qWaitFor([&plainProbe] { return plainProbe.elapsedMs() >= 0; }, 10000))
                std::fprintf(stderr, "the plain tree did not paint\n");
            if (run >= 0)
                baseline.push_back(plainSetupMs + plainProbe.elapsedMs());
        }
        bench::printFigure("journal_view_open_ms", view, baseline);
    }

    // ---- exports of a period ----
    {
        qint64 now = QDateTime::currentMSecsSinceEpoch() - 10LL * 60 * 60 * 1000;
        const qint64 from = now;
        Journal journal(QDir(base).filePath(QStringLiteral("export")), nullptr, [&now] { return now += 100; });
        journal.open();
        fill(journal, exportBags);
        const JournalScope scope = JournalScope::period(from, now + 1);
        const QString csvPath = QDir(base).filePath(QStringLiteral("bags.csv"));
        const QString pdfPath = QDir(base).filePath(QStringLiteral("manifest.pdf"));
        std::vector<double> csv, csvBase, pdf, pdfBase, query;
        int exported = 0;
        for (int run = -1; run < runs; ++run) {
            QElapsedTimer clock;
            clock.start();
            const QVector<BagLine> lines = JournalReader(journal).bags(scope);
            QString error;
            JournalExport::writeCsv(csvPath, lines, &error);
            const double csvMs = msSince(clock);
            exported = lines.size();

            const QByteArray bytes = JournalExport::csv(lines);
            clock.start();
            QSaveFile file(csvPath);
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
            file.commit();
            const double csvBaseMs = msSince(clock);

            clock.start();
            const JournalManifest manifest =
                JournalManifest::of(JournalReader(journal), scope, QStringLiteral("today"), now);
            const double queryMs = msSince(clock);
            JournalExport::writePdf(pdfPath, manifest, &error);
            const double pdfMs = msSince(clock);
            if (run >= 0)
                query.push_back(queryMs);

            // The same lines on bare pages: what the PDF engine alone takes.
            const QStringList printed = JournalExport::manifestLines(manifest);
            clock.start();
            {
                QPdfWriter writer(QDir(base).filePath(QStringLiteral("baseline.pdf")));
                writer.setResolution(300);
                writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                                                 QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter));
                QPainter painter(&writer);
                QFont fixed(QStringLiteral("monospace"));
                fixed.setStyleHint(QFont::TypeWriter);
                fixed.setPointSizeF(8);
                painter.setFont(fixed);
                const qreal height = writer.pageLayout().paintRectPixels(writer.resolution()).height();
                const qreal step = QFontMetricsF(fixed, &writer).lineSpacing();
                qreal y = step;
                for (const QString &line : printed) {
                    if (y > height) {
                        writer.newPage();
                        y = step;
                    }
                    painter.drawText(QPointF(0, y), line);
                    y += step;
                }
            }
            const double pdfBaseMs = msSince(clock);
            if (run >= 0) {
                csv.push_back(csvMs);
                csvBase.push_back(csvBaseMs);
                pdf.push_back(pdfMs);
                pdfBase.push_back(pdfBaseMs);
            }
        }
        std::printf("# journal: %d bags exported; reading them for the manifest took %.0f ms of its time\n", exported,
                    bench::median(query));
        bench::printFigure("journal_csv_ms", csv, csvBase);
        bench::printFigure("journal_pdf_ms", pdf, pdfBase);
    }
    return 0;
}
