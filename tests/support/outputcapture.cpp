#include "support/outputcapture.h"

#include <QTest>

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
    // QtTest writes a failure to standard output as well: a failure inside the capture must still show.
    if (QTest::currentTestFailed()) {
        std::fwrite(m_text.constData(), 1, static_cast<size_t>(m_text.size()), stdout);
        std::fflush(stdout);
    }
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
