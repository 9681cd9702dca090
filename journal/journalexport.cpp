#include "journal/journalexport.h"

#include <QAbstractTextDocumentLayout>
#include <QDateTime>
#include <QFont>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>

#include <array>
#include <memory>
#include <vector>

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

// The printed bag list: columns of fixed width, in characters.
struct Column
{
    const char *title;
    int width;
};
const std::array<Column, 7> kColumns{
    {{"#", 7}, {"Barcode", 14}, {"Subject", 32}, {"School", 36}, {"Lock", 10}, {"State", 15}, {"Time", 17}}};
const int kLineWidth = 131;

// The text in `width` characters: padded, or cut with an ellipsis and a space before the next column.
QString fitted(const QString &text, int width)
{
    if (text.size() < width)
        return text.leftJustified(width);
    return text.left(width - 2) + QChar(0x2026) + QLatin1Char(' ');
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
    reader.participants(scope, &manifest.users, &manifest.keys);
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

QString JournalExport::manifestHeadHtml(const JournalManifest &manifest)
{
    QString html = QStringLiteral("<html><body><h2>Bag manifest</h2><table cellspacing=\"0\" cellpadding=\"2\">");
    const auto meta = [&html](const char *label, const QString &value) {
        html += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>").arg(QLatin1String(label), escaped(value));
    };
    meta("Station key:", listOrDash(manifest.keys));
    meta("Operator:", listOrDash(manifest.users));
    meta("Period:", manifest.period);
    meta("Printed:", localTime(manifest.printedMs));
    html += QStringLiteral("</table></body></html>");
    return html;
}

QString JournalExport::manifestTailHtml(const JournalManifest &manifest)
{
    QString html = QStringLiteral("<html><body><p><b>Totals:</b> %1 bags: %2.</p>")
                       .arg(manifest.totals.bags())
                       .arg(escaped(manifest.totals.text()));
    if (manifest.lastRow.seq > 0)
        html += QStringLiteral("<p><small>Station journal up to row %1, hash %2</small></p>")
                    .arg(manifest.lastRow.seq)
                    .arg(QString::fromLatin1(manifest.lastRow.hash.toHex()));
    html += QStringLiteral("<table width=\"100%\" cellspacing=\"0\" cellpadding=\"6\">"
                           "<tr><td width=\"50%\"><b>Handed over by (operator)</b></td>"
                           "<td width=\"50%\"><b>Received by</b></td></tr>"
                           "<tr><td>Name: ______________________________</td>"
                           "<td>Name: ______________________________</td></tr>"
                           "<tr><td>Signature: __________________________</td>"
                           "<td>Signature: __________________________</td></tr>"
                           "<tr><td>Date and time: ______________________</td>"
                           "<td>Date and time: ______________________</td></tr>"
                           "</table></body></html>");
    return html;
}

QStringList JournalExport::manifestLines(const JournalManifest &manifest)
{
    QStringList lines;
    lines.reserve(manifest.bags.size() + 1);
    QString heading;
    for (const Column &column : kColumns)
        heading += fitted(QLatin1String(column.title), column.width);
    lines << heading.trimmed();
    int number = 0;
    for (const BagLine &bag : manifest.bags) {
        const QString cells[] = {
            QString::number(++number), bag.latest.barcode,          bag.subject, bag.school, bag.lockId,
            bagStateText(bag.state()), localTime(bag.latest.timeMs)};
        QString line;
        line.reserve(kLineWidth);
        for (size_t i = 0; i < kColumns.size(); ++i)
            line += fitted(oneLine(cells[i]), kColumns[i].width);
        lines << line.trimmed();
    }
    return lines;
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
    bool painted = false;
    {
        QPdfWriter writer(&file);
        writer.setTitle(QStringLiteral("Bag manifest"));
        writer.setCreator(QStringLiteral("SealStation"));
        writer.setResolution(300);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(15, 15, 15, 15),
                                         QPageLayout::Millimeter));
        const QRect page = writer.pageLayout().paintRectPixels(writer.resolution());

        // Any letter spacing turns ligatures off, so that the PDF's text searches and copies as it reads
        // ("confirmed", not a "fi" ligature).
        QFont text;
        text.setPointSize(9);
        text.setLetterSpacing(QFont::AbsoluteSpacing, 0.1);
        const auto document = [&writer, &text, &page](const QString &html) {
            auto doc = std::make_unique<QTextDocument>();
            doc->setUndoRedoEnabled(false);
            doc->setDefaultFont(text);
            doc->setDocumentMargin(0);
            doc->setHtml(html);
            // Laid out for the writer once the text is in: set first, every insertion would lay out anew.
            doc->documentLayout()->setPaintDevice(&writer);
            doc->setTextWidth(page.width());
            return doc;
        };
        const std::unique_ptr<QTextDocument> head = document(manifestHeadHtml(manifest));
        const std::unique_ptr<QTextDocument> tail = document(manifestTailHtml(manifest));

        // The bag list in a fixed-pitch font, one run of text per bag: laying out and printing a table
        // of ten thousand rows in QTextDocument takes minutes; this takes a second.
        QFont fixed(QStringLiteral("monospace"));
        fixed.setStyleHint(QFont::TypeWriter);
        fixed.setFixedPitch(true);
        fixed.setPointSizeF(9);
        while (fixed.pointSizeF() > 5 &&
               QFontMetricsF(fixed, &writer).horizontalAdvance(QString(kLineWidth, QLatin1Char('M'))) > page.width())
            fixed.setPointSizeF(fixed.pointSizeF() - 0.5);
        QFont fixedBold = fixed;
        fixedBold.setBold(true);
        const QFontMetricsF metrics(fixed, &writer);
        const qreal line = metrics.lineSpacing() * 1.15;
        const qreal footer = QFontMetricsF(text, &writer).lineSpacing() * 1.5;
        const qreal gap = line;
        const QStringList lines = manifestLines(manifest);

        // Which bags go on which page: the head above the first, the tail after the last where it fits.
        struct Page
        {
            int first;
            int count;
        };
        std::vector<Page> pages;
        const qreal bottom = page.height() - footer;
        qreal top = head->size().height() + gap;
        int next = 1;
        do {
            const int fit = qMax(1, int((bottom - top) / line) - 1); // less the heading line
            const int count = qMin(fit, int(lines.size()) - next);
            pages.push_back({next, count});
            next += count;
            top = 0;
        } while (next < lines.size());
        const qreal lastBottom =
            (pages.size() == 1 ? head->size().height() + gap : 0) + line * (pages.back().count + 1);
        const bool tailAlone = lastBottom + gap + tail->size().height() > bottom;
        const int pageCount = int(pages.size()) + (tailAlone ? 1 : 0);

        QPainter painter;
        if (!painter.begin(&writer)) {
            *error = QStringLiteral("The PDF file could not be started.");
            return false;
        }
        const QColor shade(238, 238, 238);
        const auto pageNumber = [&](int number) {
            painter.setFont(text);
            painter.setPen(Qt::black);
            painter.drawText(QRectF(0, page.height() - footer, page.width(), footer), Qt::AlignRight | Qt::AlignBottom,
                             QStringLiteral("Page %1 of %2").arg(number).arg(pageCount));
        };
        qreal y = 0;
        for (size_t p = 0; p < pages.size(); ++p) {
            if (p > 0)
                writer.newPage();
            y = 0;
            if (p == 0) {
                head->drawContents(&painter);
                y = head->size().height() + gap;
            }
            painter.setFont(fixedBold);
            painter.drawText(QPointF(0, y + metrics.ascent()), lines.at(0));
            y += line;
            painter.drawLine(QPointF(0, y - line * 0.1), QPointF(page.width(), y - line * 0.1));
            painter.setFont(fixed);
            for (int i = 0; i < pages[p].count; ++i) {
                const int index = pages[p].first + i;
                if (index % 2 == 0)
                    painter.fillRect(QRectF(0, y, page.width(), line), shade);
                painter.drawText(QPointF(0, y + metrics.ascent()), lines.at(index));
                y += line;
            }
            pageNumber(int(p) + 1);
        }
        if (tailAlone) {
            writer.newPage();
            y = 0;
            pageNumber(pageCount);
        } else {
            y += gap;
        }
        painter.translate(0, y);
        tail->drawContents(&painter);
        painted = painter.end();
    }
    if (!painted || file.error() != QFileDevice::NoError || !file.commit()) {
        *error = painted ? file.errorString() : QStringLiteral("The PDF file could not be written.");
        return false;
    }
    return true;
}
