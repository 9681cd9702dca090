// End to end: the real sealstation and sealstation-sim processes on a private X server, driven
// like an operator does it: keys typed into the windows with xdotool, the simulator's console on
// its standard input. Each bag is followed from sign-in to the green result on screen, then checked
// in the simulator's database, in the messages the key received and in the key's reported events.
#include "tests/e2e/xscreen.h"

#include "key/kcodec.h"
#include "sim/webstore.h"
#include "support/keytestsupport.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

// The result field's colour after a lock closed ("background-color: green").
const QRgb kGreen = qRgb(0, 128, 0);
// The field is some thousand pixels; icons and text hold only a few of this exact colour.
const int kGreenFieldPixels = 1500;
const int kWaitMs = 20000;

// The key's lines in the simulator's event output, without time and part.
QStringList keyEvents(const QString &simOutput)
{
    static const QRegularExpression keyLine(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d key\\s+(.*)$"));
    QStringList events;
    for (const QString &line : simOutput.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = keyLine.match(line);
        if (match.hasMatch())
            events << match.captured(1).trimmed();
    }
    return events;
}

// True when `wanted` occur in `events` in this order (others may come between).
bool inOrder(const QStringList &events, const QStringList &wanted)
{
    int next = 0;
    for (const QString &event : events) {
        if (next < wanted.size() && event == wanted.at(next))
            ++next;
    }
    return next == wanted.size();
}

// A command message as the application frames it: the message and the one byte it sends after it.
QByteArray command(uint8_t tag)
{
    KMessage message(REQUEST);
    if (tag == TAG_CONNECT)
        message.addTag(newTagUInt32(TAG_CONNECT, 0));
    else
        message.addTag(newTagBytes(tag, nullptr, 0));
    return serialised(message) + QByteArray(1, '\0');
}

// The messages the key received, from the simulator's "frames" listing after `from` in its output.
QList<QByteArray> framesListed(const QString &output, int from)
{
    const QStringList lines = output.mid(from).split(QLatin1Char('\n'));
    QList<QByteArray> frames;
    int expected = -1;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Frames the key received: ")))
            expected = line.mid(25).toInt();
        else if (expected >= 0 && line.startsWith(QLatin1String("Frame ")))
            frames << QByteArray::fromHex(line.section(QStringLiteral("  "), 2).toLatin1());
    }
    return frames.size() == expected ? frames : QList<QByteArray>();
}

// One station: the simulator and the application, each with a fresh user directory.
class Station
{
public:
    Station(const QString &display, int keyDelayMs) : m_display(display), m_keyDelayMs(keyDelayMs) {}

    ~Station() { stop(); }

    bool start()
    {
        if (!m_dir.isValid())
            return false;
        m_sim.setProcessChannelMode(QProcess::MergedChannels);
        m_sim.start(QStringLiteral(SEALSTATION_SIM_PATH),
                    {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--relay-port"), QStringLiteral("0"),
                     QStringLiteral("--db"), databasePath(), QStringLiteral("--key-socket"), keySocket(),
                     QStringLiteral("--key-delay"), QString::number(m_keyDelayMs)});
        if (!m_sim.waitForStarted(10000))
            return false;

        const QString home = m_dir.filePath(QStringLiteral("home"));
        QProcessEnvironment env = freshUserEnvironment(home);
        env.insert(QStringLiteral("SEALSTATION_KEY_SOCKET"), keySocket());
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::MergedChannels);
        m_app.start(QStringLiteral(SEALSTATION_APP_PATH), QStringList());
        return m_app.waitForStarted(10000);
    }

    void stop()
    {
        if (m_app.state() != QProcess::NotRunning) {
            m_app.terminate();
            if (!m_app.waitForFinished(10000))
                m_app.kill();
            m_app.waitForFinished(5000);
        }
        if (m_sim.state() != QProcess::NotRunning) {
            m_sim.write("quit\n");
            if (!m_sim.waitForFinished(10000))
                m_sim.kill();
            m_sim.waitForFinished(5000);
        }
        simOutput();
    }

    void sim(const QByteArray &command) { m_sim.write(command + '\n'); }

    // Asks the simulator for the messages its key received; empty when no full listing came.
    QList<QByteArray> keyFrames()
    {
        const int from = simOutput().size();
        sim("frames");
        QList<QByteArray> frames;
        if (!QTest::qWaitFor([&] { return !(frames = framesListed(simOutput(), from)).isEmpty(); }, kWaitMs))
            return QList<QByteArray>();
        return frames;
    }

    QString simOutput()
    {
        m_simOutput += QString::fromLocal8Bit(m_sim.readAll());
        return m_simOutput;
    }

    QString appLog() const
    {
        QFile log(m_dir.filePath(QStringLiteral("home/data/Vesk/SealStation/sealstation.log")));
        return log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll()) : QString();
    }

    // Debug log lines are "Debug:<text> (:0) ".
    int logCount(const QString &text) const
    {
        return appLog().count(QStringLiteral("Debug:") + text + QStringLiteral(" ("));
    }

    QString appOutput() { return QString::fromLocal8Bit(m_app.readAll()); }
    bool appRunning() const { return m_app.state() == QProcess::Running; }
    qint64 appPid() const { return m_app.processId(); }
    QString databasePath() const { return m_dir.filePath(QStringLiteral("vesk.db")); }

