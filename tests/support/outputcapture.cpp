#include "support/outputcapture.h"

#include <cstdio>
#include <unistd.h>

namespace {
QStringList capturedMessages;

void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    capturedMessages.append(text);
}
} // namespace

OutputCapture::OutputCapture()
{
    capturedMessages.clear();
    m_previousHandler = qInstallMessageHandler(collect);
    std::fflush(stdout);
    if (m_file.open()) {
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(m_file.handle(), STDOUT_FILENO);
    }
}

OutputCapture::~OutputCapture()
{
    finish();
    qInstallMessageHandler(m_previousHandler);
}

QByteArray OutputCapture::finish()
{
    if (m_saved < 0)
        return m_text;
    std::fflush(stdout);
    ::dup2(m_saved, STDOUT_FILENO);
    ::close(m_saved);
    m_saved = -1;
    m_file.seek(0);
    m_text = m_file.readAll();
    return m_text;
}

QStringList OutputCapture::messages() const
{
    return capturedMessages;
}
