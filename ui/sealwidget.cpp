#include "ui/sealwidget.h"

#include "app/configuration.h"
#include "key/clinker.h"
#include "model/examschedule.h"
#include "model/lock.h"
#include "model/seal.h"
#include "service/json.h"
#include "ui/cachedframestyle.h"
#include "ui_sealwidget.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QHash>
#include <QMessageBox>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QStyleFactory>

#include <iterator>

// One seal or unlock, phase by event. "→ X" enters phase X; "fail" returns to Idle with the failure
// look, the buttons back and the message in the status bar; "-" means the event cannot occur there.
// "Recording" stands for RecordingKeyLost too, which differs in one row: its record sends no close.
// Each slot below starts with the phases it acts in and logs the event it ignores elsewhere.
//
// clang-format off
//  event         | Idle           | Linking        | WaitingForTag  | Recording      | Closing        | Opening
//  --------------+----------------+----------------+----------------+----------------+----------------+---------------
//  scan (Enter)  | link → Linking | refuse: busy   | refuse: busy   | refuse: busy   | refuse: busy   | refuse: busy
//  link returns  | -              | → Idle, show   | -              | -              | -              | -
//  Pack, no bag  | warning        | warning        | ignore         | ignore         | key busy:      | warning
//  Pack, a bag   | scan → Waiting | -              | ignore         | ignore         |  ignore; ready:| scan → Waiting
//                |                |                |                |                |  unconfirmed,  |
//                |                |                |                |                |  as in Idle    |
//  Unlock        | open → Opening | ignore         | ignore         | ignore         | as Pack        | open again
//  tag timer     | -              | -              | scan again;    | -              | -              | -
//                |                |                | third: fail    |                |                |
//  tag read      | ignore         | ignore         | → Recording    | ignore         | ignore         | ignore
//  tag not read  | ignore         | ignore         | fail           | ignore         | ignore         | ignore
//  no lock/seal  | -              | -              | -              | fail           | -              | -
//  seal recorded | -              | -              | -              | close →        | -              | -
//                |                |                |                |  Closing;      |                |
//                |                |                |                |  KeyLost: fail |                |
//  "…locked"     | log            | log            | log            | log            | → Idle, success| log
//  "…unlocked"   | log            | log            | log            | log            | log            | → Idle, success
//  "Please wait" | clear look     | clear look     | clear look     | clear look     | clear look     | clear look
//  other text    | failure look   | failure look   | fail           | failure look   | fail (no msg)  | fail (no msg)
//  "Un-plug USB" | nothing        | nothing        | nothing        | nothing        | nothing        | nothing
//  key lost      | nothing        | nothing        | fail           | → KeyLost      | fail           | fail
//  key ready(b)  | buttons follow | buttons follow | (remembered)   | (remembered)   | buttons follow | buttons follow
//  logout        | clear bag      | → Idle         | → Idle         | refused        | clear bag      | clear bag
//  program ends  | -              | -              | -              | → Idle, failure| -              | -
// clang-format on
//
// Buttons work in Idle, Linking, Closing and Opening while the key engine lets them; entering
// Closing takes them from the key until it reports ready, so a closing lock keeps them until the key
// has finished. A key that finished without confirming the close (it showed "Un-plug USB first", say)
// leaves the seal unconfirmed: Pack or Unlock then start afresh, and the journal says so.
// A failure text from the key while closing or opening ends the phase without a status message,
// as the key's own display says what went wrong. When the program ends during a seal, past its wait
// for it, nothing more goes out: what did is in the journal.

