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

    // `linker` and `config` default to the process-wide instances.
    explicit SealWidget(QWidget *parent = nullptr, cLinker *linker = nullptr, Configuration *config = nullptr);
    ~SealWidget() override;

    Operation operation() const { return m_operation; }
    bool isWaitingForTag() const { return m_waitingForTag; }
    int tagRetries() const { return m_tagRetries; }
    // True from a tag read until its seal is recorded or refused.
    bool isRecording() const { return m_recording; }
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
    bool recordSeal(const Lock &lock, const QPointer<JSON> &session);
    void keyConnectionChanged(bool connected);
    void keyLost();
    void giveUpTagRead();
    void failOperation(const QString &message);
    void showSuccess();
    void showFailure();
    void setButtonsEnabled(bool enabled);
    // Stops waiting for a tag and returns the page to idle.
    void endOperation();
    // True when a logout during the last wait took `session` away; the operation then ends quietly.
    bool sessionLost(const QPointer<JSON> &session) const;

    const QScopedPointer<Ui::SealWidget> m_ui;
    cLinker *const m_linker;
    Configuration *const m_config;
    QPointer<JSON> m_service;
    std::unique_ptr<ExamSchedule> m_details;
    bool m_waitingForTag = false;
    // True while a link call waits, so that a second scan is refused instead of nested.
    bool m_linking = false;
    // True from a tag read until its seal is recorded, across the service calls' waits.
    bool m_recording = false;
    // True from the close request until the key's label answers it, the key is lost or a new
    // operation starts: further tag reports then belong to the bag already sealed.
    bool m_closing = false;
    bool m_keyPresent = false;
    // Counts the key's losses, so that a seal record can tell whether the key went away meanwhile.
    int m_keyLosses = 0;
    Operation m_operation = OperationNone;
    bool m_autoSeal = false;
    int m_tagRetries = 0;
    QTimer m_tagTimer;
    // The button that had the focus when the buttons were disabled; it gets it back with them.
    QPointer<QWidget> m_focusReturn;
};
