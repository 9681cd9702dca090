#include "app/configuration.h"
#include "app/resources.h"
#include "key/clinker.h"
#include "key/kcodec.h"
#include "service/json.h"
#include "sim/emulatedkey.h"
#include "sim/webservice.h"
#include "support/cannedhttpserver.h"
#include "support/failfast.h"
#include "support/uistation.h"
#include "ui/cachedframestyle.h"
#include "ui/loginwidget.h"
#include "ui/sealwidget.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyleFactory>
#include <QStyleOptionFrame>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QToolButton>

#include <chrono>
#include <memory>
#include <tuple>

namespace {

const QString &kSuccess = kSuccessLook;
const QString &kFailure = kFailureLook;
const QString &kWarning = kWarningLook;
const QString kMaths = QStringLiteral("2531011021");  // Greenfield High School, point 1021, table 3101
const QString kPacked = QStringLiteral("2531011034"); // already sealed twice with locks 5104 and 5105
const QString kLink = QStringLiteral("PUT /veskservice/examschedule/link/subject/to/center");
const QString kFind = QStringLiteral("GET /veskservice/lock/find/by/rf/303659");
const QString kSeals = QStringLiteral("GET /veskservice/examschedule/ap");
const QString kSeal = QStringLiteral("PUT /veskservice/timetable/seal");
const QString kNotClosed =
    QStringLiteral("Key disconnected: the lock was not closed. Pack the bag again once the key is back.");

QString localTime(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toLocalTime().toString(QStringLiteral("dd/MM/yyyy hh:mm"));
}

// What a tool tip or label puts on the screen for its text.
QString shownText(const QString &text, Qt::TextFormat format = Qt::AutoText)
{
    const bool rich = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text));
    return rich ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
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
    }
    void init() { m_failFast.init(); }
    void cleanup()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        m_failFast.cleanup();
    }

    // Login waits for the key; a refused login says why, and Enter pressed again while the
    // next one runs sends no second request.
    void start_andLogin()
    {
        UiStation s(false);
        QCOMPARE(s.window->windowTitle(), QStringLiteral("Vesk"));
        QCOMPARE(s.statusText(), QStringLiteral("Key disconnected"));
        auto *keyState = s.find<QLabel>("lblKeyState");
        QCOMPARE(keyState->toolTip(), QStringLiteral("No key found"));
        QVERIFY(s.find<QProgressBar>("keyProgress")->isHidden());
        QVERIFY(s.find<QToolButton>("btnLogout")->isHidden());
        QVERIFY(!s.find<QPushButton>("btnLogin")->isEnabled());
        QCOMPARE(QApplication::focusWidget(), s.find<QWidget>("txtUsername"));

        s.key->plug();
        QVERIFY(!s.login(QStringLiteral("operator"), QStringLiteral("wrong")));
        QCOMPARE(keyState->toolTip(), QStringLiteral("Key found"));
        QVERIFY(!s.find<QLabel>("lblLoginInfo")->text().isEmpty());
        QCOMPARE(s.find<QPushButton>("btnLogin")->text(), QStringLiteral("Login"));
        QTimer poll;
        duringSlowCall(s, poll, QStringLiteral("/veskservice/login"),
                       [&s] { QTest::keyClick(s.find<QLineEdit>("txtPassword"), Qt::Key_Return); });
        QVERIFY(s.login());
        QCOMPARE(s.requestLines().count(QStringLiteral("POST /veskservice/login")), 2);
        QCOMPARE(QApplication::focusWidget(), s.find<QWidget>("txtBarcode"));
        QVERIFY(s.find<QProgressBar>("keyProgress")->isVisible());
        QVERIFY(s.find<QToolButton>("btnLogout")->isEnabled());
    }

    // A bag from its scan to the closed lock. A bag sealed before asks whether the earlier seals
    // stay; replacing them voids them and renames their locks after their tags.
    void pack_data()
    {
        QTest::addColumn<QString>("barcode");
        QTest::addColumn<bool>("autoSeal");
        QTest::addColumn<int>("answer");           // 0: no question asked, -1: the question is switched off
        QTest::addColumn<QStringList>("requests"); // after the link
        QTest::addColumn<QString>("seals");        // at the school, "-" voided
        QTest::addColumn<QString>("descriptions"); // of the locks 5104 and 5105 that sealed the earlier bags
        const QString rename = QStringLiteral("PUT /veskservice/lock");
        const QString deassign = QStringLiteral("PUT /veskservice/examschedule/deassign/sub/center/");
        const QString assign = QStringLiteral("PUT /veskservice/examschedule/assign/sub/center/");
        const QStringList plain{kFind, kSeals, kSeal};
        const QString all = QStringLiteral("5104 5105 5101");
        const QString kept = QStringLiteral("Padlock 5104|Padlock 5105");
        QTest::newRow("Pack pressed") << kMaths << false << 0 << plain << "5101" << kept;
        QTest::newRow("auto seal") << kMaths << true << 0 << plain << "5101" << kept;
        QTest::newRow("Yes keeps the others") << kPacked << false << int(QMessageBox::Yes) << plain << all << kept;
        QTest::newRow("No replaces them")
            << kPacked << false << int(QMessageBox::No)
            << QStringList{kFind, kSeals, kSeals, rename, rename, deassign, assign, kSeal} << "5104- 5105- 5101"
            << "303662|303663";
        QTest::newRow("question switched off") << kPacked << false << -1 << QStringList{kFind, kSeal} << all << kept;
    }

    void pack()
    {
        QFETCH(QString, barcode);
        QFETCH(bool, autoSeal);
        QFETCH(int, answer);
        QFETCH(QStringList, requests);
        QFETCH(QString, seals);
        QFETCH(QString, descriptions);
        UiStation s(true, [autoSeal, answer](Configuration &c) {
            c.setBoolean(QStringLiteral("autoseal"), autoSeal);
            c.setBoolean(QStringLiteral("mutiple.seal.dialogue"), answer >= 0);
        });
        QVERIFY(s.login());
        s.key->presentLock(303659);
        s.web->clearRequests();
        s.key->clearRecord();
        QString question;
        std::unique_ptr<ModalAnswer> answering;
        if (answer > 0)
            answering = answerNextModal([&question, answer](QWidget *modal) {
                auto *box = qobject_cast<QMessageBox *>(modal);
                QVERIFY(box);
                question = box->windowTitle() + QLatin1Char('|') + box->text();
                box->button(QMessageBox::StandardButton(answer))->click();
            });
        s.scan(barcode);
        const QString point = barcode.right(4);
        QCOMPARE(s.find<QLabel>("lblSession")->text(), QStringLiteral("Mathematics Paper 1"));
        QCOMPARE(s.find<QLabel>("lblSchool")->text(), point == QLatin1String("1021")
                                                          ? QStringLiteral("Greenfield High School")
                                                          : QStringLiteral("Riverside College"));
        QCOMPARE(s.find<QLabel>("lblStart")->text(), localTime(1762153200));
        QCOMPARE(s.find<QLabel>("lblEnd")->text(), localTime(1762164000));
        auto *pack = s.find<QPushButton>("btnPack");
        QCOMPARE(QApplication::focusWidget(), autoSeal ? s.find<QWidget>("txtBarcode") : pack);
        // A disabled Pack must not hand the focus on to Logout, where a second Space logs out.
        bool logoutFocused = false;
        QObject watch;
        QObject::connect(qApp, &QApplication::focusChanged, &watch,
                         [&, logout = s.find<QWidget>("btnLogout")](QWidget *, QWidget *now) {
                             logoutFocused = logoutFocused || now == logout;
                         });
        if (!autoSeal)
            QTest::keyClick(pack, Qt::Key_Space);

        UI_TRY_COMPARE(s.operationStyle(), kSuccess);
        if (answer > 0)
            QCOMPARE(question,
                     QStringLiteral("Multiple seals detected|Subject already packed, seal an additional bag?"));
        QCOMPARE(s.requestLines(), QStringList{kLink} + requests);
        QCOMPARE(s.seals(point.toStdString()), seals);
        QCOMPARE(QString::fromStdString(s.web->lock("5104")->description + '|' + s.web->lock("5105")->description),
                 descriptions);
        const sim::SealRow seal = s.web->seals().back();
        QCOMPARE(QString::fromStdString(seal.pointId + '/' + seal.tableId + '/' + seal.apId + '/' + seal.userId),
                 point + QStringLiteral("/3101/5101/17"));
        QCOMPARE(keyRequestTags(*s.key), (QList<int>{TAG_SCAN, TAG_CLOSE}));
        UI_TRY_VERIFY(pack->isEnabled());
        QCOMPARE(s.find<QProgressBar>("keyProgress")->value(), 228);
        QCOMPARE(s.find<QLineEdit>("txtBarcode")->selectedText(), barcode);
        QCOMPARE(s.window->focusWidget(), s.find<QWidget>("txtBarcode"));
        QVERIFY(!logoutFocused);
    }

    void failures_data()
    {
        QTest::addColumn<qulonglong>("rf"); // 0: no lock in front of the key
        QTest::addColumn<QString>("keyText");
        QTest::addColumn<QString>("style");
        QTest::addColumn<QString>("message"); // empty: not checked
        QTest::addColumn<QString>("seals");
        const QString none;
        QTest::newRow("no tag on the lock") << 0ull << none << kFailure << "Could not find a seal." << none;
        QTest::newRow("key unplugged") << 0ull << "unplug" << kFailure << "Could not find a seal." << none;
        QTest::newRow("key never answers") << 303659ull << "silent" << kFailure << "Could not find a seal." << none;
        QTest::newRow("unknown lock") << 999999ull << none << kFailure << "Could not read tag, please try again."
                                      << none;
        QTest::newRow("seal refused") << 411872ull << none << kFailure << "Could not link seal subject pair" << none;
        QTest::newRow("pending lock validated") << 411873ull << none << kSuccess << none << "5108";
        QTest::newRow("key reports a failure") << 303659ull << "Lock jammed" << kFailure << none << "5101";
        QTest::newRow("Un-plug USB first") << 303659ull << "Un-plug USB first" << none << none << "5101";
        // The key breaks its lines with CR LF; "Please wait" and three characters is no failure.
        QTest::newRow("Please wait on two lines") << 303659ull << "Please wait\r\n." << none << none << "5101";
    }

    void failures()
    {
        QFETCH(qulonglong, rf);
        QFETCH(QString, keyText);
        QFETCH(QString, message);
        QFETCH(QString, style);
        QFETCH(QString, seals);
        UiStation s;
        QVERIFY(s.loginAndScan(kMaths, rf));
        const bool plugged = keyText == QLatin1String("silent");
        const bool silent = plugged || keyText == QLatin1String("unplug");
        if (silent) { // the tag timer gives up after two retries
            s.window->sealWidget()->setTagTimerInterval(30);
            if (plugged) {
                s.key->setAnswering(false);
            } else {
                s.key->unplug();
                UI_TRY_COMPARE(s.statusText(), QStringLiteral("Key disconnected"));
            }
        } else if (!keyText.isEmpty()) {
            s.key->failNextOperation(keyText);
        }
        QSignalSpy statuses(s.linker.get(), &cLinker::updateStatus);
        auto *pack = s.find<QPushButton>("btnPack");
        QTest::keyClick(pack, Qt::Key_Space);
        UI_TRY_VERIFY(pack->isEnabled() && s.find<QPushButton>("btnUnlock")->isEnabled());
        UI_TRY_COMPARE(s.operationStyle(), style);
        // After a failure Pack has the focus again, so that Space tries once more.
        QCOMPARE(QApplication::focusWidget(), style == kSuccess ? s.find<QWidget>("txtBarcode") : pack);
        if (!message.isEmpty())
            UI_TRY_COMPARE(s.statusText(), message);
        QCOMPARE(s.seals("1021"), seals);
        if (silent)
            QCOMPARE(statuses.count(), 3); // "Reading tag..." at the press and after two time-outs
        if (plugged)
            UI_TRY_COMPARE(keyRequestTags(*s.key), (QList<int>{TAG_SCAN, TAG_SCAN, TAG_SCAN}));
        if (rf == 411873)
            QVERIFY(s.requestLines().contains(QStringLiteral("PUT /veskservice/lock/validate")));
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
        QVERIFY(s.loginAndScan(kMaths));
        if (!keyPlugged) {
            s.key->unplug();
            UI_TRY_COMPARE(s.statusText(), QStringLiteral("Key disconnected"));
        }
        const QPointer<JSON> old(s.window->service());
        QTest::mouseClick(s.find<QToolButton>("btnLogout"), Qt::LeftButton);

        QCOMPARE(s.window->currentMode(), PackingWindow::Mode::Login);
        QVERIFY(s.find<QToolButton>("btnLogout")->isHidden() && s.find<QProgressBar>("keyProgress")->isHidden());
        QVERIFY(old.isNull());
        QCOMPARE(s.find<QGroupBox>("groupLogin")->toolTip().startsWith(QLatin1String("Connecting to ")), keyPlugged);
        for (const char *label : {"lblSession", "lblSchool", "lblStart", "lblEnd"})
            QVERIFY2(s.find<QLabel>(label)->text().isEmpty(), label);
        // The next operator's Pack must not seal the bag the previous one linked, and a tag read
        // with no bag linked, or with no session at all, records and closes nothing.
        if (keyPlugged) {
            QVERIFY(s.login(QStringLiteral("jsmith"), QStringLiteral("Welcome1")));
            s.web->clearRequests();
            s.key->clearRecord();
            QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);
            QCOMPARE(s.statusText(), QStringLiteral("Please scan a bag first."));
            QSignalSpy read(s.linker.get(), &cLinker::tagReadSuccess);
            s.linker->requestScanTag();
            QVERIFY(read.wait(kUiWaitMs));
        } else { // the key is gone, so the report is handed over directly
            s.web->clearRequests();
            s.window->sealWidget()->tagReadSuccess(QStringLiteral("303659"));
        }
        QVERIFY(s.requestLines().isEmpty());
        QCOMPARE(keyRequestTags(*s.key), keyPlugged ? QList<int>{TAG_SCAN} : QList<int>{});
        QCOMPARE(s.operationStyle(), keyPlugged ? kWarning : QString());
    }

    // While the link of a scan waits there is no bag yet: a second scan is refused, Pack warns.
    // Logout is refused while a seal is recorded, so that the record, the renames and the close
    // all run with the session that began them.
    void duringCall_data()
    {
        QTest::addColumn<QString>("slowPath");
        QTest::addColumn<QString>("barcode");
        QTest::addColumn<QString>("press");  // while the call waits; "scan" scans another bag
        QTest::addColumn<QString>("status"); // right after the press; empty: logged out
        QTest::addColumn<QString>("style");  // once all is done
        QTest::addColumn<QString>("seals");  // at the bag's school afterwards, "-" voided
        const QString link = QStringLiteral("/veskservice/examschedule/link/subject/to/center");
        const QString busy = QStringLiteral("A seal is being recorded. Please log out once it is done.");
        const QString none;
        QTest::newRow("logout during link") << link << kMaths << "btnLogout" << none << none << none;
        QTest::newRow("logout during rename after No")
            << "/veskservice/lock" << kPacked << "btnLogout" << busy << kSuccess << "5104- 5105- 5101";
        QTest::newRow("logout during seal record")
            << "/veskservice/timetable/seal" << kMaths << "btnLogout" << busy << kSuccess << "5101";
        QTest::newRow("second scan during link") << link << kMaths << "scan"
                                                 << "Already busy linking subject and school!" << none << none;
        QTest::newRow("Pack during link") << link << kMaths << "btnPack"
                                          << "Please scan a bag first." << kWarning << none;
    }

    void duringCall()
    {
        QFETCH(QString, slowPath);
        QFETCH(QString, barcode);
        QFETCH(QString, press);
        QFETCH(QString, status);
        QFETCH(QString, style);
        QFETCH(QString, seals);
        UiStation s;
        const bool linking = slowPath.contains(QLatin1String("link"));
        QVERIFY(linking ? s.login() : s.loginAndScan(barcode));
        s.key->clearRecord();
        std::unique_ptr<ModalAnswer> answering;
        if (barcode == kPacked)
            answering = answerNextModal(
                [](QWidget *box) { qobject_cast<QMessageBox *>(box)->button(QMessageBox::No)->click(); });
        const QPointer<JSON> old(s.window->service());
        bool loggedOut = false;
        QString shownStatus;
        QTimer poll;
        duringSlowCall(s, poll, slowPath, [&] {
            if (press == QLatin1String("scan"))
                s.scan(QStringLiteral("2531021021"));
            else
                QTest::mouseClick(s.find<QAbstractButton>(qPrintable(press)), Qt::LeftButton);
            loggedOut = !old.isNull() && s.window->currentMode() == PackingWindow::Mode::Login;
            shownStatus = s.statusText();
        });
        if (linking)
            s.scan(barcode);
        else
            QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);

        UI_TRY_VERIFY(!poll.isActive()); // the press happened
        QCOMPARE(loggedOut, status.isEmpty());
        UI_TRY_COMPARE(s.operationStyle(), style);
        if (loggedOut) {
            UI_TRY_VERIFY(old.isNull()); // released once its call has returned
            QVERIFY(s.window->service());
            // Nothing went on with the fresh, signed-out session.
            QVERIFY(s.requestLines().constLast().endsWith(slowPath));
        } else {
            QCOMPARE(shownStatus, status);
            QCOMPARE(s.window->service(), old.data());
        }
        if (linking) // a link that returned late shows nothing
            QCOMPARE(s.find<QLabel>("lblSession")->text(),
                     loggedOut ? QString() : QStringLiteral("Mathematics Paper 1"));
        QCOMPARE(s.requestLines().count(kLink), linking ? 1 : 0);
        const QList<int> tags = linking ? QList<int>() : QList<int>{TAG_SCAN, TAG_CLOSE};
        QCOMPARE(keyRequestTags(*s.key), tags);
        QCOMPARE(s.seals(barcode.right(4).toStdString()), seals);
        QCOMPARE(s.window->sealWidget()->operation(), SealWidget::OperationNone);
        UI_TRY_VERIFY(s.find<QPushButton>("btnPack")->isEnabled());
    }

    // Key reports that come while a Pack records its seal or closes the lock. Whatever happens,
    // one Pack makes at most one seal record and one close, and a lock left open is reported.
    void keyEventDuringSeal_data()
    {
        QTest::addColumn<QString>("phase"); // "lookup" and "record" wait on the service
        QTest::addColumn<QString>("style");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("message"); // empty: not checked
        QTest::addColumn<int>("closes");
        const QString none;
        QTest::newRow("second tag read during lookup") << "lookup" << kSuccess << "tag" << none << 1;
        QTest::newRow("second tag read while closing") << "closing" << kSuccess << "tag" << none << 1;
        QTest::newRow("failed tag read while closing") << "closing" << kSuccess << "no tag" << none << 1;
        QTest::newRow("key unplugged during lookup") << "lookup" << kFailure << "unplug" << kNotClosed << 0;
        QTest::newRow("key unplugged during seal record") << "record" << kFailure << "unplug" << kNotClosed << 0;
        // The key that comes back may hold another lock by now: it is not told to close.
        QTest::newRow("key unplugged and back during seal record")
            << "record" << kFailure << "replug" << kNotClosed << 0;
        QTest::newRow("key unplugged while closing") << "closing" << kFailure << "unplug" << kNotClosed << 1;
        QTest::newRow("unlock") << "opening" << kSuccess << none << none << 0;
        QTest::newRow("key unplugged while opening") << "opening" << kFailure << "unplug"
                                                     << "Key disconnected before the lock confirmed it was open." << 0;
    }

    void keyEventDuringSeal()
    {
        QFETCH(QString, phase);
        QFETCH(QString, event);
        QFETCH(QString, style);
        QFETCH(QString, message);
        QFETCH(int, closes);
        UiStation s;
        QVERIFY(s.loginAndScan(kMaths));
        const auto fire = [&s, event] {
            if (event == QLatin1String("replug")) {
                QSignalSpy reports(s.linker.get(), &cLinker::usbConnected);
                s.key->unplug();
                QVERIFY(reports.wait(kUiWaitMs));
                s.key->plug();
                QVERIFY(QTest::qWaitFor([&reports] { return reports.count() >= 2 && reports.last().at(0).toBool(); },
                                        kUiWaitMs));
            }
            if (event == QLatin1String("unplug"))
                s.key->unplug();
            else if (event == QLatin1String("no tag"))
                s.key->removeLock();
            if (event.contains(QLatin1String("tag")))
                s.linker->requestScanTag();
        };
        QSignalSpy keyReports(s.linker.get(), &cLinker::usbConnected);
        QTimer poll;
        if (phase == QLatin1String("lookup") || phase == QLatin1String("record"))
            duringSlowCall(s, poll,
                           phase == QLatin1String("lookup") ? QStringLiteral("/veskservice/lock/find/by/rf/*")
                                                            : QStringLiteral("/veskservice/timetable/seal"),
                           fire);
        else if (!event.isEmpty())
            s.key->setStepDelay(250); // the key's answer comes 1 s after the close or open
        const bool opening = phase == QLatin1String("opening");
        if (opening)
            QTest::keyClick(s.window.get(), Qt::Key_U, Qt::ControlModifier);
        else
            QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);
        if (phase == QLatin1String("closing") || opening) {
            UI_TRY_VERIFY(keyRequestTags(*s.key).contains(opening ? TAG_OPEN : TAG_CLOSE));
            fire();
        }

        UI_TRY_COMPARE(s.operationStyle(), style);
        UI_TRY_VERIFY(s.find<QPushButton>("btnPack")->isEnabled() && s.find<QPushButton>("btnUnlock")->isEnabled());
        if (!message.isEmpty()) {
            // The transport reports the loss again after its next look; the message must stay.
            QVERIFY(QTest::qWaitFor([&keyReports] { return keyReports.count() >= 2; }, kUiWaitMs));
            QCOMPARE(s.statusText(), message);
        }
        QCOMPARE(s.window->sealWidget()->operation(), SealWidget::OperationNone);
        QCOMPARE(s.requestLines().count(kSeal), opening ? 0 : 1);
        QCOMPARE(keyRequestTags(*s.key).count(TAG_CLOSE), closes);
        QVERIFY(!opening || s.requestLines().isEmpty());
        if (event != QLatin1String("unplug") || opening)
            return;

        // Once the key is back, Pack closes the same bag without a new scan; the service keeps one seal.
        s.key->setStepDelay(0);
        s.key->plug();
        UI_TRY_COMPARE(s.find<QLabel>("lblKeyState")->toolTip(), QStringLiteral("Key found"));
        QTest::mouseClick(s.find<QPushButton>("btnPack"), Qt::LeftButton);
        UI_TRY_COMPARE(s.operationStyle(), kSuccess);
        QCOMPARE(keyRequestTags(*s.key).count(TAG_CLOSE), closes + 1);
        QCOMPARE(s.requestLines().count(kLink), 0);
        QCOMPARE(s.seals("1021"), QStringLiteral("5101"));
    }

    // The barcode field's frame comes from a cache; every state must look as the style draws it.
    void barcodeFrame_drawnAsTheStyleDrawsIt()
    {
        CachedFrameStyle cached(QStyleFactory::create(QStringLiteral("fusion")));
        const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("fusion")));
        QPalette red = QApplication::palette();
        red.setColor(QPalette::Highlight, Qt::red);
        const QStyle::State focused = QStyle::State_Enabled | QStyle::State_HasFocus;
        const std::tuple<QSize, QStyle::State, QPalette> looks[] = {
            {{661, 29}, focused, QApplication::palette()},
            {{661, 29}, QStyle::State_Enabled, QApplication::palette()},
            {{661, 29}, QStyle::State_None, QApplication::palette()},
            {{661, 29}, focused, red},
            {{300, 40}, focused, QApplication::palette()}};
        for (int round = 0; round < 2; ++round) { // the second round draws from the cache
            for (const auto &[size, state, palette] : looks) {
                QStyleOptionFrame option;
                option.rect = QRect(QPoint(3, 2), size);
                option.state = state;
                option.palette = palette;
                option.lineWidth = 1;
                QImage pictures[2];
                for (int i = 0; i < 2; ++i) {
                    pictures[i] = QImage(size + QSize(6, 4), QImage::Format_ARGB32_Premultiplied);
                    pictures[i].fill(Qt::white);
                    QPainter painter(&pictures[i]);
                    (i ? fusion.get() : static_cast<QStyle *>(&cached))
                        ->drawPrimitive(QStyle::PE_FrameLineEdit, &option, &painter);
                }
                int delta = 0; // antialiased edges composed in one step or two may differ by rounding
                for (int y = 0; y < pictures[0].height(); ++y)
                    for (int x = 0; x < pictures[0].width(); ++x)
                        for (int shift : {0, 8, 16})
                            delta = qMax(delta, qAbs(int((pictures[0].pixel(x, y) >> shift) & 0xff) -
                                                     int((pictures[1].pixel(x, y) >> shift) & 0xff)));
                QVERIFY2(delta <= 2, qPrintable(QStringLiteral("round %1, %2x%3, state %4: off by %5")
                                                    .arg(round)
                                                    .arg(size.width())
                                                    .arg(size.height())
                                                    .arg(int(state))
                                                    .arg(delta)));
            }
        }
    }

    void outsideText_isShownAsPlainText()
    {
        // Every text from the key or the service ends up in one of these, markup included.
        UiStation s(false);
        const QString markup = QStringLiteral("<h1>Evil</h1>");
        s.key->setServiceAddress(markup, quint16(s.web->port()));
        s.key->plug();
        UI_TRY_VERIFY(s.window->service());

        CannedHttpServer refusing("HTTP/1.1 403 <b>Refused</b> " + markup.toUtf8() +
                                  "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        JSON loginSession(QStringLiteral("127.0.0.1"), refusing.port());
        s.window->loginWidget()->serviceCreated(&loginSession);
        s.window->loginWidget()->loginRequested();
        s.window->loginWidget()->serviceCreated(s.window->service());

        CannedHttpServer service(200, R"({"rc":200,"rm":"OK","sfc":"","result":{"examSchedId":7001,"pointId":"1021",)"
                                      R"("tableId":"3101","subjectName":")" +
                                          markup.toUtf8() + R"(","centerName":")" + markup.toUtf8() +
                                          R"(","start":0,"end":0}})");
        JSON session(QStringLiteral("127.0.0.1"), service.port());
        s.window->sealWidget()->serviceCreated(&session);
        s.find<QLineEdit>("txtBarcode")->setText(kMaths);
        s.window->sealWidget()->linkRequested();

        const struct
        {
            const char *name;
            bool toolTip;
        } shown[] = {{"groupLogin", true}, {"lblLoginInfo", false}, {"lblSession", false}, {"lblSchool", false}};
        for (const auto &where : shown) {
            const QWidget *widget = s.find<QWidget>(where.name);
            const auto *label = qobject_cast<const QLabel *>(widget);
            const QString text =
                where.toolTip ? shownText(widget->toolTip()) : shownText(label->text(), label->textFormat());
            QVERIFY2(text.contains(markup), qPrintable(QStringLiteral("%1 shows %2").arg(where.name, text)));
        }
    }

    // A modal answer that waits in vain fails the test that set it, within its bound, and stops.
    void modalAnswer_thatNeverComes_failsItsTest()
    {
        const std::unique_ptr<ModalAnswer> answering = answerNextModal([](QWidget *) {}, 50);
        QEXPECT_FAIL("", "no modal window comes", Continue);
        QVERIFY(QTest::qWaitFor([&answering] { return !answering->isWatching(); }, kUiWaitMs));
        QVERIFY(!answering->isWatching());
    }

    // Start-up and the settings dialog read a stored proxy port by one rule: out of range is 0.
    // About shows the version and build time.
    void settings_storedProxyAndAbout_data()
    {
        QTest::addColumn<QString>("storedPort");
        QTest::addColumn<int>("port");
        QTest::newRow("in range") << "3128" << 3128;
        QTest::newRow("above 16 bits") << "70000" << 0;
    }

    void settings_storedProxyAndAbout()
    {
        QFETCH(QString, storedPort);
        QFETCH(int, port);
        UiStation s(false, [storedPort](Configuration &c) {
            c.setInteger(QStringLiteral("proxytype"), 2);
            c.setString(QStringLiteral("proxyhost"), QStringLiteral("proxy.lan"));
            c.setString(QStringLiteral("proxyport"), storedPort);
            c.setString(QStringLiteral("proxyuser"), QStringLiteral("op"));
        });
        const auto applied = [] {
            const QNetworkProxy p = QNetworkProxy::applicationProxy();
            return QStringLiteral("%1 %2:%3 %4").arg(p.type()).arg(p.hostName()).arg(p.port()).arg(p.user());
        };
        QCOMPARE(applied(), QStringLiteral("%1 proxy.lan:%2 op").arg(QNetworkProxy::HttpProxy).arg(port));

        std::unique_ptr<ModalAnswer> answering = answerNextModal([](QWidget *dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Application settings"));
            dialog->findChild<QLineEdit *>(QStringLiteral("tbxHost"))->setText(QStringLiteral("proxy2.lan"));
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        });
        s.find<QAction>("action_Settings")->trigger();
        QCOMPARE(applied(), QStringLiteral("%1 proxy2.lan:%2 op").arg(QNetworkProxy::HttpProxy).arg(port));
        QCOMPARE(s.config->getInteger(QStringLiteral("proxyport"), -1), port);

        QString text;
        answering = answerNextModal([&text](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            QVERIFY(box && box->windowTitle().isEmpty() && box->icon() == QMessageBox::Information);
            text = box->text();
            box->accept();
        });
        s.find<QAction>("actionAbout")->trigger();
        const QRegularExpression shape(
            QStringLiteral("^Version: %1\n\nBuild date: [A-Z][a-z]{2} [ 123]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d$")
                .arg(QRegularExpression::escape(QStringLiteral(SEALSTATION_VERSION))));
        QVERIFY2(shape.match(text).hasMatch(), qPrintable(text));
    }

private:
    FailFast m_failFast;
};

QTEST_MAIN(TestUi)
#include "test_ui.moc"
