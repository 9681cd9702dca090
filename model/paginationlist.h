#pragma once

#include <QList>
#include <QObject>

#include <memory>
#include <vector>

// Takes over a list of records together with the records it points to.
template <typename T>
std::vector<std::unique_ptr<T>> takeRecords(std::unique_ptr<QList<T *>> list)
{
    std::vector<std::unique_ptr<T>> records;
    if (list) {
        records.reserve(static_cast<std::size_t>(list->size()));
        for (T *record : *list)
            records.emplace_back(record);
        list->clear();
    }
    return records;
}

// Paging fields of a listed reply ("count", "offset", "limit").
class BasePaginationList : public QObject
{
    Q_OBJECT

public:
    explicit BasePaginationList(QObject *parent = nullptr);
    ~BasePaginationList() override;

    int count() const { return m_count; }
    void setCount(int count) { m_count = count; }
    int offset() const { return m_offset; }
    void setOffset(int offset) { m_offset = offset; }
    int limit() const { return m_limit; }
    void setLimit(int limit) { m_limit = limit; }

private:
    int m_count = 0;
    int m_offset = 0;
    int m_limit = 0;
};

// One page of records. The list owns neither its items list nor the records:
// the consumer frees them, most easily through takeItems().
template <typename T>
class PaginationList : public BasePaginationList
{
public:
    explicit PaginationList(QObject *parent = nullptr) : BasePaginationList(parent) {}

    QList<T *> *items() const { return m_items; }
    void setItems(QList<T *> *items) { m_items = items; }

    // Hands the records over and frees the items list.
    std::vector<std::unique_ptr<T>> takeItems()
    {
        std::unique_ptr<QList<T *>> list(m_items);
        m_items = nullptr;
        return takeRecords(std::move(list));
    }

private:
    QList<T *> *m_items = nullptr;
};
