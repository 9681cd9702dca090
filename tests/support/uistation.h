#pragma once

// A whole packing station for window tests: the simulated web service, the emulated key on a
// socket in a temporary directory, the real usbLink and cLinker, and a shown PackingWindow.

#include "ui/packingwindow.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

// Bound of every wait in the window tests: ample for a loaded sanitized build, short enough that a
// broken build fails each case within seconds (QTRY_* would wait three times as long on failure).
constexpr int kUiWaitMs = 3000;
#define UI_TRY_COMPARE(actual, expected)                                                                               \
    do {                                                                                                               \
        static_cast<void>(QTest::qWaitFor([&] { return (actual) == (expected); }, kUiWaitMs));                         \
        QCOMPARE(actual, expected);                                                                                    \
    } while (false)
#define UI_TRY_VERIFY(cond) UI_TRY_COMPARE(bool(cond), true)

// The looks of the result field, as the page's style sheets spell them.
extern const QString kSuccessLook;
extern const QString kFailureLook;
extern const QString kWarningLook;

class Configuration;
class EmulatedKey;
class cLinker;
class usbLink;
namespace sim {
class WebService;
}

class UiStation
{
public:
    // `plugged` false: the key stays unplugged until key->plug().
    explicit UiStation(bool plugged = true, const std::function<void(Configuration &)> &setup = {});
    ~UiStation();

    // The named widget of the window; a test without it cannot go on.
    template <typename T>
    T *find(const char *name) const
    {
        T *widget = window->findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }

    // Types the user name and password into the emptied fields as an operator does and presses
    // Enter; true when the packing page shows.
    bool login(const QString &user = QStringLiteral("operator"), const QString &password = QStringLiteral("Pack2025"));
    // Types a barcode into the packing page and presses Enter; returns once the link call returned.
    void scan(const QString &code)
    {
        QTest::keyClicks(find<QLineEdit>("txtBarcode"), code);
        QTest::keyClick(find<QLineEdit>("txtBarcode"), Qt::Key_Return);
    }
    // Signs in, puts the lock `rf` before the key and scans `code`; then forgets the requests and
    // key frames so far, so that a test sees only what its own action causes.
    bool loginAndScan(const QString &code, qulonglong rf = 303659);
    QString statusText() const { return find<QStatusBar>("statusbar")->currentMessage(); }
    QString operationStyle() const { return find<QLabel>("lblOperationInfo")->styleSheet(); }
    // Paths of the service requests since the last clearRequests(), e.g. "PUT /veskservice/lock".
    QStringList requestLines() const;
    // The seals recorded at a school, oldest first, as lock ids; a voided one ends with "-".
    QString seals(const std::string &pointId) const;

    QTemporaryDir dir;
    std::unique_ptr<Configuration> config;
    std::unique_ptr<sim::WebService> web;
    std::unique_ptr<EmulatedKey> key;
    std::unique_ptr<usbLink> link;
    std::unique_ptr<cLinker> linker;
    std::unique_ptr<PackingWindow> window;
};

// Hands the next application-modal widget (message box, dialog) to `action` while the code under
// test waits in its exec(). The watch lives as long as the returned object: hold it for the test.
// A modal that does not come within kUiWaitMs, or has not come when the object goes, fails the
// test that expected it.
class ModalAnswer : public QObject
{
public:
    explicit ModalAnswer(std::function<void(QWidget *)> action, int boundMs = kUiWaitMs);
    ~ModalAnswer() override;

    bool isWatching() const { return m_timer.isActive(); }

private:
    void poll();

    const std::function<void(QWidget *)> m_action;
    const int m_boundMs;
    QTimer m_timer;
    QElapsedTimer m_since;
    bool m_done = false;
};
[[nodiscard]] std::unique_ptr<ModalAnswer> answerNextModal(const std::function<void(QWidget *)> &action,
                                                           int boundMs = kUiWaitMs);

// Delays the service's answers on `path` ("*" ends a prefix) and runs `action` once, from the event
// loop, while the window's session waits for such an answer.
void duringSlowCall(UiStation &s, QTimer &poll, const QString &path, const std::function<void()> &action);

// The tags of the REQUEST items in `messages` (payloads the key received), in order (TAG_SCAN, ...).
QList<int> requestTags(const QList<QByteArray> &messages);
// The same for everything the key received.
QList<int> keyRequestTags(const EmulatedKey &key);
