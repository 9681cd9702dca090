#include "ui/packingwindow.h"

#include "app/configuration.h"
#include "journal/journal.h"
#include "journal/journalreader.h"
#include "journal/journalview.h"
#include "key/clinker.h"
#include "service/json.h"
#include "service/rixrequesthandler.h"
#include "ui/assetproxydialog.h"
#include "ui/loginwidget.h"
#include "ui/sealwidget.h"
#include "ui_packingwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QEventLoop>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QPixmap>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#ifndef QT_NO_SESSIONMANAGER
#include <QSessionManager>
#endif

namespace {
const int kKeyProgressMaximum = 228;
const int kKeyImageSize = 24;
const char kLogoutWhileRecording[] = "A seal is being recorded. Please log out once it is done.";
const char kQuitWhileRecording[] = "A seal is being recorded. Please quit once it is done.";

// The @2x copy where there is one, so that the key state stays sharp on high-DPI screens.
QImage loadSharpest(const QString &path)
{
    QString sharper = path;
    sharper.insert(sharper.lastIndexOf(QLatin1Char('.')), QStringLiteral("@2x"));
    const QImage image(sharper);
    return image.isNull() ? QImage(path) : image;
}
} // namespace

PackingWindow::PackingWindow(QWidget *parent, cLinker *linker, Configuration *config)
    : QMainWindow(parent), m_ui(new Ui::PackingWindow), m_linker(linker ? linker : cLinker::get()),
      m_config(config ? config : Configuration::instance())
{
    m_ui->setupUi(this);
    m_keyConnectedImage = loadSharpest(QStringLiteral(":/assets/usb_connected.png"));
    m_keyDisconnectedImage = loadSharpest(QStringLiteral(":/assets/usb_disconnected.png"));

    connect(m_linker, &cLinker::usbConnected, this, &PackingWindow::keyConnectionChange);
    connect(m_linker, &cLinker::ServiceAddressSet, this, &PackingWindow::serviceAddressReceived);
    connect(m_linker, &cLinker::ServicePortSet, this, &PackingWindow::servicePortReceived);
    connect(m_linker, &cLinker::progressBar, this, &PackingWindow::keyBusy);
    connect(m_linker, &cLinker::updateStatus, this, &PackingWindow::statusMessage);
    connect(m_ui->actionAbout, &QAction::triggered, this, &PackingWindow::showAbout);
    connect(m_ui->action_Settings, &QAction::triggered, this, &PackingWindow::showSettings);
    connect(m_ui->actionE_xit, &QAction::triggered, this, &PackingWindow::exitApplication);

    m_loginWidget = new LoginWidget();
    connect(m_loginWidget, &LoginWidget::loginSuccessful, this, &PackingWindow::loginSuccessful);
    connect(m_loginWidget, &LoginWidget::loginFailed, this, &PackingWindow::loginFailed);
    connect(m_loginWidget, &LoginWidget::requestServiceDetails, this, &PackingWindow::requestServiceDetails);
    connect(m_linker, &cLinker::usbConnected, m_loginWidget, &LoginWidget::keyConnectionChange);
    connect(this, &PackingWindow::serviceCreated, m_loginWidget, &LoginWidget::serviceCreated);
    connect(this, &PackingWindow::serviceDeleted, m_loginWidget, &LoginWidget::serviceDeleted);

    m_sealWidget = new SealWidget(nullptr, m_linker, m_config);
    connect(m_sealWidget, &SealWidget::statusMessage, this, &PackingWindow::statusMessage);
    connect(this, &PackingWindow::serviceCreated, m_sealWidget, &SealWidget::serviceCreated);
    connect(this, &PackingWindow::keyCurrentStatus, m_sealWidget, &SealWidget::keyCurrentStatus);
    // The packing page must also let go of a session that logout removes.
    connect(this, &PackingWindow::serviceDeleted, m_sealWidget, &SealWidget::serviceDeleted);
    connect(m_sealWidget, &SealWidget::phaseChanged, this, &PackingWindow::sealPhaseChanged);
#ifndef QT_NO_SESSIONMANAGER
    connect(qApp, &QGuiApplication::commitDataRequest, this, &PackingWindow::commitData);
#endif
    m_endDeadline.setSingleShot(true);
    connect(&m_endDeadline, &QTimer::timeout, this, [this] {
        qWarning().noquote() << "The key did not finish in time; quitting";
        endNow();
    });

    m_ui->appLayout->addWidget(m_sealWidget);
    m_ui->loginLayout->addWidget(m_loginWidget);
    setMode(Mode::Login);

    m_keyProgress = new QProgressBar(this);
    m_keyProgress->setObjectName(QStringLiteral("keyProgress"));
    m_keyProgress->setMaximum(kKeyProgressMaximum);
    m_keyProgress->setMaximumWidth(200);
    m_keyProgress->setTextVisible(false);
    m_ui->statusbar->addPermanentWidget(m_keyProgress, 0);
    m_btnLogout = new QToolButton(this);
    m_btnLogout->setObjectName(QStringLiteral("btnLogout"));
    m_btnLogout->setIcon(QIcon(QStringLiteral(":/assets/exit_app.png")));
    m_btnLogout->setToolTip(QStringLiteral("Logout"));
    m_btnLogout->setAccessibleName(QStringLiteral("Logout"));
    m_btnLogout->setAccessibleDescription(QStringLiteral("Sign out of the Vesk service"));
    m_btnLogout->setAutoRaise(true);
    connect(m_btnLogout, &QToolButton::clicked, this, &PackingWindow::logoutRequested);
    m_ui->statusbar->addPermanentWidget(m_btnLogout, 0);
    m_keyProgress->setEnabled(false);
    m_keyProgress->hide();
    m_btnLogout->setEnabled(false);
    m_btnLogout->hide();

    m_lblKeyState = new QLabel(this);
    m_lblKeyState->setObjectName(QStringLiteral("lblKeyState"));
    showKeyDisconnected();
    m_ui->statusbar->addPermanentWidget(m_lblKeyState, 0);

    applyStoredProxy();
    setUpJournal();
}

