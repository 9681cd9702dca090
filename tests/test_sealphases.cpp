// The packing page's phases, event by event, on a whole station: the simulated service, the emulated
// key and the real window. And every way of ending the program while a seal is under way.

#include "app/configuration.h"
#include "app/resources.h"
#include "app/shutdownsignals.h"
#include "key/clinker.h"
#include "key/kcodec.h"
#include "service/json.h"
#include "sim/emulatedkey.h"
#include "sim/webservice.h"
#include "support/failfast.h"
#include "support/uistation.h"
#include "ui/sealwidget.h"

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>
#include <csignal>

namespace {

using Phase = SealWidget::Phase;

const QString kMaths = QStringLiteral("2531011021");  // Greenfield High School, point 1021
const QString kPacked = QStringLiteral("2531011034"); // already sealed twice, with locks 5104 and 5105
const QString kLink = QStringLiteral("PUT /veskservice/examschedule/link/subject/to/center");
const QString kFind = QStringLiteral("GET /veskservice/lock/find/by/rf/303659");
const QString kSeals = QStringLiteral("GET /veskservice/examschedule/ap");
const QString kSeal = QStringLiteral("PUT /veskservice/timetable/seal");
const QString kBusy = QStringLiteral("Already busy linking subject and school!");
const QString kQuitRefused = QStringLiteral("A seal is being recorded. Please quit once it is done.");

// The REQUEST tags the key received up to now: a marker message goes out after whatever the
// application sent, and the key's record is read up to it.
QList<int> keyRequestsUpToNow(UiStation &s)
{
    if (!s.key->isPluggedIn()) // nothing more can reach it
        return keyRequestTags(*s.key);
    static quint32 markers = 0;
    KMessage marker(NOTIFY);
    marker.addTag(newTagUInt32(TAG_SERIAL, 0xF0000000u + ++markers));
    uint8_t bytes[64];
    const int length = marker.serialize(bytes, sizeof(bytes));
    const QByteArray wanted(reinterpret_cast<const char *>(bytes), length);
    if (s.linker->sendMessage(marker) <= 0) {
        qWarning("the marker could not be sent");
        return {-1};
    }
    // The engine frames one byte past the message with it.
    const auto isMarker = [&wanted](const QByteArray &payload) {
        return payload.startsWith(wanted) && payload.size() <= wanted.size() + 1;
    };
    QList<QByteArray> messages;
    if (!QTest::qWaitFor(
            [&] {
                messages = s.key->messages();
                return std::any_of(messages.cbegin(), messages.cend(), isMarker);
            },
            kUiWaitMs)) {
        qWarning("the key never received the marker");
        return {-2};
    }
    return requestTags(
        messages.mid(0, int(std::find_if(messages.cbegin(), messages.cend(), isMarker) - messages.cbegin())));
}

QString lookName(const QString &styleSheet)
{
    if (styleSheet == kSuccessLook)
        return QStringLiteral("success");
    if (styleSheet == kFailureLook)
        return QStringLiteral("failure");
    if (styleSheet == kWarningLook)
        return QStringLiteral("warning");
    return styleSheet.isEmpty() ? QString() : styleSheet;
}

// Brings the page into `from` with a bag linked and runs `act` while the phase lasts. The key is
// silent when `act` runs, so that only what the event causes reaches it.
void inPhase(UiStation &s, const QString &from, QTimer &poll, const std::function<void()> &act)
{
    SealWidget *page = s.window->sealWidget();
    const auto quiet = [&s, act] {
        s.key->setAnswering(false);
        keyRequestsUpToNow(s); // what the setup asked of the key has arrived before the record is cleared
        s.web->clearRequests();
        s.key->clearRecord();
        act();
    };
    if (from == QLatin1String("Linking")) {
        QVERIFY(s.login());
        s.key->presentLock(303659);
        duringSlowCall(s, poll, QStringLiteral("/veskservice/examschedule/link/subject/to/center"), quiet);
        s.scan(kMaths);
        return;
    }
    QVERIFY(s.loginAndScan(kMaths));
    if (from == QLatin1String("Idle")) {
        quiet();
    } else if (from == QLatin1String("WaitingForTag")) {
        s.key->setAnswering(false);
        page->sealSubject();
        QCOMPARE(page->phase(), Phase::WaitingForTag);
        quiet();
    } else if (from == QLatin1String("Recording") || from == QLatin1String("RecordingKeyLost")) {
        const bool lose = from == QLatin1String("RecordingKeyLost");
        duringSlowCall(s, poll, QStringLiteral("/veskservice/lock/find/by/rf/*"), [&s, page, lose, quiet] {
            if (lose) {
                s.key->unplug();
                QVERIFY(QTest::qWaitFor([page] { return page->phase() == Phase::RecordingKeyLost; }, kUiWaitMs));
            }
            quiet();
        });
        page->sealSubject();
    } else { // Closing or Opening: the key takes its time to answer
        s.key->setStepDelay(60000);
        if (from == QLatin1String("Closing"))
            page->sealSubject();
        else
            page->openSeal();
        const Phase wanted = from == QLatin1String("Closing") ? Phase::Closing : Phase::Opening;
        QVERIFY(QTest::qWaitFor([page, wanted] { return page->phase() == wanted; }, kUiWaitMs));
        quiet();
    }
}

void fire(UiStation &s, const QString &event)
{
    SealWidget *page = s.window->sealWidget();
    if (event == QLatin1String("scan")) {
        s.scan(kMaths);
    } else if (event == QLatin1String("Pack")) {
        page->sealSubject(); // as the shortcut does, also while the button is disabled
    } else if (event == QLatin1String("Unlock")) {
        page->openSeal();
    } else if (event == QLatin1String("tick")) {
        page->checkState();
    } else if (event == QLatin1String("third tick")) {
        for (int i = 0; i < 3; ++i)
            page->checkState();
    } else if (event == QLatin1String("tag")) {
        emit s.linker->tagReadSuccess(QStringLiteral("303659"));
    } else if (event == QLatin1String("no tag")) {
        emit s.linker->tagReadFailed();
    } else if (event == QLatin1String("locked")) {
        emit s.linker->updateLabel(0, QStringLiteral("Authorised\r\nlocked"));
    } else if (event == QLatin1String("unlocked")) {
        emit s.linker->updateLabel(0, QStringLiteral("Authorised\r\nunlocked"));
    } else if (event == QLatin1String("failure text")) {
        emit s.linker->updateLabel(0, QStringLiteral("Lock jammed"));
    } else if (event == QLatin1String("key ready")) {
        emit s.linker->setBtnEnabled(true);
    } else if (event == QLatin1String("key lost")) {
        QSignalSpy lost(s.linker.get(), &cLinker::usbConnected);
        s.key->unplug();
        QVERIFY(lost.wait(kUiWaitMs));
    } else if (event == QLatin1String("logout")) {
        QTest::mouseClick(s.find<QToolButton>("btnLogout"), Qt::LeftButton);
    } else {
        QFAIL(qPrintable(QStringLiteral("no such event: ") + event));
    }
}

} // namespace

