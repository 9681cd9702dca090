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
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStyleFactory>

#include <iterator>

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

void SealWidget::serviceCreated(JSON *service)
{
    m_service = service;
}

void SealWidget::serviceDeleted()
{
    m_service = nullptr;
    // A seal still waiting for its tag ends with the session, and the next operator starts
    // without the previous operator's bag.
    endOperation();
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
        setButtonsEnabled(true);
}

void SealWidget::focusBarcode()
{
    m_ui->txtBarcode->setFocus();
    m_ui->txtBarcode->selectAll();
}

void SealWidget::setButtonsEnabled(bool enabled)
{
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

void SealWidget::setBtnEnabled(bool val)
{
    setButtonsEnabled(val);
}

void SealWidget::endOperation()
{
    m_tagTimer.stop();
    m_waitingForTag = false;
    m_closing = false;
    m_tagRetries = 0;
    m_operation = OperationNone;
    setButtonsEnabled(true);
    m_ui->lblOperationInfo->setStyleSheet(QString());
}

bool SealWidget::sessionLost(const QPointer<JSON> &session) const
{
    // After a logout the window may already have put a fresh, signed-out session in place.
    if (session && session == m_service)
        return false;
    qDebug().noquote() << "Session ended during a service call";
    return true;
}

void SealWidget::linkRequested()
{
    focusBarcode();
    m_ui->lblOperationInfo->setStyleSheet(QString());
    const QString code = m_ui->txtBarcode->text();

    if (m_operation != OperationNone || m_linking || m_recording) {
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
    const QPointer<SealWidget> self(this);
    const QPointer<JSON> session(m_service);
    m_linking = true;
    std::unique_ptr<ExamSchedule> details(session->linkSubjectToCenter(code));
    if (!self)
        return;
    m_linking = false;
    if (sessionLost(session))
        return;
    m_details = std::move(details);

    if (m_details)
        emit linkSuccessful(m_details.get());
    else
        emit linkFailed(code);
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

void SealWidget::sealSubject()
{
    qDebug().noquote() << "Seal subject";
    if (m_waitingForTag || m_recording) {
        // A second Pack now would start a second tag read and record the seal twice.
        qDebug().noquote() << "Seal already running, request ignored";
        return;
    }
    m_ui->lblOperationInfo->setStyleSheet(QString());
    m_operation = OperationSeal;
    m_closing = false;

    if (!m_details) {
        m_ui->lblOperationInfo->setStyleSheet(QString::fromLatin1(kWarningStyle));
        m_operation = OperationNone;
        m_waitingForTag = false;
        emit statusMessage(QStringLiteral("Please scan a bag first."));
        qDebug().noquote() << "No linked details exist.";
        return;
    }

    setButtonsEnabled(false);
    m_waitingForTag = true;
    m_tagTimer.start();
    m_linker->requestScanTag();
}

void SealWidget::checkState()
{
    if (!m_waitingForTag)
        return;
    const int previous = m_tagRetries++;
    if (previous < 2) {
        qDebug().noquote() << QStringLiteral("Retry tag read: ") + QString::number(m_tagRetries);
        m_linker->requestScanTag();
        return;
    }
    giveUpTagRead();
}

void SealWidget::tagReadFailed()
{
    if (!m_service || m_recording || m_closing) {
        // No session, or a late answer to a retry while the seal of a good read is recorded or closed.
        qDebug().noquote() << "Tag read failure ignored";
        return;
    }
    giveUpTagRead();
}

void SealWidget::giveUpTagRead()
{
    qDebug().noquote() << "Tag read failed";
    // A stopped timer and a cleared wait: later ticks and retries have nothing to do.
    m_tagTimer.stop();
    m_tagRetries = 0;
    m_waitingForTag = false;
    failOperation(QStringLiteral("Could not find a seal."));
}

void SealWidget::keyConnectionChanged(bool connected)
{
    // The transport reports a lost key twice; only the change from present to gone counts.
    const bool wasPresent = m_keyPresent;
    m_keyPresent = connected;
    if (wasPresent && !connected) {
        ++m_keyLosses;
        keyLost();
    }
}

void SealWidget::keyLost()
{
    // A seal being recorded learns of it when the record returns, and does not send the close.
    if (m_recording)
        return;
    if (m_operation == OperationNone && !m_closing)
        return;
    qDebug().noquote() << "Key disconnected during an operation";
    const bool readingTag = m_waitingForTag;
    m_tagTimer.stop();
    m_waitingForTag = false;
    m_closing = false;
    m_tagRetries = 0;
    // Without the key's confirmation the lock may still be open: say so instead of waiting silently.
    if (readingTag)
        failOperation(QStringLiteral("Key disconnected, no tag was read."));
    else if (m_operation == OperationOpen)
        failOperation(QStringLiteral("Key disconnected before the lock confirmed it was open."));
    else
        failOperation(QString::fromLatin1(kNotClosedMessage));
}

void SealWidget::failOperation(const QString &message)
{
    if (!message.isEmpty())
        emit statusMessage(message);
    setButtonsEnabled(true);
    m_ui->lblOperationInfo->setStyleSheet(QString::fromLatin1(kFailureStyle));
    m_operation = OperationNone;
}

void SealWidget::tagReadSuccess(QString tag)
{
    if (!m_service) {
        qDebug().noquote() << QStringLiteral("No service session, tag ignored: ") + tag;
        return;
    }
    if (!m_details) {
        // The key can report a tag on its own; without a linked bag there is nothing to seal.
        qDebug().noquote() << QStringLiteral("No linked bag, tag ignored: ") + tag;
        return;
    }
    if (m_recording || m_closing) {
        // A late answer to an earlier scan request must not record the seal a second time.
        qDebug().noquote() << QStringLiteral("Seal already being recorded or closed, tag ignored: ") + tag;
        return;
    }

    m_tagTimer.stop();
    qDebug().noquote() << QStringLiteral("Tag read successful: ") + tag;
    m_waitingForTag = false;
    m_tagRetries = 0;

    const QPointer<SealWidget> self(this);
    const QPointer<JSON> session(m_service);
    // The report itself shows that the key is there; a loss from now on must keep the close back.
    m_keyPresent = true;
    const int keyLosses = m_keyLosses;
    // Refuses scans and further tags until the seal is recorded, also for a read that came too late.
    m_recording = true;
    const auto recordingDone = qScopeGuard([this, self] {
        if (self)
            m_recording = false;
    });

    std::unique_ptr<Lock> lock(session->findLockByRf(tag));
    if (!self || sessionLost(session))
        return;
    if (!lock) {
        qDebug().noquote() << QStringLiteral("Could not find lock for rf tag ") + tag;
        failOperation(QStringLiteral("Could not read tag, please try again."));
        return;
    }
    if (lock->commissionState() == CommissionState::Other) {
        session->validateLock(lock->lockId(), tag);
        if (!self || sessionLost(session))
            return;
    }
    const bool recorded = recordSeal(*lock, session);
    if (!recorded || !self || sessionLost(session))
        return;
    if (m_keyLosses != keyLosses) {
        // The close would reach no key, or one that came back and may no longer hold this lock.
        qDebug().noquote() << "Key lost while the seal was recorded, lock not closed";
        failOperation(QString::fromLatin1(kNotClosedMessage));
        return;
    }
    m_closing = true;
    m_linker->requestClose();
}

bool SealWidget::recordSeal(const Lock &lock, const QPointer<JSON> &session)
{
    const QString pointId = m_details->pointId();
    const QString tableId = m_details->tableId();
    const QString apId = lock.lockId();
    const QPointer<SealWidget> self(this);

    if (m_config->multipleSealDialogue()) {
        const bool others = session->hasOtherSeals(pointId, tableId, apId);
        if (!self || sessionLost(session))
            return false;
        if (others) {
            const QMessageBox::StandardButton answer =
                QMessageBox::question(this, QStringLiteral("Multiple seals detected"),
                                      QStringLiteral("Subject already packed, seal an additional bag?"),
                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
            if (!self || sessionLost(session))
                return false;
            if (answer == QMessageBox::Yes) {
                qDebug().noquote() << "Leave existing seals and add another examination bag";
            } else {
                session->renameOtherLocks(pointId, tableId, apId);
                if (!self || sessionLost(session))
                    return false;
                session->reassignSubjectToCenter(pointId, tableId);
                if (!self || sessionLost(session))
                    return false;
            }
        }
    }

    const std::unique_ptr<Seal> seal(session->sealTimetable(pointId, tableId, apId));
    if (!self || sessionLost(session))
        return false;
    if (seal)
        return true;

    qDebug().noquote() << "Could not link seal subject pair";
    failOperation(QStringLiteral("Could not link seal subject pair"));
    return false;
}

void SealWidget::openSeal()
{
    m_ui->lblOperationInfo->setStyleSheet(QString());
    m_operation = OperationOpen;
    m_closing = false;
    m_linker->requestOpen();
}

void SealWidget::showSuccess()
{
    m_ui->lblOperationInfo->setStyleSheet(QString::fromLatin1(kSuccessStyle));
    focusBarcode();
    m_operation = OperationNone;
}

void SealWidget::showFailure()
{
    m_closing = false;
    m_ui->lblOperationInfo->setStyleSheet(QString::fromLatin1(kFailureStyle));
    m_operation = OperationNone;
}

void SealWidget::updateLabel(uint Type, QString str)
{
    qDebug().noquote() << QStringLiteral("Type: ") + QString::number(Type) + QStringLiteral(" : [") + str +
                              QLatin1Char(']');
    // Without a session no operation of this page is under way.
    if (Type != 0 || !m_service)
        return;

    if (wholeMatch(QStringLiteral("Authorised\\r*\\n*locked"), str)) {
        qDebug().noquote() << "Closed successfully";
        m_closing = false;
        if (m_operation == OperationSeal)
            showSuccess();
    } else if (wholeMatch(QStringLiteral("Authorised\\r*\\n*unlocked"), str)) {
        qDebug().noquote() << "Opened successfully";
        if (m_operation == OperationOpen)
            showSuccess();
    } else if (wholeMatch(QStringLiteral("Please wait...s*"), str)) {
        qDebug().noquote() << "Please wait...";
        m_ui->lblOperationInfo->setStyleSheet(QString());
    } else if (!str.contains(QStringLiteral("Un-plug USB first"))) {
        qDebug().noquote() << QStringLiteral("Failed: ") + str;
        showFailure();
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
