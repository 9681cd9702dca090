#pragma once

#include <QByteArray>
#include <QStringList>
#include <QTemporaryFile>

// Collects, while it lives, what the process writes to standard output and the
// debug-channel messages (which would otherwise land on standard output too).
class OutputCapture
{
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // Restores standard output and returns what was written; later calls return the same.
    QByteArray finish();
    QStringList messages() const;

private:
    QTemporaryFile m_file;
    int m_saved = -1;
    QByteArray m_text;
    QtMessageHandler m_previousHandler = nullptr;
};