namespace {

const char kSuccessStyle[] = "background-color: green; image:url(:/assets/operation_success.png);";
const char kFailureStyle[] = "background-color: red; image:url(:/assets/operation_failed.png);";
const char kWarningStyle[] = "background-color: qlineargradient( x1:0 y1:0, x2:1 y2:0, stop:0 yellow, stop:1 orange); "
                             "image:url(:/assets/operation_warn.png);";
const int kTagTimerMs = 10000;
const char kBusyMessage[] = "Already busy linking subject and school!";
const char kNotClosedMessage[] = "Key disconnected: the lock was not closed. Pack the bag again once the key is back.";

// -1 means the service sent no time; showing a 1969 date for it would mislead.
QString formatTime(int seconds)
{
    if (seconds == -1)
        return QString();
    return QDateTime::fromMSecsSinceEpoch(qint64(seconds) * 1000)
        .toLocalTime()
        .toString(QStringLiteral("dd/MM/yyyy hh:mm"));
}

bool wholeMatch(const QString &pattern, const QString &text)
{
    // Compiling costs far more than matching, and every key display text comes through here:
    // each of the few fixed patterns is compiled once (GUI thread only). The key separates
    // words with CR LF, and "." has to match those too.
    static QHash<QString, QRegularExpression> compiled;
    auto it = compiled.find(pattern);
    if (it == compiled.end())
        it = compiled.insert(pattern, QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                                                         QRegularExpression::DotMatchesEverythingOption));
    return it->match(text).hasMatch();
}

const char *phaseName(SealWidget::Phase phase)
{
    return QMetaEnum::fromType<SealWidget::Phase>().valueToKey(int(phase));
}

// The bag as the journal hears of it.
StationEvent bagOf(const QString &barcode, const ExamSchedule *details)
{
    StationEvent bag;
    bag.barcode = barcode;
    if (details) {
        bag.subject = details->subjectName();
        bag.school = details->centerName();
        bag.examSchedId = details->examSchedId();
    }
    return bag;
}

} // namespace

SealWidget::SealWidget(QWidget *parent, cLinker *linker, Configuration *config)
    : QWidget(parent), m_ui(new Ui::SealWidget), m_linker(linker ? linker : cLinker::get()),
      m_config(config ? config : Configuration::instance())
{
    m_ui->setupUi(this);
    m_tagTimer.setInterval(kTagTimerMs);
    // Other styles draw line-edit frames cheaply or animate them; only Fusion's are worth keeping.
    if (QApplication::style()->objectName() == QLatin1String("fusion")) {
        auto *barcodeStyle = new CachedFrameStyle(QStyleFactory::create(QStringLiteral("fusion")));
        barcodeStyle->setParent(m_ui->txtBarcode);
        m_ui->txtBarcode->setStyle(barcodeStyle);
    }

    connect(m_ui->txtBarcode, &QLineEdit::returnPressed, this, &SealWidget::linkRequested);
    connect(m_ui->btnPack, &QPushButton::clicked, this, &SealWidget::sealSubject);
    connect(m_ui->btnUnlock, &QPushButton::clicked, this, &SealWidget::openSeal);

    auto *packAction = new QAction(m_ui->btnPack);
    packAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    packAction->setShortcutContext(Qt::WindowShortcut);
    m_ui->btnPack->addAction(packAction);
    connect(packAction, &QAction::triggered, this, &SealWidget::sealSubject);

    auto *unlockAction = new QAction(m_ui->btnUnlock);
    unlockAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    unlockAction->setShortcutContext(Qt::WindowShortcut);
    m_ui->btnUnlock->addAction(unlockAction);
    connect(unlockAction, &QAction::triggered, this, &SealWidget::openSeal);

    connect(m_linker, &cLinker::tagReadSuccess, this, &SealWidget::tagReadSuccess);
    connect(m_linker, &cLinker::tagReadFailed, this, &SealWidget::tagReadFailed);
    connect(m_linker, &cLinker::setBtnEnabled, this, &SealWidget::setBtnEnabled);
    connect(m_linker, &cLinker::updateLabel, this, &SealWidget::updateLabel);
    connect(m_linker, &cLinker::updateStatus, this, &SealWidget::updateStatus);
    connect(m_linker, &cLinker::usbConnected, this, &SealWidget::keyConnectionChanged);
    connect(this, &SealWidget::linkSuccessful, this, &SealWidget::linkSuccessful_Handler);
    connect(this, &SealWidget::linkFailed, this, &SealWidget::linkFailed_Handler);
    m_autoSeal = m_config->get(Setting::AutoSeal);
    m_keyPresent = m_linker->isKeyReady();
    connect(m_config, &Configuration::updatedBoolean, this, &SealWidget::configUpdatedBoolean);
    connect(&m_tagTimer, &QTimer::timeout, this, &SealWidget::checkState);
}

