#include "model/lock.h"

Lock::Lock(QObject *parent) : QObject(parent) {}

Lock::~Lock() = default;

void Lock::setState(const QString &text)
{
    if (text.isEmpty())
        m_state = LockState::None;
    else if (text == QLatin1String("OPEN"))
        m_state = LockState::Open;
    else if (text == QLatin1String("CLOSED"))
        m_state = LockState::Closed;
    else
        m_state = LockState::Other;
}

void Lock::setCommissionState(const QString &text)
{
    if (text.isEmpty())
        m_commissionState = CommissionState::None;
    else if (text == QLatin1String("COMMISSIONED"))
        m_commissionState = CommissionState::Commissioned;
    else if (text == QLatin1String("UNCOMMISSIONED"))
        m_commissionState = CommissionState::Uncommissioned;
    else
        m_commissionState = CommissionState::Other;
}