class TestSealPhases : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initSealStationResources();
        qRegisterMetaType<JSON *>();
    }
    void init() { m_failFast.init(); }
    void cleanup() { m_failFast.cleanup(); }

    // Each row is a phase and an event: the phase the page enters, what it asks of the key and the
    // service, the look of the result field, whether Pack and Unlock work, and the status message.
    void phaseTable_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("event");
        QTest::addColumn<Phase>("next");
        QTest::addColumn<QList<int>>("key");
        QTest::addColumn<QStringList>("service");
        QTest::addColumn<QString>("look"); // success, failure, warning or empty
        QTest::addColumn<bool>("buttons");
        QTest::addColumn<QString>("status"); // empty: not checked
        const QList<int> none;
        const QList<int> scan{TAG_SCAN};
        const QStringList nothing;
        const QString failure = QStringLiteral("failure");
        const QString notFound = QStringLiteral("Could not find a seal.");
        const QString notClosed =
            QStringLiteral("Key disconnected: the lock was not closed. Pack the bag again once the key is back.");
        const auto row = [](const char *from, const char *event) -> QTestData & {
            return QTest::addRow("%s / %s", from, event) << QString::fromLatin1(from) << QString::fromLatin1(event);
        };

        row("Idle", "scan") << Phase::Idle << none << QStringList{kLink} << "" << true << "";
        row("Idle", "Pack") << Phase::WaitingForTag << scan << nothing << "" << false << "";
        row("Idle", "Unlock") << Phase::Opening << QList<int>{TAG_OPEN} << nothing << "" << true << "";
        // Nobody asked for it: it must not seal the bag shown, perhaps with another bag's lock.
        row("Idle", "tag") << Phase::Idle << none << nothing << "" << true << "";
        row("Idle", "no tag") << Phase::Idle << none << nothing << "" << true << "";
        row("Idle", "failure text") << Phase::Idle << none << nothing << failure << true << "";

        row("Linking", "scan") << Phase::Linking << none << nothing << "" << true << kBusy;
        row("Linking", "Pack") << Phase::Linking << none << nothing << "warning" << true << "Please scan a bag first.";
        row("Linking", "Unlock") << Phase::Linking << none << nothing << "" << true << "";

        row("WaitingForTag", "scan") << Phase::WaitingForTag << none << nothing << "" << false << kBusy;
        row("WaitingForTag", "Pack") << Phase::WaitingForTag << none << nothing << "" << false << "";
        row("WaitingForTag", "tick") << Phase::WaitingForTag << scan << nothing << "" << false << "";
        row("WaitingForTag", "third tick")
            << Phase::Idle << QList<int>{TAG_SCAN, TAG_SCAN} << nothing << failure << true << notFound;
        row("WaitingForTag", "tag") << Phase::Closing << QList<int>{TAG_CLOSE} << QStringList{kFind, kSeals, kSeal}
                                    << "" << false << "";
        row("WaitingForTag", "no tag") << Phase::Idle << none << nothing << failure << true << notFound;
        // The key's display says why it read nothing; the page must not go on waiting.
        row("WaitingForTag", "failure text") << Phase::Idle << none << nothing << failure << true << "";
        row("WaitingForTag", "key lost") << Phase::Idle << none << nothing << failure << true
                                         << "Key disconnected, no tag was read.";
        row("WaitingForTag", "logout") << Phase::Idle << none << nothing << "" << true << "";

        row("Recording", "scan") << Phase::Recording << none << nothing << "" << false << kBusy;
        row("Recording", "Pack") << Phase::Recording << none << nothing << "" << false << "";
        row("Recording", "Unlock") << Phase::Recording << none << nothing << "" << false << "";
        row("Recording", "tag") << Phase::Recording << none << nothing << "" << false << "";
        row("Recording", "failure text") << Phase::Recording << none << nothing << failure << false << "";
        row("Recording", "key lost") << Phase::RecordingKeyLost << none << nothing << "" << false << "";
        row("Recording", "logout") << Phase::Recording << none << nothing << "" << false
                                   << "A seal is being recorded. Please log out once it is done.";
        row("RecordingKeyLost", "Pack") << Phase::RecordingKeyLost << none << nothing << "" << false << "";

        row("Closing", "locked") << Phase::Idle << none << nothing << "success" << false << "";
        row("Closing", "unlocked") << Phase::Closing << none << nothing << "" << false << "";
        row("Closing", "failure text") << Phase::Idle << none << nothing << failure << false << "";
        row("Closing", "key ready") << Phase::Closing << none << nothing << "" << true << "";
        row("Closing", "Pack") << Phase::Closing << none << nothing << "" << false << "";
        row("Closing", "no tag") << Phase::Closing << none << nothing << "" << false << "";
        row("Closing", "key lost") << Phase::Idle << none << nothing << failure << true << notClosed;
        // The close went out: its answer still ends the phase after the operator has left.
        row("Closing", "logout") << Phase::Closing << none << nothing << "" << false << "";

        row("Opening", "unlocked") << Phase::Idle << none << nothing << "success" << true << "";
        row("Opening", "locked") << Phase::Opening << none << nothing << "" << true << "";
        row("Opening", "failure text") << Phase::Idle << none << nothing << failure << true << "";
        row("Opening", "Pack") << Phase::WaitingForTag << scan << nothing << "" << false << "";
        row("Opening", "key lost") << Phase::Idle << none << nothing << failure << true
                                   << "Key disconnected before the lock confirmed it was open.";
    }

    void phaseTable()
    {
        QFETCH(QString, from);
        QFETCH(QString, event);
        QFETCH(Phase, next);
        QFETCH(QList<int>, key);
        QFETCH(QStringList, service);
        QFETCH(QString, look);
        QFETCH(bool, buttons);
        QFETCH(QString, status);
        UiStation s;
        SealWidget *page = s.window->sealWidget();
        bool fired = false;
        Phase phase = Phase::Idle;
        QString shownLook;
        QString shownStatus;
        bool enabled = false;
        QStringList requests;
        QList<int> keyRequests;
        QTimer poll;
        inPhase(s, from, poll, [&] {
            fire(s, event);
            fired = true;
            phase = page->phase();
            shownLook = lookName(s.operationStyle());
            shownStatus = s.statusText();
            enabled = s.find<QPushButton>("btnPack")->isEnabled() && s.find<QPushButton>("btnUnlock")->isEnabled();
            requests = s.requestLines();
            keyRequests = keyRequestsUpToNow(s);
        });
        UI_TRY_VERIFY(fired);
        QCOMPARE(phase, next);
        QCOMPARE(keyRequests, key);
        QCOMPARE(requests, service);
        QCOMPARE(shownLook, look);
        QCOMPARE(enabled, buttons);
        if (!status.isEmpty())
            QCOMPARE(shownStatus, status);
    }

    // Exit, the window's close and SIGTERM while a seal is under way. A seal that has begun is
    // recorded and its lock closed, or neither: Exit and close are refused while the seal is
    // recorded (the program goes on), SIGTERM waits for it and then ends the program. While the
    // key closes the lock, each of them waits for the key's answer.
    void endingDuringSeal_data()
    {
        QTest::addColumn<QString>("way");     // Exit, close or SIGTERM
        QTest::addColumn<QString>("during");  // the call held when the way is taken, or the key's answer
        QTest::addColumn<QString>("barcode"); // the bag packed
        QTest::addColumn<bool>("ends");       // the program ends (once the seal is done)
        QTest::addColumn<QString>("status");  // right after the way was taken; empty: not checked
        QTest::addColumn<QString>("seals");   // at the bag's school afterwards, "-" voided
        QTest::addColumn<QString>("look");    // at the end
        const QString renames = QStringLiteral("/veskservice/lock");
        const QString record = QStringLiteral("/veskservice/timetable/seal");
        const QString closing = QStringLiteral("closing");
        const QString waits = QStringLiteral("Quitting once the seal is recorded and the lock closed.");
        const QString replaced = QStringLiteral("5104- 5105- 5101");
        const QString success = QStringLiteral("success");
        QTest::newRow("Exit with nothing under way") << "Exit"
                                                     << "idle" << kMaths << true << ""
                                                     << ""
                                                     << "";
        QTest::newRow("close with nothing under way") << "close"
                                                      << "idle" << kMaths << true << ""
                                                      << ""
                                                      << "";
        QTest::newRow("SIGTERM with nothing under way") << "SIGTERM"
                                                        << "idle" << kMaths << true << ""
                                                        << ""
                                                        << "";
        QTest::newRow("Exit during the renames")
            << "Exit" << renames << kPacked << false << kQuitRefused << replaced << success;
        QTest::newRow("Exit during the seal record")
            << "Exit" << record << kMaths << false << kQuitRefused << "5101" << success;
        QTest::newRow("close during the renames")
            << "close" << renames << kPacked << false << kQuitRefused << replaced << success;
        QTest::newRow("close during the seal record")
            << "close" << record << kMaths << false << kQuitRefused << "5101" << success;
        QTest::newRow("SIGTERM during the renames")
            << "SIGTERM" << renames << kPacked << true << waits << replaced << success;
        QTest::newRow("SIGTERM during the seal record")
            << "SIGTERM" << record << kMaths << true << waits << "5101" << success;
        QTest::newRow("Exit while the lock closes")
            << "Exit" << closing << kMaths << true << "Quitting once the key has answered."
            << "5101" << success;
        QTest::newRow("close while the lock closes") << "close" << closing << kMaths << true << ""
                                                     << "5101" << success;
        QTest::newRow("SIGTERM while the lock closes") << "SIGTERM" << closing << kMaths << true << ""
                                                       << "5101" << success;
        // An operator who does not answer holds the end no longer than the service's time limit, and
        // the question closed by the end replaces no seal.
        QTest::newRow("SIGTERM while the multiple-seal question waits")
            << "SIGTERM"
            << "question" << kPacked << true << waits << "5104 5105"
            << "failure";
        // A key that never answers the close holds the end no longer than the service's time limit.
        QTest::newRow("SIGTERM while a silent key closes") << "SIGTERM"
                                                           << "silent" << kMaths << true << ""
                                                           << "5101"
                                                           << "";
    }

    void endingDuringSeal()
    {
        QFETCH(QString, way);
        QFETCH(QString, during);
        QFETCH(QString, barcode);
        QFETCH(bool, ends);
        QFETCH(QString, status);
        QFETCH(QString, seals);
        QFETCH(QString, look);
        UiStation s;
        ShutdownSignals shutdown;
        QVERIFY(shutdown.isActive());
        QObject::connect(&shutdown, &ShutdownSignals::requested, s.window.get(), &PackingWindow::endRequested);
        QVERIFY(s.loginAndScan(barcode));
        std::unique_ptr<ModalAnswer> answering;
        if (barcode == kPacked && during != QLatin1String("question"))
            answering = answerNextModal(
                [](QWidget *box) { qobject_cast<QMessageBox *>(box)->button(QMessageBox::No)->click(); });
        if (during == QLatin1String("silent") || during == QLatin1String("question"))
            s.window->service()->setReplyTimeout(300); // the service's limit bounds the wait

        QString shownStatus;
        bool taken = false;
        const auto takeTheWay = [&] {
            if (way == QLatin1String("Exit"))
                s.find<QAction>("actionE_xit")->trigger();
            else if (way == QLatin1String("close"))
                s.window->close();
            else
                ::raise(SIGTERM);
            // The signal reaches the window through the event loop.
            QCoreApplication::processEvents();
            shownStatus = s.statusText();
            taken = true;
        };
        QTimer poll;
        SealWidget *page = s.window->sealWidget();
        QList<StationEvent::Kind> reported;
        connect(page, &SealWidget::stationEvent, &poll, [&reported](const StationEvent &e) { reported << e.kind; });
        if (during == QLatin1String("idle")) {
            QTimer::singleShot(0, s.window.get(), takeTheWay);
        } else if (during == QLatin1String("question")) {
            connect(&poll, &QTimer::timeout, &poll, [&] {
                if (QApplication::activeModalWidget()) {
                    poll.stop();
                    takeTheWay();
                }
            });
            poll.start(5);
        } else if (during == QLatin1String("closing") || during == QLatin1String("silent")) {
            s.key->setStepDelay(100);
            connect(page, &SealWidget::phaseChanged, &poll, [&](Phase phase) {
                if (phase == Phase::Recording && during == QLatin1String("silent"))
                    s.key->setAnswering(false); // it takes the close and never answers
                if (phase == Phase::Closing && !taken)
                    QTimer::singleShot(0, s.window.get(), takeTheWay);
            });
        } else {
            duringSlowCall(s, poll, during, takeTheWay);
        }
        // The program's own event loop runs, as in the product: ending the program ends it. A way
        // that was refused leaves it running once the seal is done, and the test ends it then.
        const int kTestEnded = 7;
        QTimer done;
        connect(&done, &QTimer::timeout, &done, [&] {
            if (taken && page->phase() == Phase::Idle && !ends)
                QCoreApplication::exit(kTestEnded);
        });
        done.start(20);
        QTimer bound;
        bound.setSingleShot(true);
        connect(&bound, &QTimer::timeout, &bound, [] { QCoreApplication::exit(-1); });
        bound.start(3 * kUiWaitMs);
        if (during != QLatin1String("idle"))
            QTimer::singleShot(0, page, &SealWidget::sealSubject);
        const int exitCode = QCoreApplication::exec();
        // Closing the last window may leave a quit request behind (Qt 6); the next row starts afresh.
        QCoreApplication::removePostedEvents(qApp, QEvent::Quit);

        QVERIFY(taken);
        QCOMPARE(exitCode, ends ? 0 : kTestEnded);
        if (!status.isEmpty())
            QCOMPARE(shownStatus, status);
        // A refused way leaves the window open (Qt 6 closes the windows as the program quits).
        if (!ends)
            QVERIFY(s.window->isVisible());
        QCOMPARE(s.seals(barcode.right(4).toStdString()), seals);
        QCOMPARE(lookName(s.operationStyle()), look);
        // A question the end closed starts no renames and no record: nothing more is even written ahead.
        if (during == QLatin1String("question"))
            QCOMPARE(reported.last(), StationEvent::Kind::TagRead);
        // The close reached the key whenever the seal was recorded.
        UI_TRY_COMPARE(keyRequestTags(*s.key).count(TAG_CLOSE), seals.endsWith(QLatin1String("5101")) ? 1 : 0);
    }

private:
    FailFast m_failFast;
};

QTEST_MAIN(TestSealPhases)
#include "test_sealphases.moc"
