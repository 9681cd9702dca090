#include "app/simplelogger.h"

#include "app/trace.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <cstdlib>

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

void SimpleLogger::handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QMutexLocker lock(&m_mutex);
    if (m_closed || !m_file) {
        if (type == QtFatalMsg)
            std::abort();
        return;
    }

    if (!m_file->isOpen())
        m_file->open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text);

    const char *prefix = nullptr;
    switch (type) {
    case QtDebugMsg:
        prefix = "Debug:";
        break;
    case QtWarningMsg:
        prefix = "Warning:";
        break;
    case QtCriticalMsg:
        prefix = "Critical:";
        break;
    case QtFatalMsg:
        prefix = "Fatal:";
        break;
    default:
        break; // information messages are not written
    }

    if (prefix && m_file->isOpen()) {
        QByteArray line(prefix);
        line += text.toLocal8Bit();
        line += " (";
        line += context.file ? context.file : "";
        line += ':';
        line += QByteArray::number(context.line);
        line += ") ";
        line += context.function ? context.function : "";
        line += '\n';
        m_file->write(line);
        m_file->flush();
    }

    if (type == QtFatalMsg)
        std::abort();

    rotateIfNeeded();
}

void SimpleLogger::rotateIfNeeded()
{
    const QString currentPath = m_file->fileName();
    if (QFileInfo(currentPath).size() <= m_sizeLimit)
        return;

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