SealWidget::~SealWidget() = default;

SealWidget::Operation SealWidget::operation() const
{
    switch (m_phase) {
    case Phase::Idle:
    case Phase::Linking:
        return OperationNone;
    case Phase::Opening:
        return OperationOpen;
    case Phase::WaitingForTag:
    case Phase::Recording:
    case Phase::RecordingKeyLost:
    case Phase::Closing:
        break;
    }
    return OperationSeal;
}

// The only place that starts and stops the tag timer, enables the buttons and sets the look.
void SealWidget::enterPhase(Phase next, Look look)
{
    if (next != m_phase) {
        qDebug().noquote()
            << QStringLiteral("Phase %1 -> %2").arg(QLatin1String(phaseName(m_phase)), QLatin1String(phaseName(next)));
        m_phase = next;
        m_tagRetries = 0;
        if (next == Phase::WaitingForTag)
            m_tagTimer.start();
        else
            m_tagTimer.stop();
        if (next == Phase::Closing)
            m_keyReady = false; // the key reports ready once it has finished the close
    }
    switch (look) {
    case Look::Keep:
        break;
    case Look::Clear:
        m_ui->lblOperationInfo->setStyleSheet(QString());
        break;
    case Look::Success:
        m_ui->lblOperationInfo->setStyleSheet(QString::fromLatin1(kSuccessStyle));
        break;
    case Look::Failure:
        m_ui->lblOperationInfo->setStyleSheet(QString::fromLatin1(kFailureStyle));
        break;
    case Look::Warning:
        m_ui->lblOperationInfo->setStyleSheet(QString::fromLatin1(kWarningStyle));
        break;
    }
    updateButtons();
    emit phaseChanged(m_phase);
}

void SealWidget::updateButtons()
{
    const bool pageAllows = m_phase != Phase::WaitingForTag && !isRecording();
    const bool enabled = pageAllows && m_keyReady;
    // A disabled button hands the focus on along the chain, which ends at Logout: a second Space
    // or Enter would then log the operator out in the middle of the seal. The page holds it instead.
    if (!enabled && (m_ui->btnPack->hasFocus() || m_ui->btnUnlock->hasFocus())) {
        m_focusReturn = m_ui->btnPack->hasFocus() ? m_ui->btnPack : m_ui->btnUnlock;
        setFocus(Qt::OtherFocusReason);
    }
    m_ui->btnPack->setEnabled(enabled);
    m_ui->btnUnlock->setEnabled(enabled);
    if (enabled && m_focusReturn && hasFocus())
        m_focusReturn->setFocus(Qt::OtherFocusReason);
    if (enabled)
        m_focusReturn.clear();
}

void SealWidget::fail(StationEvent::Kind kind, const QString &message, const QString &outcome)
{
    report(kind, outcome.isEmpty() ? message : outcome);
    if (!message.isEmpty())
        emit statusMessage(message);
    enterPhase(Phase::Idle, Look::Failure);
}

void SealWidget::report(StationEvent::Kind kind, const QString &outcome)
{
    StationEvent event = m_current;
    event.kind = kind;
    event.outcome = outcome;
    emit stationEvent(event);
}

void SealWidget::ignored(const char *what, const QString &detail) const
{
    qDebug().noquote() << QStringLiteral("%1 ignored while %2%3")
                              .arg(QLatin1String(what), QLatin1String(phaseName(m_phase)),
                                   detail.isEmpty() ? QString() : QStringLiteral(": ") + detail);
}

bool SealWidget::stillRecording(const QPointer<SealWidget> &self, const QPointer<JSON> &session) const
{
    if (!self)
        return false;
    // After a logout the window may already have put a fresh, signed-out session in place.
    if (session && session == m_service && isRecording())
        return true;
    qDebug().noquote() << "Session ended during a service call";
    return false;
}

