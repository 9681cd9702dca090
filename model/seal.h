#pragma once

#include <QObject>
#include <QString>

// A bag sealed for a subject at a centre, with the lock (apId) and its RF tag number.
class Seal : public QObject
{
    Q_OBJECT

public:
    explicit Seal(QObject *parent = nullptr);
    ~Seal() override;

    QString tableId() const { return m_tableId; }
    void setTableId(const QString &id) { m_tableId = id; }
    QString pointId() const { return m_pointId; }
    void setPointId(const QString &id) { m_pointId = id; }
    QString apId() const { return m_apId; }
    void setApId(const QString &id) { m_apId = id; }
    int examSchedId() const { return m_examSchedId; }
    void setExamSchedId(int id) { m_examSchedId = id; }
    quint64 apRfId() const { return m_apRfId; }
    void setApRfId(quint64 id) { m_apRfId = id; }

private:
    QString m_tableId;
    QString m_pointId;
    QString m_apId;
    int m_examSchedId = 0;
    quint64 m_apRfId = 0;
};
