#pragma once

#include "key/keystatus.h"
#include "ui/stationevent.h"

#include <QPointer>
#include <QScopedPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

class Configuration;
class ExamSchedule;
class JSON;
class Lock;
class cLinker;

namespace Ui {
class SealWidget;
}

// The packing page: scan a bag, read its lock's tag, record the seal and close the lock.
// One seal or unlock runs through one Phase; the table of its transitions heads sealwidget.cpp.
class SealWidget : public QWidget
{
    Q_OBJECT

public:
    enum Operation
    {
        OperationNone,
        OperationSeal,
        OperationOpen
    };
    Q_ENUM(Operation)

    enum class Phase
    {
        Idle,             // nothing under way; a linked bag may be shown
        Linking,          // the link of a scanned code waits for the service
        WaitingForTag,    // Pack asked the key for the lock's tag; the tag timer runs
        Recording,        // a tag was read: lock lookup, earlier seals and the seal record
        RecordingKeyLost, // as Recording, but the key went away meanwhile: the close is not sent
        Closing,          // the close request went out; the key's display text answers it
        Opening           // the open request went out; the key's display text answers it
    };
    Q_ENUM(Phase)

    // How enterPhase leaves the result field.
    enum class Look
    {
        Keep,
        Clear,
        Success,
        Failure,
        Warning
    };

    // `linker` and `config` default to the process-wide instances.
    explicit SealWidget(QWidget *parent = nullptr, cLinker *linker = nullptr, Configuration *config = nullptr);
    ~SealWidget() override;

    Phase phase() const { return m_phase; }
    Operation operation() const;
    int tagRetries() const { return m_tagRetries; }
    // From a tag read until its seal is recorded and the close request sent, or refused: the span in
    // which ending the session or the program would leave the service and the lock disagreeing.
    bool isRecording() const { return m_phase == Phase::Recording || m_phase == Phase::RecordingKeyLost; }
    // A seal being recorded, or a close or open that the key has not answered yet.
    bool isKeyOperationPending() const
    {
        return isRecording() || m_phase == Phase::Closing || m_phase == Phase::Opening;
    }
    // The program ends now, past its wait for the seal: a seal being recorded sends nothing more (what
    // went out is in the journal already), so that an answer given as the windows close changes nothing.
    void endProgram();
    // The product waits 10 s between tag reads; tests may shorten it.
    void setTagTimerInterval(int milliseconds) { m_tagTimer.setInterval(milliseconds); }

protected:
    // The page holds the focus during a seal but draws nothing for it: no repaint of every label.
    void focusInEvent(QFocusEvent *) override {}
    void focusOutEvent(QFocusEvent *) override {}

signals:
    void logout();
    void linkSuccessful(ExamSchedule *details);
    void linkFailed(QString scanCode);
    void statusMessage(QString message);
    void phaseChanged(SealWidget::Phase phase);
    // What happened to a bag, before the next request for it goes out (direct connections only).
    void stationEvent(const StationEvent &event);

public slots:
    void serviceCreated(JSON *service);
    void serviceDeleted();
    void logoutRequested();
    void sealSubject();
    void openSeal();
    void unlockSeal();
    void linkRequested();
    void linkSuccessful_Handler(ExamSchedule *details);
    void linkFailed_Handler(QString scanCode);
    void tagReadSuccess(QString tag);
    void tagReadFailed();
    void setBtnEnabled(bool val);
    void updateLabel(uint Type, QString str);
    void updateStatus(QString status);
    void keyTransferStatus(KeyStatus::eTransferStatus status);
    void keyOperationStatus(KeyOperation::eOperationStatus status);
    void keyCurrentStatus(eKeyCurrentStatus status);
    void configUpdatedBoolean(QString key, bool value);
    void focusBarcode();
    void checkState();

private:
    void enterPhase(Phase next, Look look = Look::Keep);
    // Back to Idle after a failure: the message (if any) in the status bar, the failure look.
    void fail(StationEvent::Kind kind, const QString &message, const QString &outcome = QString());
    void updateButtons();
    // Whether Pack or Unlock (`what`) may give the key a new operation now: in Idle and Opening, and in
    // Closing once the key is ready again (the close then stays unconfirmed). Logs a refusal.
    bool keyFreeFor(const char *what);
    // Closing, the key ready again without having confirmed the close: the seal stays unconfirmed.
    void leaveUnconfirmedClose();
    bool recordSeal(const Lock &lock, const QPointer<JSON> &session);
    void keyConnectionChanged(bool connected);
    void report(StationEvent::Kind kind, const QString &outcome = QString());
    // Logs that `what` has no meaning in the current phase.
    void ignored(const char *what, const QString &detail = QString()) const;
    // True while the seal that `session` began can go on: the page and its session are still there.
    bool stillRecording(const QPointer<SealWidget> &self, const QPointer<JSON> &session) const;

    const QScopedPointer<Ui::SealWidget> m_ui;
    cLinker *const m_linker;
    Configuration *const m_config;
    QPointer<JSON> m_service;
    std::unique_ptr<ExamSchedule> m_details;
    Phase m_phase = Phase::Idle;
    // The bag and lock of the seal or unlock under way, as the journal hears of them. A close or an
    // open outlives a logout, which clears `m_details`.
    StationEvent m_current;
    // Not phases: whether the key is plugged in, whether the key engine lets the buttons work (false
    // from a close request or a relay opening until the key reports ready), and a setting.
    bool m_keyPresent = false;
    bool m_keyReady = true;
    bool m_autoSeal = false;
    int m_tagRetries = 0;
    QTimer m_tagTimer;
    // The button that had the focus when the buttons were disabled; it gets it back with them.
    QPointer<QWidget> m_focusReturn;
};