void SealWidget::endProgram()
{
    if (!isRecording())
        return;
    qWarning().noquote() << "The program ends before the seal was recorded and closed";
    enterPhase(Phase::Idle, Look::Failure);
}

void SealWidget::serviceCreated(JSON *service)
{
    m_service = service;
}

void SealWidget::serviceDeleted()
{
    m_service = nullptr;
    // The next operator starts without the previous operator's bag. A close or open already sent
    // stays with the key, whose answer still ends it.
    switch (m_phase) {
    case Phase::Linking:
    case Phase::WaitingForTag:
    case Phase::Recording:
    case Phase::RecordingKeyLost:
        enterPhase(Phase::Idle, Look::Clear);
        break;
    case Phase::Idle:
    case Phase::Closing:
    case Phase::Opening:
        enterPhase(m_phase, Look::Clear);
        break;
    }
    m_details.reset();
    m_ui->lblSession->clear();
    m_ui->lblSchool->clear();
    m_ui->lblStart->clear();
    m_ui->lblEnd->clear();
}

void SealWidget::logoutRequested() {}

void SealWidget::unlockSeal() {}

void SealWidget::updateStatus(QString) {}

void SealWidget::keyOperationStatus(KeyOperation::eOperationStatus) {}

void SealWidget::keyTransferStatus(KeyStatus::eTransferStatus status)
{
    if (int(status) == 2)
        setBtnEnabled(true);
}

void SealWidget::focusBarcode()
{
    m_ui->txtBarcode->setFocus();
    m_ui->txtBarcode->selectAll();
}

// The key engine lets the buttons work again (true) or holds them during a relay transfer (false).
void SealWidget::setBtnEnabled(bool val)
{
    m_keyReady = val;
    updateButtons();
}

// Idle: links the scanned code. Every other phase refuses it with the busy message.
void SealWidget::linkRequested()
{
    focusBarcode();
    enterPhase(m_phase, Look::Clear);
    const QString code = m_ui->txtBarcode->text();

    if (m_phase != Phase::Idle) {
        qDebug().noquote() << kBusyMessage;
        emit statusMessage(QString::fromLatin1(kBusyMessage));
        return;
    }
    if (!m_service) {
        qDebug().noquote() << "No service session, scan ignored";
        return;
    }

    qDebug().noquote() << QStringLiteral("Linking subject and school using: ") + code;
    m_details.reset();
    m_current = bagOf(code, nullptr);
    const QPointer<SealWidget> self(this);
    const QPointer<JSON> session(m_service);
    enterPhase(Phase::Linking);
    std::unique_ptr<ExamSchedule> details(session->linkSubjectToCenter(code));
    if (!self)
        return;
    if (m_phase != Phase::Linking || !session || session != m_service) {
        // A logout during the call ended the link; its answer belongs to nobody now.
        qDebug().noquote() << "Session ended during a service call";
        return;
    }
    m_details = std::move(details);
    if (m_details)
        m_current = bagOf(code, m_details.get());
    enterPhase(Phase::Idle);

    if (m_details) {
        report(StationEvent::Kind::Linked);
        emit linkSuccessful(m_details.get());
    } else {
        report(StationEvent::Kind::LinkFailed);
        emit linkFailed(code);
    }
}

void SealWidget::linkSuccessful_Handler(ExamSchedule *details)
{
    if (!details)
        return;
    m_ui->lblSchool->setText(details->centerName());
    m_ui->lblSession->setText(details->subjectName());
    m_ui->lblStart->setText(formatTime(details->start()));
    m_ui->lblEnd->setText(formatTime(details->end()));

    if (m_autoSeal) {
        m_ui->btnPack->animateClick();
        focusBarcode();
    } else {
        m_ui->btnPack->setFocus();
    }
}

