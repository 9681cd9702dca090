#include "journal/journalexport.h"

#include <QDateTime>
#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>

namespace {

const char *const kCsvHeader = "Barcode,Subject,School,Exam schedule,Lock,Lock RF,State,Last event,Outcome,"
                               "Time (UTC),Operator,Key serial,Key box\r\n";

// One CSV field. A text a spreadsheet would take for a formula gets a leading apostrophe, so that
// opening the export never runs what a barcode or a service text carried.
void appendCsvField(QByteArray &out, const QString &text, bool first = false)
{
    if (!first)
        out.append(',');
    QString field = text;
    if (!field.isEmpty()) {
        const QChar lead = field.at(0);
        if (lead == QLatin1Char('=') || lead == QLatin1Char('+') || lead == QLatin1Char('-') ||
            lead == QLatin1Char('@') || lead == QLatin1Char('\t') || lead == QLatin1Char('\r'))
            field.prepend(QLatin1Char('\''));
    }
    const QByteArray bytes = field.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\r') || bytes.contains('\n')) {
        QByteArray quoted = bytes;
        quoted.replace('"', "\"\"");
        out.append('"').append(quoted).append('"');
    } else {
        out.append(bytes);
    }
}

QString utcTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

QString localTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString listOrDash(const QStringList &items)
{
    return items.isEmpty() ? QStringLiteral("-") : items.join(QStringLiteral(", "));
}

} // namespace

JournalManifest JournalManifest::of(const JournalReader &reader, const JournalScope &scope, const QString &period,
                                    qint64 printedMs)
{
    JournalManifest manifest;
    manifest.period = period;
    manifest.keys = reader.keys(scope);
    manifest.users = reader.users(scope);
    manifest.bags = reader.bags(scope);
    for (const BagLine &bag : qAsConst(manifest.bags))
        manifest.totals.add(bag.state());
    manifest.lastRow = reader.lastRow(scope);
    manifest.printedMs = printedMs;
    return manifest;
}

QByteArray JournalExport::csv(const QVector<BagLine> &bags)
{
    QByteArray out(kCsvHeader);
    out.reserve(out.size() + bags.size() * 160);
    for (const BagLine &bag : bags) {
        appendCsvField(out, bag.latest.barcode, true);
        appendCsvField(out, bag.subject);
        appendCsvField(out, bag.school);
        appendCsvField(out, bag.examSchedId >= 0 ? QString::number(bag.examSchedId) : QString());
        appendCsvField(out, bag.lockId);
        appendCsvField(out, bag.lockRf);
        appendCsvField(out, bagStateText(bag.state()));
        appendCsvField(out, eventLabel(bag.latest.event));
        appendCsvField(out, bag.latest.outcome);
        appendCsvField(out, utcTime(bag.latest.timeMs));
        appendCsvField(out, bag.latest.user);
        appendCsvField(out, bag.latest.keySerial);
        appendCsvField(out, bag.latest.keyBox);
        out.append("\r\n");
    }
    return out;
}

QString JournalExport::manifestHtml(const JournalManifest &manifest)
{
    QString html;
    html.reserve(2048 + manifest.bags.size() * 300);
    html += QStringLiteral("<html><head><meta charset=\"utf-8\"></head><body>"
                           "<h2>Bag manifest</h2>"
                           "<table cellspacing=\"0\" cellpadding=\"2\">");
    const auto meta = [&html](const char *label, const QString &value) {
        html += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>").arg(QLatin1String(label), escaped(value));
    };
    meta("Station key:", listOrDash(manifest.keys));
    meta("Operator:", listOrDash(manifest.users));
    meta("Period:", manifest.period);
    meta("Printed:", localTime(manifest.printedMs));
    html += QStringLiteral("</table><p></p>"
                           "<table width=\"100%\" border=\"1\" cellspacing=\"0\" cellpadding=\"3\">"
                           "<thead><tr><th>#</th><th>Barcode</th><th>Subject</th><th>School</th><th>Lock</th>"
                           "<th>State</th><th>Time</th></tr></thead>");
    int number = 0;
    for (const BagLine &bag : manifest.bags) {
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td></tr>")
                    .arg(++number)
                    .arg(escaped(bag.latest.barcode), escaped(bag.subject), escaped(bag.school), escaped(bag.lockId),
                         escaped(bagStateText(bag.state())), escaped(localTime(bag.latest.timeMs)));
    }
    html += QStringLiteral("</table>");
    html += QStringLiteral("<p><b>Totals:</b> %1 bags: %2.</p>")
                .arg(manifest.totals.bags())
                .arg(escaped(manifest.totals.text()));
    if (manifest.lastRow.seq > 0)
        html += QStringLiteral("<p><small>Station journal up to row %1, hash %2</small></p>")
                    .arg(manifest.lastRow.seq)
                    .arg(QString::fromLatin1(manifest.lastRow.hash.toHex()));
    html += QStringLiteral("<p></p><table width=\"100%\" cellspacing=\"0\" cellpadding=\"8\">"
                           "<tr><td width=\"50%\"><b>Handed over by (operator)</b></td>"
                           "<td width=\"50%\"><b>Received by</b></td></tr>"
                           "<tr><td>Name: ______________________________</td><td>Name: "
                           "______________________________</td></tr>"
                           "<tr><td>Signature: __________________________</td><td>Signature: "
                           "__________________________</td></tr>"
                           "<tr><td>Date and time: ______________________</td><td>Date and time: "
                           "______________________</td></tr>"
                           "</table></body></html>");
    return html;
}

bool JournalExport::writeCsv(const QString &path, const QVector<BagLine> &bags, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(csv(bags)) < 0 || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool JournalExport::writePdf(const QString &path, const JournalManifest &manifest, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    {
        QPdfWriter writer(&file);
        writer.setTitle(QStringLiteral("Bag manifest"));
        writer.setCreator(QStringLiteral("SealStation"));
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
        QTextDocument document;
        QFont font = document.defaultFont();
        font.setPointSize(9);
        document.setDefaultFont(font);
        document.setHtml(manifestHtml(manifest));
        document.print(&writer);
    }
    if (file.error() != QFileDevice::NoError || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