PackingWindow::~PackingWindow()
{
    // Pages hold the session without owning it; drop it before they go.
    m_service.reset();
    m_retiredServices.clear();
}

PackingWindow::Mode PackingWindow::currentMode() const
{
    return m_ui->stackedWidget->currentWidget() == m_ui->appPage ? Mode::Packing : Mode::Login;
}

void PackingWindow::setMode(Mode mode)
{
    m_ui->stackedWidget->setCurrentWidget(mode == Mode::Packing ? m_ui->appPage : m_ui->loginPage);
}

void PackingWindow::applyStoredProxy()
{
    const int type = m_config->get(Setting::ProxyType);
    QNetworkProxy proxy;
    proxy.setHostName(m_config->get(Setting::ProxyHost));
    proxy.setPort(proxyPortFromText(m_config->getString(QLatin1String(Setting::ProxyPort.key))));
    proxy.setUser(m_config->get(Setting::ProxyUser));
    proxy.setPassword(m_config->get(Setting::ProxyPass));
    applyProxy(type, proxy);
}

void PackingWindow::showKeyImage(const QImage &image)
{
    // Scaled to the screen's device pixels, so a 200 % screen gets 48 sharp pixels, not 24 stretched.
    const qreal ratio = m_lblKeyState->devicePixelRatioF();
    QPixmap pixmap = QPixmap::fromImage(
        image.scaled(QSize(kKeyImageSize, kKeyImageSize) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(ratio);
    m_lblKeyState->setPixmap(pixmap);
}

void PackingWindow::showKeyDisconnected()
{
    m_keyConnected = false;
    m_ui->statusbar->showMessage(QStringLiteral("Key disconnected"));
    showKeyImage(m_keyDisconnectedImage);
    m_lblKeyState->setToolTip(QStringLiteral("No key found"));
}

void PackingWindow::keyConnectionChange(bool connected)
{
    if (connected) {
        m_keyConnected = true;
        m_ui->statusbar->showMessage(QStringLiteral("Key connected"));
        showKeyImage(m_keyConnectedImage);
        m_lblKeyState->setToolTip(QStringLiteral("Key found"));
        m_linker->connectKeynew();
    } else if (m_keyConnected) {
        // The transport may report a lost key more than once; repeating "Key disconnected" would
        // hide the page's message about the operation the loss cut short.
        showKeyDisconnected();
        m_serviceInfo.clear();
    }
}

void PackingWindow::serviceAddressReceived(QString address)
{
    m_serviceInfo.setHost(address);
    updateService();
}

void PackingWindow::servicePortReceived(uint port)
{
    m_serviceInfo.setPort(port);
    updateService();
}

void PackingWindow::updateService()
{
    qDebug().noquote() << QStringLiteral("Host now: ") + m_serviceInfo.host();
    if (m_serviceInfo.isValid() && !m_service) {
        m_service = std::make_unique<JSON>(m_serviceInfo.host(), QString::number(m_serviceInfo.port()));
        emit serviceCreated(m_service.get());
    }
}

void PackingWindow::requestServiceDetails()
{
    if (!m_keyConnected)
        return;
    qDebug().noquote() << "Request service details from key NVM";
    m_linker->connectKeynew();
}

void PackingWindow::keyBusy(uint8_t progress)
{
    qDebug().noquote() << QStringLiteral("Progress now: ") + QString::number(progress);
    if (progress < 128) {
        emit keyCurrentStatus(OPERATION_BUSY);
        m_keyProgress->setValue(progress);
    } else if (progress == 128) {
        emit keyCurrentStatus(OPERATION_DONE);
        emit keyCurrentStatus(TRANSFER_STARTED);
        m_keyProgress->setValue(kKeyProgressMaximum);
    } else {
        emit keyCurrentStatus(TRANSFER_BUSY);
        m_keyProgress->setValue(progress);
    }
}

void PackingWindow::keyStatusChange(QString) {}

void PackingWindow::statusMessage(QString message)
{
    m_ui->statusbar->showMessage(message);
}

void PackingWindow::loginSuccessful(QString)
{
    setMode(Mode::Packing);
    m_keyProgress->setEnabled(true);
    m_keyProgress->show();
    m_btnLogout->setEnabled(true);
    m_btnLogout->show();
    m_sealWidget->focusBarcode();
    repaint();
}

void PackingWindow::loginFailed() {}

bool PackingWindow::refusedWhileRecording(const QString &message)
{
    // Leaving now would end the seal between its service calls: the record or the close could go
    // missing and nobody would see it.
    if (!m_sealWidget->isRecording())
        return false;
    qDebug().noquote() << message;
    statusMessage(message);
    return true;
}

void PackingWindow::logoutRequested()
{
    if (refusedWhileRecording(QString::fromLatin1(kLogoutWhileRecording)))
        return;
    m_keyProgress->setEnabled(false);
    m_keyProgress->hide();
    m_btnLogout->setEnabled(false);
    m_btnLogout->hide();
    setMode(Mode::Login);

    if (m_service) {
        std::unique_ptr<JSON> old = std::move(m_service);
        emit serviceDeleted();
        retireService(std::move(old));
        updateService();
    }
}

void PackingWindow::retireService(std::unique_ptr<JSON> session)
{
    if (session->busy() == 0)
        return; // nothing of it is on the stack: it goes now
    qDebug().noquote() << "Session still has a call waiting; it is released when the call returns";
    connect(session.get(), &JSON::busyChanged, this, [this](int calls) {
        // Queued, so that the finishing call has left the session's code first.
        if (calls == 0)
            QTimer::singleShot(0, this, &PackingWindow::deleteIdleRetiredSessions);
    });
    m_retiredServices.push_back(std::move(session));
}

void PackingWindow::deleteIdleRetiredSessions()
{
    for (auto it = m_retiredServices.begin(); it != m_retiredServices.end();) {
        if ((*it)->busy() == 0)
            it = m_retiredServices.erase(it);
        else
            ++it;
    }
}

void PackingWindow::showAbout()
{
    QMessageBox box(QMessageBox::Information, QString(),
                    QStringLiteral("Version: ") + QStringLiteral(SEALSTATION_VERSION) +
                        QStringLiteral("\n\nBuild date: ") + QStringLiteral(__DATE__) + QLatin1Char(' ') +
                        QStringLiteral(__TIME__));
    box.exec();
}

void PackingWindow::showSettings()
{
    AssetProxyDialog dialog(nullptr, m_config);
    dialog.exec();
}

void PackingWindow::exitApplication()
{
    if (m_ending == Ending::Now || refusedWhileRecording(QString::fromLatin1(kQuitWhileRecording)))
        return;
    endWhenKeyDone();
}

void PackingWindow::closeEvent(QCloseEvent *event)
{
    if (m_ending == Ending::Now) {
        event->accept();
        return;
    }
    event->ignore();
    if (refusedWhileRecording(QString::fromLatin1(kQuitWhileRecording)))
        return;
    if (!m_sealWidget->isKeyOperationPending()) {
        m_ending = Ending::Now;
        event->accept(); // the last window closed ends the event loop
        return;
    }
    endWhenKeyDone();
}

void PackingWindow::endRequested()
{
    qDebug().noquote() << "The system asks the program to end";
    if (m_ending == Ending::Now)
        return;
    endWhenKeyDone();
}

#ifndef QT_NO_SESSIONMANAGER
void PackingWindow::commitData(QSessionManager &)
{
    // Not an end yet (the logout may still be cancelled): the key gets its time to finish, and the
    // session manager goes on as soon as this returns.
    if (m_ending == Ending::Now || !m_sealWidget->isKeyOperationPending())
        return;
    qDebug().noquote() << "The session is ending: waiting for the key to finish";
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(m_sealWidget, &SealWidget::phaseChanged, &loop, [this, &loop] {
        if (!m_sealWidget->isKeyOperationPending())
            loop.quit();
    });
    deadline.start(endWaitLimitMs());
    loop.exec();
    if (m_sealWidget->isKeyOperationPending()) {
        qWarning().noquote() << "The key did not finish in time; the session may end the program";
        m_ending = Ending::Now;
    }
}
#endif

int PackingWindow::endWaitLimitMs() const
{
    return m_service ? m_service->replyTimeout() : RixRequestHandler::ReplyTimeoutMs;
}

void PackingWindow::endWhenKeyDone()
{
    if (!m_sealWidget->isKeyOperationPending()) {
        endNow();
        return;
    }
    if (m_ending == Ending::WaitingForKey)
        return;
    m_ending = Ending::WaitingForKey;
    qDebug().noquote() << "Quitting once the key has finished";
    statusMessage(m_sealWidget->isRecording()
                      ? QStringLiteral("Quitting once the seal is recorded and the lock closed.")
                      : QStringLiteral("Quitting once the key has answered."));
    m_endDeadline.start(endWaitLimitMs());
}

void PackingWindow::sealPhaseChanged()
{
    if (m_ending == Ending::WaitingForKey && !m_sealWidget->isKeyOperationPending())
        endNow();
}

void PackingWindow::endNow()
{
    m_ending = Ending::Now;
    m_endDeadline.stop();
    m_sealWidget->endProgram();
    QApplication::quit();
}

void PackingWindow::setUpJournal()
{
    m_actionJournal = new QAction(QStringLiteral("&Journal..."), this);
    m_actionJournal->setObjectName(QStringLiteral("actionJournal"));
    m_actionJournal->setShortcut(QKeySequence(QStringLiteral("Ctrl+J")));
    m_actionJournal->setEnabled(false);
    const QList<QAction *> fileActions = m_ui->menuFile->actions();
    m_ui->menuFile->insertAction(fileActions.size() > 1 ? fileActions.at(1) : nullptr, m_actionJournal);
    connect(m_actionJournal, &QAction::triggered, this, &PackingWindow::showJournal);

    m_btnJournalNotice = new QToolButton(this);
    m_btnJournalNotice->setObjectName(QStringLiteral("btnJournalNotice"));
    m_btnJournalNotice->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_btnJournalNotice->setStyleSheet(
        QStringLiteral("QToolButton { background-color: #ffd54f; color: black; border: none; padding: 1px 6px; }"));
    m_btnJournalNotice->hide();
    connect(m_btnJournalNotice, &QToolButton::clicked, this, &PackingWindow::showJournal);
    m_ui->statusbar->insertPermanentWidget(0, m_btnJournalNotice, 0);

    connect(m_sealWidget, &SealWidget::stationEvent, this, &PackingWindow::forwardStationEvent, Qt::DirectConnection);
    connect(m_loginWidget, &LoginWidget::loginSuccessful, this, &PackingWindow::recordSignIn);
    connect(this, &PackingWindow::serviceDeleted, this, &PackingWindow::recordSignOut);
}

void PackingWindow::setJournal(Journal *journal)
{
    if (m_journal) {
        disconnect(this, nullptr, m_journal, nullptr);
        disconnect(m_journal, nullptr, this, nullptr);
    }
    if (m_journalView) {
        m_journalView->close(); // it shows the journal it was opened on, and goes
        m_journalView = nullptr;
    }
    m_journal = journal;
    m_journalNotices.clear();
    m_actionJournal->setEnabled(journal != nullptr);
    if (journal) {
        connect(this, &PackingWindow::stationEvent, journal, &Journal::stationEvent, Qt::DirectConnection);
        const auto addNotice = [this](Journal::Notice notice, const QString &text) {
            m_journalNotices.push_back({notice == Journal::Notice::InUseElsewhere
                                            ? QStringLiteral("The journal is open in another SealStation")
                                            : QStringLiteral("The journal was damaged: a new one was started"),
                                        text});
        };
        connect(journal, &Journal::noticeRaised, this, [this, journal, addNotice](const QString &text) {
            addNotice(journal->notice(), text);
            showJournalNotices();
        });
        connect(journal, &Journal::warningChanged, this, &PackingWindow::showJournalNotices);
        if (journal->notice() != Journal::Notice::None)
            addNotice(journal->notice(), journal->noticeText());
        // Bags left between the seal record and the lock's confirmation, by a crash or a power cut.
        const int notConfirmed = JournalReader(*journal).notConfirmedCount();
        if (notConfirmed > 0) {
            qWarning().noquote() << QStringLiteral("Journal: %1 bag(s) not confirmed at start").arg(notConfirmed);
            m_journalNotices.push_back(
                {notConfirmed == 1
                     ? QStringLiteral("1 bag not confirmed: see File > Journal (Ctrl+J)")
                     : QStringLiteral("%1 bags not confirmed: see File > Journal (Ctrl+J)").arg(notConfirmed),
                 QStringLiteral("%1 recorded on the service, but the key never confirmed the lock closed (for "
                                "instance after a crash or a power cut). Check them in File > Journal (Ctrl+J), "
                                "exceptions only, before they leave the station.")
                     .arg(notConfirmed == 1 ? QStringLiteral("1 bag is")
                                            : QStringLiteral("%1 bags are").arg(notConfirmed))});
        }
    }
    showJournalNotices();
}

void PackingWindow::showJournalNotices()
{
    QStringList texts;
    QString brief;
    if (m_journal && !m_journal->warningText().isEmpty()) {
        texts << m_journal->warningText();
        brief = m_journal->phase() == Journal::Phase::DiskFull
                    ? QStringLiteral("Journal not written: the disk is full")
                    : QStringLiteral("Journal not written: bags are not recorded");
    }
    for (const JournalNotice &notice : m_journalNotices) {
        texts << notice.text;
        if (brief.isEmpty())
            brief = notice.brief;
    }
    if (texts.size() > 1)
        brief += QStringLiteral(" (+%1)").arg(texts.size() - 1);
    QString shown = brief;
    m_btnJournalNotice->setText(shown.replace(QLatin1Char('&'), QStringLiteral("&&")));
    // Rich text with every text escaped: a tool tip guesses the format otherwise.
    QString tip;
    for (const QString &text : qAsConst(texts))
        tip += QStringLiteral("<p>%1</p>").arg(text.toHtmlEscaped());
    m_btnJournalNotice->setToolTip(tip);
    m_btnJournalNotice->setAccessibleName(texts.join(QLatin1Char(' ')));
    m_btnJournalNotice->setVisible(!texts.isEmpty());
}

void PackingWindow::showJournal()
{
    if (!m_journal)
        return;
    if (m_journalView) {
        m_journalView->refresh();
    } else {
        m_journalView = new JournalView(m_journal, this);
        m_journalView->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_journalView->show();
    m_journalView->raise();
    m_journalView->activateWindow();
    // The operator has seen them now; a lasting warning stays while it lasts.
    m_journalNotices.clear();
    showJournalNotices();
}

void PackingWindow::forwardStationEvent(const StationEvent &event)
{
    StationEvent filled = event;
    const QString sessionUser = m_service ? m_service->userName() : QString();
    filled.user = !sessionUser.isEmpty() ? sessionUser : m_signedInUser.value_or(QString());
    filled.keySerial = m_linker->serial();
    filled.keyBox = m_linker->box();
    emit stationEvent(filled);
}

void PackingWindow::recordSignIn()
{
    m_signedInUser = m_service ? m_service->userName() : QString();
    StationEvent event;
    event.kind = StationEvent::Kind::SignedIn;
    forwardStationEvent(event);
}

void PackingWindow::recordSignOut()
{
    if (!m_signedInUser)
        return;
    StationEvent event;
    event.kind = StationEvent::Kind::SignedOut;
    forwardStationEvent(event);
    m_signedInUser.reset();
}

void PackingWindow::endJournalSession()
{
    recordSignOut();
}
