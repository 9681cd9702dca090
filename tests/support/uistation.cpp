#include "support/uistation.h"

#include "app/configuration.h"
#include "key/clinker.h"
#include "key/kcodec.h"
#include "key/usblink.h"
#include "service/json.h"
#include "sim/emulatedkey.h"
#include "sim/webservice.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <chrono>

UiStation::UiStation(bool plugged, const std::function<void(Configuration &)> &setup)
    : config(std::make_unique<Configuration>())
{
    if (setup)
        setup(*config);
    sim::WebService::Options options;
    options.databasePath = dir.filePath(QStringLiteral("vesk.db")).toStdString();
    web = std::make_unique<sim::WebService>(options);
    if (!web->start())
        qFatal("the simulated service did not start");

    EmulatedKeyConfig keyConfig;
    keyConfig.socketPath = dir.filePath(QStringLiteral("key.sock"));
    keyConfig.servicePort = quint16(web->port());
    keyConfig.stepDelayMs = 0;
    key = std::make_unique<EmulatedKey>(keyConfig);
    if (!key->start())
        qFatal("the emulated key did not start");
    if (!plugged)
        key->unplug();

    link = std::make_unique<usbLink>(createUsbDevice(keyConfig.socketPath.toStdString()), 20, [] {});
    linker = std::make_unique<cLinker>(link.get(), config.get());
    window = std::make_unique<PackingWindow>(nullptr, linker.get(), config.get());
    window->show();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window.get(), kUiWaitMs))
        qWarning("the window did not become active");
    if (plugged && !QTest::qWaitFor([this] { return window->service() != nullptr; }, kUiWaitMs))
        qWarning("the key did not report its service");
}

UiStation::~UiStation()
{
    window.reset();
    // A frame still queued for the engine owns its buffer: stop the transport, then deliver them.
    linker->stopTransport();
    QCoreApplication::sendPostedEvents();
    linker.reset();
    link.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    key.reset();
    web->stop();
}

bool UiStation::login(const QString &user, const QString &password)
{
    if (!QTest::qWaitFor([this] { return window->service() && find<QWidget>("btnLogin")->isEnabled(); }, kUiWaitMs))
        return false;
    auto *name = find<QLineEdit>("txtUsername");
    name->setFocus();
    name->clear();
    QTest::keyClicks(name, user);
    QTest::keyClick(name, Qt::Key_Tab);
    auto *next = qobject_cast<QLineEdit *>(window->focusWidget());
    if (!next)
        return false;
    next->clear();
    QTest::keyClicks(next, password);
    QTest::keyClick(next, Qt::Key_Return);
    return window->currentMode() == PackingWindow::Mode::Packing;
}

bool UiStation::loginAndScan(const QString &code, qulonglong rf)
{
    if (!login())
        return false;
    if (rf)
        key->presentLock(rf);
    scan(code);
    web->clearRequests();
    key->clearRecord();
    return true;
}

QStringList UiStation::requestLines() const
{
    QStringList lines;
    for (const sim::RecordedRequest &request : web->requests())
        lines << QString::fromStdString(request.method + ' ' + request.path);
    return lines;
}

QString UiStation::seals(const std::string &pointId) const
{
    QStringList list;
    for (const sim::SealRow &seal : web->seals()) {
        if (seal.pointId == pointId)
            list << QString::fromStdString(seal.apId) + (seal.voided ? QStringLiteral("-") : QString());
    }
    return list.join(QLatin1Char(' '));
}

const QString kSuccessLook = QStringLiteral("background-color: green; image:url(:/assets/operation_success.png);");
const QString kFailureLook = QStringLiteral("background-color: red; image:url(:/assets/operation_failed.png);");
const QString kWarningLook = QStringLiteral("background-color: qlineargradient( x1:0 y1:0, x2:1 y2:0, stop:0 yellow, "
                                            "stop:1 orange); image:url(:/assets/operation_warn.png);");

ModalAnswer::ModalAnswer(std::function<void(QWidget *)> action, int boundMs)
    : m_action(std::move(action)), m_boundMs(boundMs)
{
    QObject::connect(&m_timer, &QTimer::timeout, this, &ModalAnswer::poll);
    m_since.start();
    m_timer.start(10);
}

ModalAnswer::~ModalAnswer()
{
    if (!m_done)
        QTest::qVerify(false, "modal came", "the expected modal window never came", __FILE__, __LINE__);
}

void ModalAnswer::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) {
        if (m_since.elapsed() < m_boundMs)
            return;
        m_timer.stop();
        m_done = true;
        QTest::qVerify(false, "modal came", "no modal window came within the wait", __FILE__, __LINE__);
        return;
    }
    m_timer.stop();
    m_done = true;
    const QPointer<QWidget> guard(modal);
    m_action(modal);
    // A failed check in `action` returns early: end the modal so that the test fails, not hangs.
    if (auto *dialog = qobject_cast<QDialog *>(guard.data()); dialog && dialog->isVisible())
        dialog->reject();
}

std::unique_ptr<ModalAnswer> answerNextModal(const std::function<void(QWidget *)> &action, int boundMs)
{
    return std::make_unique<ModalAnswer>(action, boundMs);
}

void duringSlowCall(UiStation &s, QTimer &poll, const QString &path, const std::function<void()> &action)
{
    s.web->addFault(sim::FaultRule{path.toStdString(), sim::FaultAction::Answer, std::chrono::milliseconds(400), -1});
    const QPointer<JSON> session(s.window->service());
    const bool isPrefix = path.endsWith(QLatin1Char('*'));
    const std::string stem = QString(path).remove(QLatin1Char('*')).toStdString();
    QObject::connect(&poll, &QTimer::timeout, &poll, [&poll, &s, session, isPrefix, stem, action] {
        const std::vector<sim::RecordedRequest> requests = s.web->requests();
        const std::string last = requests.empty() ? std::string() : requests.back().path;
        if (session && session->busy() > 0 && (isPrefix ? last.rfind(stem, 0) == 0 : last == stem)) {
            poll.stop();
            action();
        }
    });
    poll.start(5);
}

QList<int> requestTags(const QList<QByteArray> &messages)
{
    QList<int> tags;
    for (const QByteArray &payload : messages) {
        const std::unique_ptr<KMessage> message =
            KMessage::parse(reinterpret_cast<const uint8_t *>(payload.constData()), size_t(payload.size()));
        if (!message || message->type() != REQUEST)
            continue;
        message->first();
        while (const KTag *item = message->next())
            tags << int(item->tag());
    }
    return tags;
}

QList<int> keyRequestTags(const EmulatedKey &key)
{
    return requestTags(key.messages());
}
