#include "journal/journalmodel.h"

#include "journal/journal.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <QFont>

namespace {

QString localTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString lockText(const QString &lockId, const QString &lockRf)
{
    if (lockId.isEmpty())
        return lockRf.isEmpty() ? QString() : QStringLiteral("RF %1").arg(lockRf);
    return lockRf.isEmpty() ? lockId : QStringLiteral("%1 (RF %2)").arg(lockId, lockRf);
}

QString keyText(const JournalRow &row)
{
    return row.keyBox.isEmpty() ? row.keySerial : QStringLiteral("%1 (box %2)").arg(row.keySerial, row.keyBox);
}

// A tool tip takes text that looks like markup for rich text: the key's or the service's text is
// escaped and set as rich text, so that it shows as it came.
QString plainTip(const QString &text)
{
    return QStringLiteral("<p>%1</p>").arg(text.toHtmlEscaped());
}

QVariant stateColour(BagState state)
{
    switch (state) {
    case BagState::Sealed:
        return QBrush(QColor(0x1b, 0x6e, 0x20));
    case BagState::Requested:
    case BagState::InDoubt:
        return QBrush(QColor(0xb3, 0x4d, 0x00));
    case BagState::Failed:
        return QBrush(QColor(0xb7, 0x1c, 0x1c));
    case BagState::None:
    case BagState::Scanned:
    case BagState::Unlocked:
        break;
    }
    return QVariant();
}

} // namespace

JournalModel::JournalModel(Journal *journal, QObject *parent) : QAbstractItemModel(parent), m_journal(journal) {}

void JournalModel::setExceptionsOnly(bool exceptionsOnly)
{
    if (exceptionsOnly == m_exceptionsOnly)
        return;
    m_exceptionsOnly = exceptionsOnly;
    reload();
}

void JournalModel::setPageSizes(int bags, int rows)
{
    m_bagPage = qMax(1, bags);
    m_rowPage = qMax(1, rows);
}

void JournalModel::reload()
{
    beginResetModel();
    m_bags.clear();
    m_complete = false;
    endResetModel();
}

QModelIndex JournalModel::index(int row, int column, const QModelIndex &parent) const
{
    if (row < 0 || column < 0 || column >= ColumnCount)
        return QModelIndex();
    if (!parent.isValid())
        return row < int(m_bags.size()) ? createIndex(row, column, quintptr(0)) : QModelIndex();
    if (parent.internalId() != 0 || parent.row() >= int(m_bags.size()))
        return QModelIndex();
    const Bag &bag = m_bags[size_t(parent.row())];
    // A row under a bag carries its bag's line number, plus one.
    return row < int(bag.rows.size()) ? createIndex(row, column, quintptr(parent.row()) + 1) : QModelIndex();
}

QModelIndex JournalModel::parent(const QModelIndex &child) const
{
    if (!child.isValid() || child.internalId() == 0)
        return QModelIndex();
    return createIndex(int(child.internalId() - 1), 0, quintptr(0));
}

int JournalModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return int(m_bags.size());
    if (parent.internalId() != 0 || parent.column() != 0 || parent.row() >= int(m_bags.size()))
        return 0;
    return int(m_bags[size_t(parent.row())].rows.size());
}

int JournalModel::columnCount(const QModelIndex &) const
{
    return ColumnCount;
}

bool JournalModel::hasChildren(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return !m_bags.empty() || !m_complete;
    // Every bag has at least one row; they are read when the bag is opened.
    return parent.internalId() == 0 && parent.column() == 0;
}

bool JournalModel::canFetchMore(const QModelIndex &parent) const
{
    if (!m_journal || !m_journal->isOpen())
        return false;
    if (!parent.isValid())
        return !m_complete;
    if (parent.internalId() != 0 || parent.row() >= int(m_bags.size()))
        return false;
    return !m_bags[size_t(parent.row())].complete;
}

void JournalModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    const JournalReader reader(*m_journal);
    if (!parent.isValid()) {
        const qint64 before = m_bags.empty() ? 0 : m_bags.back().line.latest.seq;
        const QVector<BagLine> lines = reader.latestBags(m_exceptionsOnly, before, m_bagPage);
        if (lines.size() < m_bagPage)
            m_complete = true;
        if (lines.isEmpty())
            return;
        beginInsertRows(QModelIndex(), int(m_bags.size()), int(m_bags.size()) + lines.size() - 1);
        for (const BagLine &line : lines)
            m_bags.push_back(Bag{line, {}, false});
        endInsertRows();
        return;
    }
    Bag &bag = m_bags[size_t(parent.row())];
    const qint64 after = bag.rows.empty() ? 0 : bag.rows.back().seq;
    const QVector<JournalRow> rows = reader.bagRows(bag.line.latest.barcode, after, m_rowPage);
    if (rows.size() < m_rowPage)
        bag.complete = true;
    if (rows.isEmpty())
        return;
    beginInsertRows(parent.sibling(parent.row(), 0), int(bag.rows.size()), int(bag.rows.size()) + rows.size() - 1);
    bag.rows.insert(bag.rows.end(), rows.begin(), rows.end());
    endInsertRows();
}

QVariant JournalModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    if (index.internalId() == 0) {
        if (index.row() >= int(m_bags.size()))
            return QVariant();
        return bagData(m_bags[size_t(index.row())], index.column(), role);
    }
    const size_t bag = size_t(index.internalId() - 1);
    if (bag >= m_bags.size() || index.row() >= int(m_bags[bag].rows.size()))
        return QVariant();
    return rowData(m_bags[bag].rows[size_t(index.row())], index.column(), role);
}

QVariant JournalModel::bagData(const Bag &bag, int column, int role) const
{
    const BagLine &line = bag.line;
    const BagState state = line.state();
    if (role == BagStateRole)
        return int(state);
    if (role == BarcodeRole)
        return line.latest.barcode;
    if (role == Qt::ForegroundRole && column == ColumnState)
        return stateColour(state);
    if (role == Qt::FontRole && column == ColumnState && isException(state)) {
        QFont font;
        font.setBold(true);
        return font;
    }
    if (role == Qt::ToolTipRole && column == ColumnState)
        return plainTip(QStringLiteral("%1: %2").arg(eventLabel(line.latest.event), oneLine(line.latest.outcome)));
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (column) {
    case ColumnBag:
        return line.latest.barcode.isEmpty() ? QStringLiteral("(no bag scanned)") : oneLine(line.latest.barcode);
    case ColumnState:
        return bagStateText(state);
    case ColumnTime:
        return localTime(line.latest.timeMs);
    case ColumnSubject:
        return oneLine(line.subject);
    case ColumnSchool:
        return oneLine(line.school);
    case ColumnLock:
        return oneLine(lockText(line.lockId, line.lockRf));
    case ColumnOperator:
        return oneLine(line.latest.user);
    case ColumnKey:
        return oneLine(keyText(line.latest));
    case ColumnRow:
        return line.latest.seq;
    default:
        return QVariant();
    }
}

QVariant JournalModel::rowData(const JournalRow &row, int column, int role) const
{
    if (role == Qt::ToolTipRole && column == ColumnState && !row.outcome.isEmpty())
        return plainTip(oneLine(row.outcome));
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (column) {
    case ColumnBag:
        return eventLabel(row.event);
    case ColumnState:
        return oneLine(row.outcome);
    case ColumnTime:
        return localTime(row.timeMs);
    case ColumnSubject:
        return oneLine(row.subject);
    case ColumnSchool:
        return oneLine(row.school);
    case ColumnLock:
        return oneLine(lockText(row.lockId, row.lockRf));
    case ColumnOperator:
        return oneLine(row.user);
    case ColumnKey:
        return oneLine(keyText(row));
    case ColumnRow:
        return row.seq;
    default:
        return QVariant();
    }
}

QVariant JournalModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case ColumnBag:
        return QStringLiteral("Bag / event");
    case ColumnState:
        return QStringLiteral("State / outcome");
    case ColumnTime:
        return QStringLiteral("Time");
    case ColumnSubject:
        return QStringLiteral("Subject");
    case ColumnSchool:
        return QStringLiteral("School");
    case ColumnLock:
        return QStringLiteral("Lock");
    case ColumnOperator:
        return QStringLiteral("Operator");
    case ColumnKey:
        return QStringLiteral("Key");
    case ColumnRow:
        return QStringLiteral("Row");
    default:
        return QVariant();
    }
}
