#include "app/configuration.h"
#include "app/resources.h"
#include "key/clinker.h"
#include "key/kcodec.h"
#include "service/json.h"
#include "sim/emulatedkey.h"
#include "sim/webservice.h"
#include "support/keytestsupport.h"
#include "support/uistation.h"
#include "ui/loginwidget.h"
#include "ui/sealwidget.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QToolButton>
#include <QtTest>

#include <chrono>

Q_DECLARE_METATYPE(eKeyCurrentStatus)

namespace {

const QString kSuccess = QStringLiteral("background-color: green; image:url(:/assets/operation_success.png);");
const QString kFailure = QStringLiteral("background-color: red; image:url(:/assets/operation_failed.png);");
const QString kWarning = QStringLiteral("background-color: qlineargradient( x1:0 y1:0, x2:1 y2:0, stop:0 yellow, "
                                        "stop:1 orange); image:url(:/assets/operation_warn.png);");
const QString kMaths = QStringLiteral("2531011021");  // Greenfield High School, point 1021, table 3101
const QString kPacked = QStringLiteral("2531011034"); // already sealed twice with locks 5104 and 5105
const QString kLink = QStringLiteral("PUT /veskservice/examschedule/link/subject/to/center");
const QString kFind = QStringLiteral("GET /veskservice/lock/find/by/rf/303659");
const QString kSeals = QStringLiteral("GET /veskservice/examschedule/ap");
const QString kSeal = QStringLiteral("PUT /veskservice/timetable/seal");

QString localTime(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toLocalTime().toString(QStringLiteral("dd/MM/yyyy hh:mm"));
}

// Delays the service's answers on `path` ("*" ends a prefix) and runs `action` once, from the event
// loop, while the window's session waits for such an answer.
void duringSlowCall(UiStation &s, QTimer &poll, const QString &path, const std::function<void()> &action)
{
    s.web->addFault(sim::FaultRule{path.toStdString(), sim::FaultAction::Answer, std::chrono::milliseconds(400), -1});
    const QPointer<JSON> session(s.window->service());
    const std::string prefix = QString(path).remove(QLatin1Char('*')).toStdString();
    QObject::connect(&poll, &QTimer::timeout, &poll, [&poll, &s, session, prefix, action] {
        const std::vector<sim::RecordedRequest> requests = s.web->requests();
        if (session && session->busy() > 0 && !requests.empty() && requests.back().path.rfind(prefix, 0) == 0) {
            poll.stop();
            action();
        }
    });
    poll.start(5);
}

} // namespace

