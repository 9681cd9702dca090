#pragma once

#include "model/examschedule.h"
#include "model/lock.h"
#include "model/seal.h"

#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QString>

#include <memory>

class QNetworkAccessManager;

// Success flag and message text of a login.
using LoginOutcome = QPair<bool, QString>;

// The session with the web service. Every operation waits for its reply in a local
// event loop, so other slots run meanwhile: busy() counts the calls on the stack,
// and an owner must not delete the session while it is above zero.
class JSON : public QObject
{
    Q_OBJECT

public:
    explicit JSON(const QString &host, const QString &port, QObject *parent = nullptr);
    ~JSON() override;

    QString host() const { return m_host; }
    QString port() const { return m_port; }
    QString baseUrl() const { return m_baseUrl; }
    QString userName() const { return m_userName; }
    QByteArray token() const { return m_token; }
    QNetworkAccessManager *manager() const { return m_manager; }

    // Calls waiting for a reply, nested calls included.
    int busy() const { return m_busy; }
    // Shorter waits are for tests; the product waits RixRequestHandler::ReplyTimeoutMs.
    void setReplyTimeout(int milliseconds);
    int replyTimeout() const { return m_replyTimeoutMs; }

    LoginOutcome login(const QString &userName, const QString &password);

    // Records returned belong to the caller.
    std::unique_ptr<Lock> findLockByRf(const QString &rfId);
    bool validateLock(const QString &lockId, const QString &description);
    std::unique_ptr<ExamSchedule> linkSubjectToCenter(const QString &scanCode);
    bool assignSubjectToCenter(const QString &pointId, const QString &tableId);
    bool deassignSubjectToCenter(const QString &pointId, const QString &tableId);
    bool reassignSubjectToCenter(const QString &pointId, const QString &tableId);
    bool hasOtherSeals(const QString &pointId, const QString &tableId, const QString &apId);
    void renameOtherLocks(const QString &pointId, const QString &tableId, const QString &apId);
    // `answered`, when given, tells a refusal (the service answered) from a reply that never came, after
    // which the service may hold the seal.
    std::unique_ptr<Seal> sealTimetable(const QString &pointId, const QString &tableId, const QString &apId,
                                        bool *answered = nullptr);

    // At most the first four characters of a secret, for debug messages.
    static QString masked(const QByteArray &secret);

signals:
    // Emitted as a call starts and as it ends; calls is the new busy() count.
    void busyChanged(int calls);

private:
    class Call;

    bool assignment(const char *path, const QString &pointId, const QString &tableId);
    QString existingSealsUrl(const QString &pointId, const QString &tableId) const;

    QString m_host;
    QString m_port;
    QString m_baseUrl;
    QString m_userName;
    QString m_password;
    QByteArray m_token;
    QNetworkAccessManager *m_manager = nullptr;
    int m_busy = 0;
    int m_replyTimeoutMs;
};
