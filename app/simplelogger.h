#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QtGlobal>

#include <memory>

class QFile;

// The debug log: every debug, warning, critical and fatal message of the process
// becomes one line in "sealstation.log", which is rotated when it grows too big.
class SimpleLogger : public QObject
{
    Q_OBJECT

public:
    // Tests build their own logger; the program uses instance().
    explicit SimpleLogger(QObject *parent = nullptr);
    ~SimpleLogger() override;

    static SimpleLogger *instance();
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    void setup(const QString &directory, const QString &fileName, bool enabled, int sizeLimit, int count);
    void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &text);
    void close();

    QString filePath() const;

private:
    void rotateIfNeeded();

    // Held for the whole of handleMessage: the GUI thread and the USB thread both
    // log, and a line and the rotation check after it must not interleave.
    mutable QMutex m_mutex;
    std::unique_ptr<QFile> m_file;
    QString m_directory;
    QString m_fileName;
    int m_rotationIndex = 0;
    int m_count = 0;
    int m_sizeLimit = 0;
    // Set by close(): later messages must not touch the released file.
    bool m_closed = false;
};