void SealWidget::linkFailed_Handler(QString scanCode)
{
    qDebug().noquote() << QStringLiteral("Could not link from: [") + scanCode + QLatin1Char(']');
    m_ui->lblSchool->setText(QStringLiteral("Unknown school"));
    m_ui->lblSession->setText(QStringLiteral("Unknown session"));
    m_ui->lblStart->clear();
    m_ui->lblEnd->clear();
    focusBarcode();
}

// Idle and Opening: asks the key for the tag of the linked bag's lock (warns without a bag);
// Linking: no bag yet, so it warns; Closing: once the key is ready again. A seal under way ignores it.
void SealWidget::sealSubject()
{
    qDebug().noquote() << "Seal subject";
    // While a link waits there is no bag yet: the warning below says so.
    if (m_phase != Phase::Linking && !keyFreeFor("Pack"))
        return;

    if (!m_details) {
        enterPhase(m_phase, Look::Warning);
        emit statusMessage(QStringLiteral("Please scan a bag first."));
        qDebug().noquote() << "No linked details exist.";
        return;
    }

    m_current.lockRf.clear();
    m_current.lockId.clear();
    enterPhase(Phase::WaitingForTag, Look::Clear);
    m_linker->requestScanTag();
}

// WaitingForTag: every tick asks again, the third gives up.
void SealWidget::checkState()
{
    if (m_phase != Phase::WaitingForTag) {
        ignored("Tag timer");
        return;
    }
    const int previous = m_tagRetries++;
    if (previous < 2) {
        qDebug().noquote() << QStringLiteral("Retry tag read: ") + QString::number(m_tagRetries);
        m_linker->requestScanTag();
        return;
    }
    qDebug().noquote() << "Tag read failed";
    fail(StationEvent::Kind::Failed, QStringLiteral("Could not find a seal."));
}

// WaitingForTag: the key read no tag. Elsewhere it is a late answer to a retry.
void SealWidget::tagReadFailed()
{
    if (m_phase != Phase::WaitingForTag) {
        ignored("Tag read failure");
        return;
    }
    qDebug().noquote() << "Tag read failed";
    fail(StationEvent::Kind::Failed, QStringLiteral("Could not find a seal."));
}

void SealWidget::keyConnectionChanged(bool connected)
{
    // The transport reports a lost key twice; only the change from present to gone counts.
    const bool wasPresent = m_keyPresent;
    m_keyPresent = connected;
    if (!wasPresent || connected)
        return;
    m_keyReady = true; // a key that is gone holds the buttons no longer

    // Without the key's confirmation the lock may still be open: say so instead of waiting silently.
    switch (m_phase) {
    case Phase::Idle:
    case Phase::Linking:
        updateButtons();
        return;
    case Phase::Recording:
        // The record goes on; when it returns, the close is not sent, even to a key that came back,
        // which may hold another lock by then.
        enterPhase(Phase::RecordingKeyLost);
        return;
    case Phase::RecordingKeyLost:
        return;
    case Phase::WaitingForTag:
        qDebug().noquote() << "Key disconnected during an operation";
        fail(StationEvent::Kind::Failed, QStringLiteral("Key disconnected, no tag was read."));
        return;
    case Phase::Closing:
        qDebug().noquote() << "Key disconnected during an operation";
        fail(StationEvent::Kind::KeyLost, QString::fromLatin1(kNotClosedMessage));
        return;
    case Phase::Opening:
        qDebug().noquote() << "Key disconnected during an operation";
        fail(StationEvent::Kind::KeyLost, QStringLiteral("Key disconnected before the lock confirmed it was open."));
        return;
    }
}

