#pragma once

#include "key/keystatus.h"
#include "ui/serviceinfo.h"
#include "ui/stationevent.h"

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QScopedPointer>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class Configuration;
class JSON;
class Journal;
class JournalView;
class LoginWidget;
class QAction;
class QLabel;
class QProgressBar;
class QSessionManager;
class QToolButton;
class SealWidget;
class cLinker;

namespace Ui {
class PackingWindow;
}

// The application's only top-level window: login and packing pages, menus and
// a status bar with the key's state.
class PackingWindow : public QMainWindow
{
    Q_OBJECT

public:
    enum class Mode
    {
        Login,
        Packing
    };

    // `linker` and `config` default to the process-wide instances.
    explicit PackingWindow(QWidget *parent = nullptr, cLinker *linker = nullptr, Configuration *config = nullptr);
    ~PackingWindow() override;

    Mode currentMode() const;
    JSON *service() const { return m_service.get(); }
    LoginWidget *loginWidget() const { return m_loginWidget; }
    SealWidget *sealWidget() const { return m_sealWidget; }

    // The station's journal, not owned; none by default. The window tells the operator what it
    // reports and passes every station event to it.
    void setJournal(Journal *journal);
    // Records the sign-out of an operator still signed in when the program ends.
    void endJournalSession();

signals:
    void serviceCreated(JSON *service);
    void serviceDeleted();
    void keyTransferStatus(KeyStatus::eTransferStatus status);
    void keyOperationStatus(KeyOperation::eOperationStatus status);
    void keyCurrentStatus(eKeyCurrentStatus status);
    // What happened at the station, with the operator and the key filled in (direct connections).
    void stationEvent(const StationEvent &event);

public slots:
    void keyConnectionChange(bool connected);
    void loginSuccessful(QString token);
    void loginFailed();
    void requestServiceDetails();
    void logoutRequested();
    void serviceAddressReceived(QString address);
    void servicePortReceived(uint port);
    void keyBusy(uint8_t progress);
    void keyStatusChange(QString status);
    void statusMessage(QString message);
    void showAbout();
    void showSettings();
    void exitApplication();
    // The system or the session asks the program to end (SIGTERM, a desktop logout): a seal under
    // way, or a close or open the key has not answered, finishes first, up to the service's time
    // limit; then the program quits.
    void endRequested();
#ifndef QT_NO_SESSIONMANAGER
    // The session manager's last word before it ends the program: waits as endRequested does.
    void commitData(QSessionManager &manager);
#endif
    void showJournal();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // How far the program is from ending.
    enum class Ending
    {
        No,
        WaitingForKey, // quits once the page has no seal, close or open under way
        Now            // the window's close is accepted from here on
    };

    // The guard of every way out: true, with the status message, while a seal is being recorded.
    bool refusedWhileRecording(const QString &message);
    // Quits now, or once the key has answered the close or open in flight.
    void endWhenKeyDone();
    void sealPhaseChanged();
    void endNow();
    int endWaitLimitMs() const;
    void setMode(Mode mode);
    void showKeyDisconnected();
    void showKeyImage(const QImage &image);
    void updateService();
    void applyStoredProxy();
    // A session whose call still waits on the stack is kept until that call returns.
    void retireService(std::unique_ptr<JSON> session);
    void deleteIdleRetiredSessions();
    void setUpJournal();
    void forwardStationEvent(const StationEvent &event);
    void recordSignIn();
    void recordSignOut();
    void showJournalNotices();

    const QScopedPointer<Ui::PackingWindow> m_ui;
    cLinker *const m_linker;
    Configuration *const m_config;
    std::unique_ptr<JSON> m_service;
    std::vector<std::unique_ptr<JSON>> m_retiredServices;
    ServiceInfo m_serviceInfo;
    bool m_keyConnected = false;
    LoginWidget *m_loginWidget = nullptr;
    SealWidget *m_sealWidget = nullptr;
    QProgressBar *m_keyProgress = nullptr;
    QToolButton *m_btnLogout = nullptr;
    QLabel *m_lblKeyState = nullptr;
    QImage m_keyConnectedImage;
    QImage m_keyDisconnectedImage;
    Ending m_ending = Ending::No;
    QTimer m_endDeadline;
    QPointer<Journal> m_journal;
    QPointer<JournalView> m_journalView;
    QAction *m_actionJournal = nullptr;
    QToolButton *m_btnJournalNotice = nullptr;
    struct JournalNotice
    {
        QString brief; // for the status bar
        QString text;
    };
    // Told once: shown until the operator opens the journal.
    std::vector<JournalNotice> m_journalNotices;
    // The operator signed in, for the sign-out row once the session is gone; empty while nobody is.
    std::optional<QString> m_signedInUser;
};
