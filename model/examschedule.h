#pragma once

#include <QObject>
#include <QString>

// One exam subject at one exam centre, with the exam's times in Unix seconds (-1: none sent).
class ExamSchedule : public QObject
{
    Q_OBJECT

public:
    explicit ExamSchedule(QObject *parent = nullptr);
    ~ExamSchedule() override;

    int examSchedId() const { return m_examSchedId; }
    void setExamSchedId(int id) { m_examSchedId = id; }
    QString pointId() const { return m_pointId; }
    void setPointId(const QString &id) { m_pointId = id; }
    QString tableId() const { return m_tableId; }
    void setTableId(const QString &id) { m_tableId = id; }
    QString state() const { return m_state; }
    void setState(const QString &state) { m_state = state; }
    QString subjectAbbreviation() const { return m_subjectAbbreviation; }
    void setSubjectAbbreviation(const QString &text) { m_subjectAbbreviation = text; }
    QString subjectName() const { return m_subjectName; }
    void setSubjectName(const QString &text) { m_subjectName = text; }
    QString centerAbbreviation() const { return m_centerAbbreviation; }
    void setCenterAbbreviation(const QString &text) { m_centerAbbreviation = text; }
    QString centerName() const { return m_centerName; }
    void setCenterName(const QString &text) { m_centerName = text; }
    int start() const { return m_start; }
    void setStart(int seconds) { m_start = seconds; }
    int end() const { return m_end; }
    void setEnd(int seconds) { m_end = seconds; }

private:
    int m_examSchedId = -1;
    QString m_pointId;
    QString m_tableId;
    QString m_state;
    QString m_subjectAbbreviation;
    QString m_subjectName;
    QString m_centerAbbreviation;
    QString m_centerName;
    int m_start = -1;
    int m_end = -1;
};