// WaitingForTag: the tag of the lock on the bag. It is looked up, the earlier seals are dealt with,
// the seal is recorded and the key told to close the lock. In any other phase nobody asked for it:
// a late answer after the page gave up, or a read the key started itself, seals nothing.
void SealWidget::tagReadSuccess(QString tag)
{
    if (m_phase != Phase::WaitingForTag || !m_service || !m_details) {
        ignored("Tag read", tag);
        return;
    }

    qDebug().noquote() << QStringLiteral("Tag read successful: ") + tag;
    const QPointer<SealWidget> self(this);
    const QPointer<JSON> session(m_service);
    // The report itself shows that the key is there; a loss from now on must keep the close back.
    m_keyPresent = true;
    m_current.lockRf = tag;
    enterPhase(Phase::Recording);
    report(StationEvent::Kind::TagRead);

    std::unique_ptr<Lock> lock(session->findLockByRf(tag));
    if (!stillRecording(self, session))
        return;
    if (!lock) {
        qDebug().noquote() << QStringLiteral("Could not find lock for rf tag ") + tag;
        fail(StationEvent::Kind::Failed, QStringLiteral("Could not read tag, please try again."));
        return;
    }
    m_current.lockId = lock->lockId();
    if (lock->commissionState() == CommissionState::Other) {
        session->validateLock(lock->lockId(), tag);
        if (!stillRecording(self, session))
            return;
    }
    if (!recordSeal(*lock, session))
        return;
    if (m_phase == Phase::RecordingKeyLost) {
        // The close would reach no key, or one that came back and may no longer hold this lock.
        qDebug().noquote() << "Key lost while the seal was recorded, lock not closed";
        report(StationEvent::Kind::SealRecorded);
        fail(StationEvent::Kind::KeyLost, QString::fromLatin1(kNotClosedMessage));
        return;
    }
    report(StationEvent::Kind::SealRecorded);
    enterPhase(Phase::Closing);
    m_linker->requestClose();
}