private:
    QString keySocket() const { return m_dir.filePath(QStringLiteral("key.sock")); }

    const QString m_display;
    const int m_keyDelayMs;
    QTemporaryDir m_dir;
    QProcess m_sim;
    QProcess m_app;
    QString m_simOutput;
};

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private:
    // Runs xdotool on the private display; its standard output, or a null array when it failed.
    QByteArray xdo(const QStringList &arguments, int timeoutMs = 15000)
    {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        tool.setProcessEnvironment(env);
        tool.start(QStringLiteral("xdotool"), arguments);
        if (!tool.waitForFinished(timeoutMs)) {
            tool.kill();
            tool.waitForFinished();
            return QByteArray();
        }
        if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
            return QByteArray();
        const QByteArray out = tool.readAllStandardOutput();
        return out.isNull() ? QByteArray("") : out;
    }

    // The first visible window whose title is exactly `title`, waiting for it to appear.
    quint32 findWindow(const QString &title)
    {
        const QByteArray out = xdo({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                    QStringLiteral("--name"), QLatin1Char('^') + title + QLatin1Char('$')},
                                   kWaitMs);
        return out.split('\n').value(0).trimmed().toUInt();
    }

    bool focus(quint32 window)
    {
        return !xdo({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window)}).isNull();
    }

    bool type(const QString &text)
    {
        return !xdo({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), text}).isNull();
    }

    bool key(const QString &keys) { return !xdo({QStringLiteral("key"), keys}).isNull(); }

    int greenPixels(quint32 window) { return e2e::countPixels(e2e::grabWindow(m_display, window), kGreen); }

    // Up to the packing page: the key found, the operator signed in by typing like at the station.
    void signIn(Station &station, quint32 *window)
    {
        *window = findWindow(QStringLiteral("Vesk"));
        QVERIFY2(*window != 0, "the application's window did not appear");
        // The service session exists once the key has reported where the service is.
        QTRY_VERIFY_WITH_TIMEOUT(station.appLog().contains(QStringLiteral("URL that will be used")), kWaitMs);
        QVERIFY(focus(*window));
        QVERIFY(type(QStringLiteral("operator")));
        QVERIFY(key(QStringLiteral("Tab")));
        QVERIFY(type(QStringLiteral("Pack2025")));
        QVERIFY(key(QStringLiteral("Return")));
        QTRY_COMPARE_WITH_TIMEOUT(station.logCount(QStringLiteral("Logged in successfully!")), 1, kWaitMs);
    }

    // Types the bag's barcode with Enter, as the scanner does, and waits for the link.
    void scan(Station &station, const QString &barcode)
    {
        QVERIFY(type(barcode));
        QVERIFY(key(QStringLiteral("Return")));
        QTRY_VERIFY_WITH_TIMEOUT(station.appLog().contains(QStringLiteral("Debug:ExamSchedId:")), kWaitMs);
    }

    void present(Station &station, const QByteArray &rf)
    {
        station.sim("present " + rf);
        QTRY_VERIFY_WITH_TIMEOUT(keyEvents(station.simOutput()).contains(QStringLiteral("Lock presented: RF ") + rf),
                                 kWaitMs);
    }

    static std::vector<sim::SealRow> sealsOf(const QString &databasePath, const std::string &pointId)
    {
        sim::WebStore store;
        std::vector<sim::SealRow> seals;
        if (!store.open(databasePath.toStdString()))
            return seals;
        for (const sim::SealRow &seal : store.seals()) {
            if (seal.pointId == pointId)
                seals.push_back(seal);
        }
        return seals;
    }

