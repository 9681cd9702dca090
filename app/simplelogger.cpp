#include "app/simplelogger.h"

#include "app/trace.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <algorithm>
#include <cstdlib>
#include <cstring>

SimpleLogger::SimpleLogger(QObject *parent) : QObject(parent) {}

SimpleLogger::~SimpleLogger() = default;

SimpleLogger *SimpleLogger::instance()
{
    // Never destroyed: messages may arrive from any thread until the process ends.
    static SimpleLogger *const logger = new SimpleLogger();
    return logger;
}

void SimpleLogger::messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    instance()->handleMessage(type, context, text);
}

void SimpleLogger::setup(const QString &directory, const QString &fileName, bool enabled, int sizeLimit, int count)
{
    if (!enabled) {
        traceOut("Logging disabled\n");
        return;
    }
    {
        QMutexLocker lock(&m_mutex);
        m_sizeLimit = sizeLimit;
        m_count = count;
        m_directory = directory;
        m_fileName = fileName;
        m_file = std::make_unique<QFile>(m_directory + QLatin1Char('/') + m_fileName);
        m_closed = false;
        traceOut("Logging enabled to log file: %s\n", m_file->fileName().toLocal8Bit().constData());
    }
    qInstallMessageHandler(&SimpleLogger::messageHandler);
}

QString SimpleLogger::filePath() const
{
    QMutexLocker lock(&m_mutex);
    return m_file ? m_file->fileName() : QString();
}

namespace {
const char *prefixOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "Debug:";
    case QtWarningMsg:
        return "Warning:";
    case QtCriticalMsg:
        return "Critical:";
    case QtFatalMsg:
        return "Fatal:";
    default:
        return nullptr; // information messages are not written
    }
}

bool breaksLine(char16_t c)
{
    return c < 0x20 || c == 0x7f || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Texts from the key and the service reach the log: control characters are written visibly, so
// that a message stays on its one line and cannot forge lines of its own.
QString oneLine(const QString &text)
{
    const auto first = std::find_if(text.cbegin(), text.cend(), [](QChar c) { return breaksLine(c.unicode()); });
    if (first == text.cend())
        return text;
    QString line(text.cbegin(), int(first - text.cbegin()));
    for (auto it = first; it != text.cend(); ++it) {
        const char16_t c = it->unicode();
        if (!breaksLine(c))
            line += *it;
        else if (c == '\r')
            line += QLatin1String("\\r");
        else if (c == '\n')
            line += QLatin1String("\\n");
        else if (c == '\t')
            line += QLatin1String("\\t");
        else if (c < 0x100)
            line += QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'));
        else
            line += QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0'));
    }
    return line;
}
} // namespace

void SimpleLogger::handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const char *prefix = prefixOf(type);
    // Built before the lock: the other thread's messages need not wait for it.
    QByteArray line;
    if (prefix) {
        const QByteArray message = oneLine(text).toLocal8Bit();
        const char *file = context.file ? context.file : "";
        const char *function = context.function ? context.function : "";
        line.reserve(int(std::strlen(prefix) + std::strlen(file) + std::strlen(function)) + message.size() + 16);
        line += prefix;
        line += message;
        line += " (";
        line += file;
        line += ':';
        line += QByteArray::number(context.line);
        line += ") ";
        line += function;
        line += '\n';
    }

    QMutexLocker lock(&m_mutex);
    if (m_closed || !m_file) {
        if (type == QtFatalMsg)
            std::abort();
        return;
    }

    if (!m_file->isOpen())
        m_file->open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text);

    if (prefix && m_file->isOpen()) {
        m_file->write(line);
        m_file->flush();
    }

    if (type == QtFatalMsg)
        std::abort();

    rotateIfNeeded();
}

void SimpleLogger::rotateIfNeeded()
{
    // An appending file's position is its size: no file-system look-up for every line.
    const qint64 size = m_file->isOpen() ? m_file->pos() : QFileInfo(m_file->fileName()).size();
    if (size <= m_sizeLimit)
        return;

    const QString currentPath = m_file->fileName();
    QString rotatedName = m_fileName;
    rotatedName.replace(QLatin1String(".log"), QLatin1String(".log") + QString::number(m_rotationIndex));
    m_rotationIndex = (m_rotationIndex + 1 > m_count) ? 0 : m_rotationIndex + 1;
    const QString newPath = m_directory + QLatin1Char('/') + rotatedName;
    traceOut("Moving file %s to %s", currentPath.toLocal8Bit().constData(), newPath.toLocal8Bit().constData());

    m_file->close();
    // A rotated file left from an earlier cycle or run is replaced, so rotation goes on.
    if (QFile::exists(newPath))
        QFile::remove(newPath);
    m_file->rename(newPath);
    // Whether or not the rename worked, the next message reopens the log's own name.
    m_file->setFileName(currentPath);
}

void SimpleLogger::close()
{
    QMutexLocker lock(&m_mutex);
    if (m_file)
        m_file->close();
    m_file.reset();
    m_closed = true;
}