class TestUi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initSealStationResources();
        qRegisterMetaType<JSON *>();
        qRegisterMetaType<eKeyCurrentStatus>();
    }
    void cleanup() { QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy)); }

    void start_showsNoKey_andPlugInEnablesLogin()
    {
        UiStation s(false);
        QCOMPARE(s.window->windowTitle(), QStringLiteral("Vesk"));
        QCOMPARE(s.statusText(), QStringLiteral("Key disconnected"));
        auto *keyState = s.find<QLabel>("lblKeyState");
        QCOMPARE(keyState->toolTip(), QStringLiteral("No key found"));
        QCOMPARE(keyState->pixmap(Qt::ReturnByValue).size(), QSize(24, 24));
        QVERIFY(s.find<QProgressBar>("keyProgress")->isHidden());
        QCOMPARE(s.find<QProgressBar>("keyProgress")->maximum(), 228);
        QVERIFY(s.find<QToolButton>("btnLogout")->isHidden());
        QVERIFY(!s.find<QPushButton>("btnLogin")->isEnabled());
        QCOMPARE(QApplication::focusWidget(), s.find<QWidget>("txtUsername"));

        s.key->plug();
        QTRY_VERIFY(s.find<QPushButton>("btnLogin")->isEnabled());
        QTRY_VERIFY(s.window->service());
        QCOMPARE(keyState->toolTip(), QStringLiteral("Key found"));
        QCOMPARE(s.find<QGroupBox>("groupLogin")->toolTip(),
                 QStringLiteral("Connecting to 127.0.0.1:%1").arg(s.web->port()));
    }

    void login_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("enterAgain");
        QTest::newRow("refused") << "wrong" << false;
        QTest::newRow("accepted") << "Pack2025" << false;
        QTest::newRow("Enter again while it runs") << "Pack2025" << true;
    }

    void login()
    {
        QFETCH(QString, password);
        QFETCH(bool, enterAgain);
        UiStation s;
        QSignalSpy failed(s.window->loginWidget(), &LoginWidget::loginFailed);
        QTimer poll;
        if (enterAgain)
            duringSlowCall(s, poll, QStringLiteral("/veskservice/login"),
                           [&s] { QTest::keyClick(s.find<QLineEdit>("txtPassword"), Qt::Key_Return); });
        const bool in = s.login(QStringLiteral("operator"), password);

        QCOMPARE(s.requestLines().count(QStringLiteral("POST /veskservice/login")), 1);
        QCOMPARE(s.find<QPushButton>("btnLogin")->text(), QStringLiteral("Login"));
        QCOMPARE(in, password == QLatin1String("Pack2025"));
        if (!in) {
            QCOMPARE(failed.count(), 1);
            QVERIFY(!failed.at(0).at(0).toString().isEmpty());
            QCOMPARE(s.find<QLabel>("lblLoginInfo")->text(), failed.at(0).at(0).toString());
            QVERIFY(s.find<QPushButton>("btnLogin")->isEnabled());
            return;
        }
        QCOMPARE(QApplication::focusWidget(), s.find<QWidget>("txtBarcode"));
        QVERIFY(s.find<QProgressBar>("keyProgress")->isVisible());
        QVERIFY(s.find<QToolButton>("btnLogout")->isEnabled());
    }

    void wholeBag_data()
    {
        QTest::addColumn<bool>("autoSeal");
        QTest::newRow("Pack pressed") << false;
        QTest::newRow("auto seal") << true;
    }

    void wholeBag()
    {
        QFETCH(bool, autoSeal);
        UiStation s(true, [autoSeal](Configuration &c) { c.setBoolean(QStringLiteral("autoseal"), autoSeal); });
        QVERIFY(s.login());
        s.key->presentLock(303659);
        s.web->clearRequests();
        s.key->clearRecord();
        s.scan(kMaths);
        QCOMPARE(s.find<QLabel>("lblSession")->text(), QStringLiteral("Mathematics Paper 1"));
        QCOMPARE(s.find<QLabel>("lblSchool")->text(), QStringLiteral("Greenfield High School"));
        QCOMPARE(s.find<QLabel>("lblStart")->text(), localTime(1762153200));
        QCOMPARE(s.find<QLabel>("lblEnd")->text(), localTime(1762164000));
        auto *pack = s.find<QPushButton>("btnPack");
        QCOMPARE(QApplication::focusWidget(), autoSeal ? s.find<QWidget>("txtBarcode") : pack);
        if (!autoSeal)
            QTest::keyClick(pack, Qt::Key_Space);

        QTRY_COMPARE(s.operationStyle(), kSuccess);
        QCOMPARE(s.requestLines(), (QStringList{kLink, kFind, kSeals, kSeal}));
        const sim::SealRow seal = s.web->seals().back();
        QCOMPARE(QString::fromStdString(seal.pointId + '/' + seal.tableId + '/' + seal.apId + '/' + seal.userId),
                 QStringLiteral("1021/3101/5101/17"));
        QCOMPARE(keyRequestTags(*s.key), (QList<int>{TAG_SCAN, TAG_CLOSE}));
        QTRY_VERIFY(pack->isEnabled());
        QCOMPARE(s.find<QProgressBar>("keyProgress")->value(), 228);
        QCOMPARE(s.find<QLineEdit>("txtBarcode")->selectedText(), kMaths);
    }

    void multipleSeals_data()
    {
        QTest::addColumn<bool>("ask");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<int>("inForce");
        const QString rename = QStringLiteral("PUT /veskservice/lock");
        const QString deassign = QStringLiteral("PUT /veskservice/examschedule/deassign/sub/center/");
        const QString assign = QStringLiteral("PUT /veskservice/examschedule/assign/sub/center/");
        QTest::newRow("Yes keeps the others")
            << true << int(QMessageBox::Yes) << QStringList{kFind, kSeals, kSeal} << 3;
        QTest::newRow("No replaces them")
            << true << int(QMessageBox::No)
            << QStringList{kFind, kSeals, kSeals, rename, rename, deassign, assign, kSeal} << 1;
        QTest::newRow("question switched off") << false << 0 << QStringList{kFind, kSeal} << 3;
    }

    void multipleSeals()
    {
        QFETCH(bool, ask);
        QFETCH(int, answer);
        QFETCH(QStringList, requests);
        QFETCH(int, inForce);
        UiStation s(true, [ask](Configuration &c) { c.setBoolean(QStringLiteral("mutiple.seal.dialogue"), ask); });
        QVERIFY(s.login());
        s.key->presentLock(303659);
        s.scan(kPacked);
        s.web->clearRequests();
        QString question;
        if (answer)
            answerNextModal([&question, answer](QWidget *modal) {
                auto *box = qobject_cast<QMessageBox *>(modal);
                QVERIFY(box);
                question = box->windowTitle() + QLatin1Char('|') + box->text();
                box->button(QMessageBox::StandardButton(answer))->click();
            });
        QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);
        QTRY_COMPARE(s.operationStyle(), kSuccess);
        if (answer)
            QCOMPARE(question,
                     QStringLiteral("Multiple seals detected|Subject already packed, seal an additional bag?"));
        QCOMPARE(s.requestLines(), requests);
        QCOMPARE(s.sealsInForce("1034", "3101"), inForce);
        if (answer == QMessageBox::No)
            QCOMPARE(QString::fromStdString(s.web->lock("5104")->description), QStringLiteral("303662"));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("barcode");
        QTest::addColumn<qulonglong>("rf"); // 0: no lock in front of the key
        QTest::addColumn<QString>("keyText");
        QTest::addColumn<QString>("message"); // empty: not checked
        QTest::addColumn<QString>("style");
        QTest::addColumn<int>("seals");
        QTest::newRow("Pack before a scan") << "" << 303659ull << ""
                                            << "Please scan a bag first." << kWarning << 0;
        QTest::newRow("no tag on the lock") << kMaths << 0ull << ""
                                            << "Could not find a seal." << kFailure << 0;
        QTest::newRow("unknown lock") << kMaths << 999999ull << ""
                                      << "Could not read tag, please try again." << kFailure << 0;
        QTest::newRow("seal refused") << kMaths << 411872ull << ""
                                      << "Could not link seal subject pair" << kFailure << 0;
        QTest::newRow("pending lock validated") << kMaths << 411873ull << ""
                                                << "" << kSuccess << 1;
        QTest::newRow("key reports a failure") << kMaths << 303659ull << "Lock jammed"
                                               << "" << kFailure << 1;
        QTest::newRow("Un-plug USB first") << kMaths << 303659ull << "Un-plug USB first"
                                           << "" << QString() << 1;
    }

    void failures()
    {
        QFETCH(QString, barcode);
        QFETCH(qulonglong, rf);
        QFETCH(QString, keyText);
        QFETCH(QString, message);
        QFETCH(QString, style);
        QFETCH(int, seals);
        UiStation s;
        QVERIFY(s.login());
        if (rf)
            s.key->presentLock(rf);
        if (!keyText.isEmpty())
            s.key->failNextOperation(keyText);
        if (!barcode.isEmpty())
            s.scan(barcode);
        QSignalSpy statuses(s.window->sealWidget(), &SealWidget::statusMessage);
        auto *pack = s.find<QPushButton>("btnPack");
        QTest::mouseClick(pack, Qt::LeftButton);
        QTRY_VERIFY(pack->isEnabled() && s.find<QPushButton>("btnUnlock")->isEnabled());
        QTRY_COMPARE(s.operationStyle(), style);
        if (!message.isEmpty())
            QTRY_COMPARE(statuses.count() ? statuses.last().at(0).toString() : QString(), message);
        QCOMPARE(s.sealsInForce("1021", "3101"), seals);
        if (rf == 411873)
            QVERIFY(s.requestLines().contains(QStringLiteral("PUT /veskservice/lock/validate")));
    }

    void noTagWithinRetries_givesUp()
    {
        UiStation s;
        QVERIFY(s.login());
        s.window->sealWidget()->setTagTimerInterval(30);
        s.scan(kMaths);
        s.key->unplug(); // a key that never answers
        QTRY_COMPARE(s.statusText(), QStringLiteral("Key disconnected"));
        QSignalSpy statuses(s.linker.get(), &cLinker::updateStatus);
        QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);
        QTRY_COMPARE(s.statusText(), QStringLiteral("Could not find a seal."));
        QCOMPARE(statuses.count(), 3); // "Reading tag..." at the press and after two time-outs
        QCOMPARE(s.operationStyle(), kFailure);
        QVERIFY(s.find<QPushButton>("btnPack")->isEnabled());
    }

    void unlock_opensTheLock()
    {
        UiStation s;
        QVERIFY(s.login());
        s.web->clearRequests();
        s.key->clearRecord();
        QTest::keyClick(s.window.get(), Qt::Key_U, Qt::ControlModifier);
        QTRY_COMPARE(s.operationStyle(), kSuccess);
        QCOMPARE(keyRequestTags(*s.key), QList<int>{TAG_OPEN});
        QVERIFY(s.requestLines().isEmpty());
    }

    void keyBusy_data()
    {
        QTest::addColumn<int>("progress");
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<int>("bar");
        QTest::newRow("127") << 127 << QList<int>{OPERATION_BUSY} << 127;
        QTest::newRow("128") << 128 << QList<int>{OPERATION_DONE, TRANSFER_STARTED} << 228;
        QTest::newRow("129") << 129 << QList<int>{TRANSFER_BUSY} << 129;
    }

    void keyBusy()
    {
        QFETCH(int, progress);
        QFETCH(QList<int>, statuses);
        QFETCH(int, bar);
        UiStation s(false);
        QSignalSpy spy(s.window.get(), &PackingWindow::keyCurrentStatus);
        s.window->keyBusy(uint8_t(progress));
        QList<int> seen;
        for (const QVariantList &args : spy)
            seen << args.at(0).value<eKeyCurrentStatus>();
        QCOMPARE(seen, statuses);
        QCOMPARE(s.find<QProgressBar>("keyProgress")->value(), bar);
    }

    void logout_data()
    {
        QTest::addColumn<bool>("keyPlugged");
        QTest::newRow("key plugged") << true;
        QTest::newRow("key unplugged") << false;
    }

    void logout()
    {
        QFETCH(bool, keyPlugged);
        UiStation s;
        QVERIFY(s.login());
        if (!keyPlugged) {
            s.key->unplug();
            QTRY_COMPARE(s.statusText(), QStringLiteral("Key disconnected"));
        }
        const QPointer<JSON> old(s.window->service());
        QSignalSpy deleted(s.window.get(), &PackingWindow::serviceDeleted);
        QSignalSpy created(s.window.get(), &PackingWindow::serviceCreated);
        QTest::mouseClick(s.find<QToolButton>("btnLogout"), Qt::LeftButton);

        QCOMPARE(s.window->currentMode(), PackingWindow::Mode::Login);
        QVERIFY(s.find<QToolButton>("btnLogout")->isHidden() && s.find<QProgressBar>("keyProgress")->isHidden());
        QVERIFY(old.isNull());
        QCOMPARE(deleted.count(), 1);
        QCOMPARE(created.count(), keyPlugged ? 1 : 0);
        QCOMPARE(s.find<QGroupBox>("groupLogin")->toolTip().startsWith(QLatin1String("Connecting to ")), keyPlugged);
    }

    void logoutDuringCall_data()
    {
        QTest::addColumn<QString>("slowPath");
        QTest::addColumn<int>("seals"); // recorded by the service although nobody waits for the answer
        QTest::newRow("link") << "/veskservice/examschedule/link/subject/to/center" << 0;
        QTest::newRow("lock lookup") << "/veskservice/lock/find/by/rf/*" << 0;
        QTest::newRow("seal record") << "/veskservice/timetable/seal" << 1;
    }

    void logoutDuringCall()
    {
        QFETCH(QString, slowPath);
        QFETCH(int, seals);
        UiStation s;
        QVERIFY(s.login());
        s.key->presentLock(303659);
        const bool linking = slowPath.contains(QLatin1String("link"));
        if (!linking)
            s.scan(kMaths);
        s.key->clearRecord();
        const QPointer<JSON> old(s.window->service());
        bool keptWhileWaiting = false;
        QTimer poll;
        duringSlowCall(s, poll, slowPath, [&] {
            QTest::mouseClick(s.find<QToolButton>("btnLogout"), Qt::LeftButton);
            keptWhileWaiting = !old.isNull() && s.window->currentMode() == PackingWindow::Mode::Login;
        });
        if (linking)
            s.scan(kMaths);
        else
            QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);

        QTRY_VERIFY(keptWhileWaiting);
        QTRY_VERIFY(old.isNull()); // released once its call has returned
        QVERIFY(s.window->service());
        QCOMPARE(s.sealsInForce("1021", "3101"), seals);
        QVERIFY(!keyRequestTags(*s.key).contains(TAG_CLOSE));
        // Nothing went on with the fresh, signed-out session.
        QVERIFY(s.requestLines().constLast().section(' ', 1).startsWith(slowPath.section('*', 0, 0)));
        QVERIFY(s.operationStyle().isEmpty());
        QCOMPARE(s.find<QLabel>("lblSession")->text().isEmpty(), linking); // a link that returned late shows nothing
        QCOMPARE(s.window->sealWidget()->operation(), SealWidget::OperationNone);
        QVERIFY(s.find<QPushButton>("btnPack")->isEnabled());
    }

    void keyReportDuringCall_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::newRow("a second tag read") << false;
        QTest::newRow("key unplugged") << true;
    }

    void keyReportDuringCall()
    {
        QFETCH(bool, unplug);
        UiStation s;
        QVERIFY(s.login());
        s.key->presentLock(303659);
        s.scan(kMaths);
        s.web->clearRequests();
        QTimer poll;
        duringSlowCall(s, poll, QStringLiteral("/veskservice/lock/find/by/rf/*"),
                       [&] { unplug ? s.key->unplug() : s.linker->requestScanTag(); });
        QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);

        QTRY_COMPARE(s.sealsInForce("1021", "3101"), 1);
        QTRY_COMPARE(s.window->service()->busy(), 0);
        QCOMPARE(s.requestLines().count(kFind), 1);
        if (unplug)
            QCOMPARE(s.find<QLabel>("lblKeyState")->toolTip(), QStringLiteral("No key found"));
        else
            QTRY_COMPARE(s.operationStyle(), kSuccess);
    }

    // Without the key's confirmation the lock may still be open: the page must not keep waiting.
    void keyLostBeforeConfirmation_data()
    {
        QTest::addColumn<bool>("sealing");
        QTest::newRow("while closing") << true;
        QTest::newRow("while opening") << false;
    }

    void keyLostBeforeConfirmation()
    {
        QFETCH(bool, sealing);
        UiStation s;
        QVERIFY(s.login());
        s.key->setStepDelay(5000);
        s.key->presentLock(303659);
        s.scan(kMaths);
        s.key->clearRecord();
        if (sealing)
            QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);
        else
            QTest::keyClick(s.window.get(), Qt::Key_U, Qt::ControlModifier);
        QTRY_VERIFY(keyRequestTags(*s.key).contains(sealing ? TAG_CLOSE : TAG_OPEN));
        s.key->unplug();
        QTRY_COMPARE(s.operationStyle(), kFailure);
        QCOMPARE(s.window->sealWidget()->operation(), SealWidget::OperationNone);
        QVERIFY(s.find<QPushButton>("btnPack")->isEnabled());
    }

    void tagIgnored_data()
    {
        QTest::addColumn<bool>("loggedOut");
        QTest::addColumn<QString>("log");
        QTest::newRow("no bag linked") << false << "No linked bag, tag ignored: 303659";
        QTest::newRow("no session after a logout") << true << "No service session, tag ignored: 303659";
    }

    void tagIgnored()
    {
        QFETCH(bool, loggedOut);
        QFETCH(QString, log);
        UiStation s;
        QVERIFY(s.login());
        s.key->presentLock(303659);
        if (loggedOut) {
            s.scan(kMaths);
            s.key->unplug();
            QTRY_COMPARE(s.statusText(), QStringLiteral("Key disconnected"));
            QTest::mouseClick(s.find<QToolButton>("btnLogout"), Qt::LeftButton);
        }
        s.web->clearRequests();
        LogCapture capture;
        if (loggedOut) // the key is gone, so the report is handed over directly
            s.window->sealWidget()->tagReadSuccess(QStringLiteral("303659"));
        else
            s.linker->requestScanTag();
        QTRY_COMPARE(capture.count(log), 1);
        QVERIFY(s.requestLines().isEmpty());
        QVERIFY(s.operationStyle().isEmpty());
    }

    void scanWhileLinkWaits_isRefused()
    {
        UiStation s;
        QVERIFY(s.login());
        QString status;
        QTimer poll;
        duringSlowCall(s, poll, QStringLiteral("/veskservice/examschedule/link/subject/to/center"), [&] {
            s.scan(QStringLiteral("2531021021"));
            status = s.statusText();
        });
        s.scan(kMaths);
        QCOMPARE(status, QStringLiteral("Already busy linking subject and school!"));
        QCOMPARE(s.requestLines().count(kLink), 1);
        QCOMPARE(s.find<QLabel>("lblSession")->text(), QStringLiteral("Mathematics Paper 1"));
    }

    void about_showsVersionAndBuildTime()
    {
        UiStation s(false);
        QString text;
        answerNextModal([&text](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            QVERIFY(box && box->windowTitle().isEmpty() && box->icon() == QMessageBox::Information);
            text = box->text();
            box->accept();
        });
        s.find<QAction>("actionAbout")->trigger();
        const QRegularExpression shape(QStringLiteral("^Version: 1\\.0\\.4\n\nBuild date: [A-Z][a-z]{2} [ 123]\\d "
                                                      "\\d{4} \\d\\d:\\d\\d:\\d\\d$"));
        QVERIFY2(shape.match(text).hasMatch(), qPrintable(text));
    }

    void settings_storedProxyAppliedAtStart_andMenuChangesIt()
    {
        UiStation s(false, [](Configuration &c) {
            c.setInteger(QStringLiteral("proxytype"), 2);
            c.setString(QStringLiteral("proxyhost"), QStringLiteral("proxy.lan"));
            c.setInteger(QStringLiteral("proxyport"), 3128);
            c.setString(QStringLiteral("proxyuser"), QStringLiteral("op"));
        });
        QNetworkProxy proxy = QNetworkProxy::applicationProxy();
        QCOMPARE(proxy.type(), QNetworkProxy::HttpProxy);
        QCOMPARE(proxy.hostName() + QLatin1Char(':') + QString::number(proxy.port()) + QLatin1Char(' ') + proxy.user(),
                 QStringLiteral("proxy.lan:3128 op"));

        answerNextModal([](QWidget *dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Application settings"));
            QVERIFY(dialog->findChild<QRadioButton *>(QStringLiteral("rbnDefine"))->isChecked());
            dialog->findChild<QRadioButton *>(QStringLiteral("rbnNo"))->click();
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        });
        s.find<QAction>("action_Settings")->trigger();
        QCOMPARE(QNetworkProxy::applicationProxy().type(), QNetworkProxy::NoProxy);
        QCOMPARE(s.config->getInteger(QStringLiteral("proxytype"), -1), 0);
    }
};

QTEST_MAIN(TestUi)
#include "test_ui.moc"