// Runs in Recording (or RecordingKeyLost); true once the service holds the seal.
bool SealWidget::recordSeal(const Lock &lock, const QPointer<JSON> &session)
{
    const QString pointId = m_details->pointId();
    const QString tableId = m_details->tableId();
    const QString apId = lock.lockId();
    const QPointer<SealWidget> self(this);

    if (m_config->multipleSealDialogue()) {
        const bool others = session->hasOtherSeals(pointId, tableId, apId);
        if (!stillRecording(self, session))
            return false;
        if (others) {
            const QMessageBox::StandardButton answer =
                QMessageBox::question(this, QStringLiteral("Multiple seals detected"),
                                      QStringLiteral("Subject already packed, seal an additional bag?"),
                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
            if (!stillRecording(self, session))
                return false;
            if (answer == QMessageBox::Yes) {
                qDebug().noquote() << "Leave existing seals and add another examination bag";
            } else if (answer != QMessageBox::No) {
                // The box ended without a choice (closing it chooses No): the program is ending.
                // Neither the earlier seals nor this one are touched.
                qDebug().noquote() << "The multiple-seal question was not answered";
                fail(StationEvent::Kind::Failed, QStringLiteral("Could not link seal subject pair"));
                return false;
            } else {
                report(StationEvent::Kind::SealsReplaced);
                session->renameOtherLocks(pointId, tableId, apId);
                if (!stillRecording(self, session))
                    return false;
                session->reassignSubjectToCenter(pointId, tableId);
                if (!stillRecording(self, session))
                    return false;
            }
        }
    }

    report(StationEvent::Kind::SealRequested);
    bool answered = true;
    const std::unique_ptr<Seal> seal(session->sealTimetable(pointId, tableId, apId, &answered));
    if (!stillRecording(self, session))
        return false;
    if (seal)
        return true;
    if (!answered) {
        // The record went out and its answer did not come back: the service may hold the seal.
        qDebug().noquote() << "No answer to the seal record";
        fail(StationEvent::Kind::SealUnanswered,
             QStringLiteral("No answer to the seal record: the service may hold it, but the lock was not closed."));
        return false;
    }

    qDebug().noquote() << "Could not link seal subject pair";
    fail(StationEvent::Kind::Failed, QStringLiteral("Could not link seal subject pair"));
    return false;
}

bool SealWidget::keyFreeFor(const char *what)
{
    switch (m_phase) {
    case Phase::Idle:
    case Phase::Opening:
        return true;
    case Phase::Closing:
        if (!m_keyReady)
            break;
        leaveUnconfirmedClose();
        return true;
    case Phase::Linking:
    case Phase::WaitingForTag:
    case Phase::Recording:
    case Phase::RecordingKeyLost:
        // A second Pack now would start a second tag read and record the seal twice; an Unlock
        // would have the close taken for an open.
        break;
    }
    ignored(what);
    return false;
}

void SealWidget::leaveUnconfirmedClose()
{
    qDebug().noquote() << "The key finished without confirming the close";
    report(StationEvent::Kind::CloseFailed, QStringLiteral("The key finished without confirming the close"));
    enterPhase(Phase::Idle);
}

// Idle and Opening: asks the key to open the lock in front of it (Closing: once the key is ready
// again). No barcode, no tag read, no service request. A seal under way ignores it, so that its
// close cannot be taken for an open.
void SealWidget::openSeal()
{
    if (!keyFreeFor("Unlock"))
        return;
    if (!m_details)
        m_current = StationEvent();
    m_current.lockRf.clear();
    m_current.lockId.clear();
    enterPhase(Phase::Opening, Look::Clear);
    report(StationEvent::Kind::UnlockRequested);
    m_linker->requestOpen();
}

// Label 0 of the key's display: its answer to a close or an open, in every phase as the table says.
void SealWidget::updateLabel(uint Type, QString str)
{
    qDebug().noquote() << QStringLiteral("Type: ") + QString::number(Type) + QStringLiteral(" : [") + str +
                              QLatin1Char(']');
    if (Type != 0)
        return;
    // Without a session and without a close or open in flight, no operation of this page is under way.
    if (!m_service && m_phase != Phase::Closing && m_phase != Phase::Opening)
        return;

    if (wholeMatch(QStringLiteral("Authorised\\r*\\n*locked"), str)) {
        qDebug().noquote() << "Closed successfully";
        if (m_phase != Phase::Closing) {
            ignored("Close confirmation");
            return;
        }
        report(StationEvent::Kind::CloseConfirmed, str);
        focusBarcode();
        enterPhase(Phase::Idle, Look::Success);
    } else if (wholeMatch(QStringLiteral("Authorised\\r*\\n*unlocked"), str)) {
        qDebug().noquote() << "Opened successfully";
        if (m_phase != Phase::Opening) {
            ignored("Open confirmation");
            return;
        }
        report(StationEvent::Kind::Unlocked, str);
        focusBarcode();
        enterPhase(Phase::Idle, Look::Success);
    } else if (wholeMatch(QStringLiteral("Please wait...s*"), str)) {
        qDebug().noquote() << "Please wait...";
        enterPhase(m_phase, Look::Clear);
    } else if (!str.contains(QStringLiteral("Un-plug USB first"))) {
        qDebug().noquote() << QStringLiteral("Failed: ") + str;
        switch (m_phase) {
        case Phase::WaitingForTag:
            fail(StationEvent::Kind::Failed, QString(), str);
            break;
        case Phase::Closing:
            fail(StationEvent::Kind::CloseFailed, QString(), str);
            break;
        case Phase::Opening:
            fail(StationEvent::Kind::UnlockFailed, QString(), str);
            break;
        case Phase::Idle:
        case Phase::Linking:
        case Phase::Recording:
        case Phase::RecordingKeyLost:
            // Nothing of this page was asked of the key: the text is shown, the work goes on.
            enterPhase(m_phase, Look::Failure);
            break;
        }
    }
}

void SealWidget::keyCurrentStatus(eKeyCurrentStatus status)
{
    // Indexed by the status value; 2 and 6 have no name and write nothing.
    static const char *const texts[] = {"Operation started", "Operation busy", nullptr, "Operation done",
                                        "Transfer started",  "Transfer busy",  nullptr, "Transfer done"};
    const int index = int(status);
    if (index >= 0 && index < int(std::size(texts)) && texts[index])
        qDebug().noquote() << texts[index];
}

void SealWidget::configUpdatedBoolean(QString key, bool value)
{
    if (key == QLatin1String(Setting::AutoSeal.key))
        m_autoSeal = value;
}
