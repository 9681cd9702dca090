#include "key/usbdevice.h"

// Handlers run under the lock, so that clearing one waits for a call in progress and the transport can
// go away safely afterwards.

void UsbDevice::setArrivalHandler(ArrivalHandler handler)
{
    std::lock_guard<std::mutex> lock(m_handlerMutex);
    m_arrival = std::move(handler);
}

void UsbDevice::setNoticeHandler(NoticeHandler handler)
{
    std::lock_guard<std::mutex> lock(m_handlerMutex);
    m_notice = std::move(handler);
}

void UsbDevice::reportArrival()
{
    std::lock_guard<std::mutex> lock(m_handlerMutex);
    if (m_arrival)
        m_arrival();
}

void UsbDevice::reportNotice(Notice notice, const std::string &text)
{
    std::lock_guard<std::mutex> lock(m_handlerMutex);
    if (m_notice)
        m_notice(notice, text);
}
