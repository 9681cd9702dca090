#pragma once

#include "journal/journalreader.h"

#include <QAbstractItemModel>
#include <QPointer>

#include <vector>

class Journal;

// The journal as a tree: one line per bag (its rows grouped by barcode), newest first, with the bag's
// latest state; the bag's rows, oldest first, under it. Lines and rows are read a page at a time as the
// view asks for them (canFetchMore / fetchMore), so a year of rows opens as fast as a day's.
class JournalModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Column
    {
        ColumnBag, // barcode, or the event under a bag
        ColumnState,
        ColumnTime,
        ColumnSubject,
        ColumnSchool,
        ColumnLock,
        ColumnOperator,
        ColumnKey,
        ColumnRow,
        ColumnCount
    };
    static constexpr int kDefaultBagPage = 100;
    static constexpr int kDefaultRowPage = 200;
    // The bag state of a bag line (an int of BagState), for filters and tests.
    static constexpr int BagStateRole = Qt::UserRole + 1;
    static constexpr int BarcodeRole = Qt::UserRole + 2;

    explicit JournalModel(Journal *journal, QObject *parent = nullptr);

    // Only bags that are not confirmed or failed.
    void setExceptionsOnly(bool exceptionsOnly);
    bool exceptionsOnly() const { return m_exceptionsOnly; }
    // Drops what was read and starts again from the newest bag.
    void reload();
    // Tests and benchmarks: smaller pages.
    void setPageSizes(int bags, int rows);

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

private:
    struct Bag
    {
        BagLine line;
        std::vector<JournalRow> rows;
        bool complete = false;
    };

    QVariant bagData(const Bag &bag, int column, int role) const;
    QVariant rowData(const JournalRow &row, int column, int role) const;

    QPointer<Journal> m_journal;
    std::vector<Bag> m_bags;
    bool m_complete = false;
    bool m_exceptionsOnly = false;
    int m_bagPage = kDefaultBagPage;
    int m_rowPage = kDefaultRowPage;
};