private slots:
    void initTestCase()
    {
        // -displayfd picks a free display number and writes it to our pipe.
        m_xvfb.start(QStringLiteral("Xvfb"),
                     {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                      QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QVERIFY(m_xvfb.waitForStarted(10000));
        QByteArray number;
        QTRY_VERIFY_WITH_TIMEOUT((number += m_xvfb.readAllStandardOutput()).contains('\n'), 20000);
        m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    }

    void cleanupTestCase()
    {
        m_xvfb.terminate();
        if (!m_xvfb.waitForFinished(10000))
            m_xvfb.kill();
    }

    void init() { m_station.reset(); }

    void cleanup()
    {
        if (QTest::currentTestFailed() && m_station) {
            // What the screen and both programs showed, for whoever looks at the failure.
            const QString shot = QDir::current().absoluteFilePath(
                QStringLiteral("e2e-%1.png").arg(QString::fromLatin1(QTest::currentTestFunction())));
            if (e2e::grabWindow(m_display, 0).save(shot))
                qWarning().noquote() << "Screen saved to" << shot;
            qWarning().noquote() << "Simulator output:\n" + m_station->simOutput();
            qWarning().noquote() << "Application output:\n" + m_station->appOutput();
            qWarning().noquote() << "Application log (end):\n" + m_station->appLog().right(6000);
        }
        m_station.reset();
    }

    void oneBag_fromSignInToGreenResult()
    {
        m_station = std::make_unique<Station>(m_display, 150);
        Station &station = *m_station;
        QVERIFY(station.start());
        quint32 window = 0;
        signIn(station, &window);
        if (QTest::currentTestFailed())
            return;
        scan(station, QStringLiteral("2531011021"));
        present(station, "303659");
        QCOMPARE(greenPixels(window), 0);

        // Pack has the focus after a scan: Space presses it.
        QVERIFY(key(QStringLiteral("space")));
        QTRY_COMPARE_WITH_TIMEOUT(station.logCount(QStringLiteral("Closed successfully")), 1, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(greenPixels(window) > kGreenFieldPixels, kWaitMs);
        QVERIFY(station.appRunning());

        QCOMPARE(station.keyFrames(), QList<QByteArray>({command(TAG_CONNECT), command(TAG_SCAN), command(TAG_CLOSE)}));
        station.stop();
        const QStringList events = keyEvents(station.simOutput());
        QVERIFY2(inOrder(events, {QStringLiteral("Application connected"), QStringLiteral("Connect request answered"),
                                  QStringLiteral("Lock presented: RF 303659"), QStringLiteral("Tag read: RF 303659"),
                                  QStringLiteral("Closing lock: Authorised / locked")}),
                 qPrintable(events.join(QLatin1Char('\n'))));
        QCOMPARE(events.count(QStringLiteral("Tag read: RF 303659")), 1);
        QCOMPARE(events.filter(QStringLiteral("Closing lock")).size(), 1);

        const std::vector<sim::SealRow> seals = sealsOf(station.databasePath(), "1021");
        QCOMPARE(seals.size(), size_t(1));
        QCOMPARE(seals.front().tableId, std::string("3101"));
        QCOMPARE(seals.front().apId, std::string("5101"));
        QCOMPARE(seals.front().apRfId, quint64(303659));
        QVERIFY(!seals.front().voided);
    }

    void multipleSeals_operatorKeepsOnlyTheNewBag()
    {
        m_station = std::make_unique<Station>(m_display, 150);
        Station &station = *m_station;
        QVERIFY(station.start());
        quint32 window = 0;
        signIn(station, &window);
        if (QTest::currentTestFailed())
            return;
        scan(station, QStringLiteral("2531011034")); // sealed twice before, with other locks
        present(station, "303660");

        QVERIFY(key(QStringLiteral("ctrl+p")));
        const quint32 question = findWindow(QStringLiteral("Multiple seals detected"));
        QVERIFY2(question != 0, "the multiple-seals question did not appear");
        QVERIFY(focus(question));
        QVERIFY(key(QStringLiteral("n"))); // No: the earlier bags' seals go, this bag stays
        QTRY_COMPARE_WITH_TIMEOUT(station.logCount(QStringLiteral("Closed successfully")), 1, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(greenPixels(window) > kGreenFieldPixels, kWaitMs);

        QCOMPARE(station.keyFrames(), QList<QByteArray>({command(TAG_CONNECT), command(TAG_SCAN), command(TAG_CLOSE)}));
        station.stop();
        const QStringList events = keyEvents(station.simOutput());
        QVERIFY2(inOrder(events,
                         {QStringLiteral("Tag read: RF 303660"), QStringLiteral("Closing lock: Authorised / locked")}),
                 qPrintable(events.join(QLatin1Char('\n'))));
        QCOMPARE(events.filter(QStringLiteral("Closing lock")).size(), 1);

        const std::vector<sim::SealRow> seals = sealsOf(station.databasePath(), "1034");
        QCOMPARE(seals.size(), size_t(3));
        int active = 0;
        for (const sim::SealRow &seal : seals) {
            if (seal.voided)
                continue;
            ++active;
            QCOMPARE(seal.apId, std::string("5102"));
            QCOMPARE(seal.apRfId, quint64(303660));
        }
        QCOMPARE(active, 1);
    }

    void keyUnpluggedWhileClosing_bagClosesOnceReplugged()
    {
        // Slow key reports leave time to pull the key out in the middle of closing.
        m_station = std::make_unique<Station>(m_display, 500);
        Station &station = *m_station;
        QVERIFY(station.start());
        quint32 window = 0;
        signIn(station, &window);
        if (QTest::currentTestFailed())
            return;
        scan(station, QStringLiteral("2531021021"));
        present(station, "303661");

        QVERIFY(key(QStringLiteral("ctrl+p")));
        QTRY_VERIFY_WITH_TIMEOUT(
            keyEvents(station.simOutput()).contains(QStringLiteral("Closing lock: Authorised / locked")), kWaitMs);
        station.sim("unplug");
        QTRY_VERIFY_WITH_TIMEOUT(station.appLog().contains(QStringLiteral("Debug:Device disconnected")), kWaitMs);
        QCOMPARE(station.logCount(QStringLiteral("Closed successfully")), 0);

        station.sim("plug");
        QTRY_COMPARE_WITH_TIMEOUT(keyEvents(station.simOutput()).count(QStringLiteral("Connect request answered")), 2,
                                  kWaitMs);
        // The key's ready report re-enables Pack.
        QTRY_VERIFY_WITH_TIMEOUT(station.appLog().count(QStringLiteral("SET::TAG_KEY_BAR::128")) >= 2, kWaitMs);
        QCOMPARE(station.logCount(QStringLiteral("Closed successfully")), 0);
        QCOMPARE(greenPixels(window), 0);

        QVERIFY(focus(window));
        QVERIFY(key(QStringLiteral("ctrl+p")));
        QTRY_COMPARE_WITH_TIMEOUT(station.logCount(QStringLiteral("Closed successfully")), 1, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(greenPixels(window) > kGreenFieldPixels, kWaitMs);

        // Nothing reached the key while it was out; once back, it was asked to connect first.
        QCOMPARE(station.keyFrames(), QList<QByteArray>({command(TAG_CONNECT), command(TAG_SCAN), command(TAG_CLOSE),
                                                         command(TAG_CONNECT), command(TAG_SCAN), command(TAG_CLOSE)}));
        station.stop();
        const QStringList events = keyEvents(station.simOutput());
        QVERIFY2(inOrder(events,
                         {QStringLiteral("Closing lock: Authorised / locked"), QStringLiteral("Key unplugged"),
                          QStringLiteral("Key plugged in"), QStringLiteral("Application connected"),
                          QStringLiteral("Tag read: RF 303661"), QStringLiteral("Closing lock: Authorised / locked")}),
                 qPrintable(events.join(QLatin1Char('\n'))));
        QCOMPARE(events.filter(QStringLiteral("Closing lock")).size(), 2);

        // The second Pack finds the seal already recorded with this lock: still one seal.
        const std::vector<sim::SealRow> seals = sealsOf(station.databasePath(), "1021");
        QCOMPARE(seals.size(), size_t(1));
        QCOMPARE(seals.front().apId, std::string("5103"));
        QVERIFY(!seals.front().voided);
    }

private:
    QProcess m_xvfb;
    QString m_display;
    std::unique_ptr<Station> m_station;
};

QTEST_GUILESS_MAIN(TestStation)
#include "test_station.moc"
