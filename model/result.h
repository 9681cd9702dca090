#pragma once

#include <QObject>
#include <QString>

#include <memory>

// The reply envelope: "rc", "rm", "sfc" and the payload read from "result".
// The payload's type depends on the parser that made the Result; destroying the
// Result never destroys the payload, so whoever reads data() takes it over.
class Result : public QObject
{
    Q_OBJECT

public:
    explicit Result(QObject *parent = nullptr);
    ~Result() override;

    int code() const { return m_code; }
    void setCode(int code) { m_code = code; }
    QString message() const { return m_message; }
    void setMessage(const QString &message) { m_message = message; }
    void *data() const { return m_data; }
    void setData(void *data) { m_data = data; }
    QString sfc() const { return m_sfc; }
    void setSfc(const QString &sfc) { m_sfc = sfc; }

    // Hands the payload over as T, the type that the parser stored, and clears data().
    template <typename T>
    std::unique_ptr<T> takeData()
    {
        std::unique_ptr<T> payload(static_cast<T *>(m_data));
        m_data = nullptr;
        return payload;
    }

private:
    int m_code = 0;
    QString m_message;
    void *m_data = nullptr;
    QString m_sfc;
};
