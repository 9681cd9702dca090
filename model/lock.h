#pragma once

#include <QObject>
#include <QString>

enum class LockState : qint32
{
    None = 0,
    Open = 1,
    Closed = 2,
    Other = 3
};

enum class CommissionState : qint32
{
    None = 0,
    Commissioned = 1,
    Uncommissioned = 2,
    Other = 3
};

// An electronic padlock as the service describes it.
class Lock : public QObject
{
    Q_OBJECT

public:
    explicit Lock(QObject *parent = nullptr);
    ~Lock() override;

    QString lockId() const { return m_lockId; }
    void setLockId(const QString &id) { m_lockId = id; }
    QString description() const { return m_description; }
    void setDescription(const QString &description) { m_description = description; }
    double longitude() const { return m_longitude; }
    void setLongitude(double longitude) { m_longitude = longitude; }
    double latitude() const { return m_latitude; }
    void setLatitude(double latitude) { m_latitude = latitude; }
    LockState state() const { return m_state; }
    void setState(LockState state) { m_state = state; }
    // "OPEN" and "CLOSED", compared exactly; empty gives None, any other text Other.
    void setState(const QString &text);
    CommissionState commissionState() const { return m_commissionState; }
    void setCommissionState(CommissionState state) { m_commissionState = state; }
    // "COMMISSIONED" and "UNCOMMISSIONED", compared exactly; empty gives None, any other text Other.
    void setCommissionState(const QString &text);

private:
    QString m_lockId;
    QString m_description;
    double m_longitude = 0.0;
    double m_latitude = 0.0;
    LockState m_state = LockState::None;
    CommissionState m_commissionState = CommissionState::None;
};
