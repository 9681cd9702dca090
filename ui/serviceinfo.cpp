#include "ui/serviceinfo.h"

ServiceInfo::ServiceInfo(QObject *parent) : QObject(parent) {}

void ServiceInfo::setHost(const QString &host)
{
    m_host = host;
    revalidate();
}

void ServiceInfo::setPort(uint port)
{
    m_port = port;
    revalidate();
}

void ServiceInfo::clear()
{
    m_host.clear();
    m_port = 0;
    m_valid = false;
}

void ServiceInfo::hostReceived(QString address)
{
    setHost(address);
}

void ServiceInfo::portReceived(uint port)
{
    setPort(port);
}
