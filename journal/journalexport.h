#pragma once

#include "journal/journalreader.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// What a handover manifest shows: the bags of a period or a sign-in session with their locks and
// states, and who handed them over with which key.
struct JournalManifest
{
    QString period;   // as the operator chose it, e.g. "2025-03-01 to 2025-03-02"
    QStringList keys; // "serial (box n)"
    QStringList users;
    QVector<BagLine> bags;
    BagTotals totals;
    JournalRow lastRow; // anchors the printed page to the journal's chain
    qint64 printedMs = 0;

    static JournalManifest of(const JournalReader &reader, const JournalScope &scope, const QString &period,
                              qint64 printedMs);
};

// The exports of the journal: CSV (RFC 4180: comma-separated, CRLF line ends, fields quoted where
// they must be; UTF-8 without a byte-order mark; a header line) and a PDF manifest to sign at handover
// (A4 landscape: the head and tail laid out by QTextDocument, the bag list below the head, a page
// number on every page).
class JournalExport
{
public:
    static QByteArray csv(const QVector<BagLine> &bags);
    // The manifest's first part (title, key, operator, period) and last part (totals, the journal's
    // row and hash, signature lines) as HTML, every text in it escaped.
    static QString manifestHeadHtml(const JournalManifest &manifest);
    static QString manifestTailHtml(const JournalManifest &manifest);
    // The bag list as printed: a heading line, then a line per bag in columns of fixed width.
    static QStringList manifestLines(const JournalManifest &manifest);
    // False with `error` set when the file could not be written.
    static bool writeCsv(const QString &path, const QVector<BagLine> &bags, QString *error);
    static bool writePdf(const QString &path, const JournalManifest &manifest, QString *error);
};
