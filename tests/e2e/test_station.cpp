// End to end: the real sealstation and sealstation-sim processes on a private X server, driven
// like an operator does it: keys typed into the windows with xdotool, the simulator's console on
// its standard input. Each bag is followed from sign-in to the green result on screen, then checked
// in the messages the key received, byte for byte, and in the simulator's database.
#include "tests/e2e/xscreen.h"

#include "key/kcodec.h"
#include "sim/webstore.h"
#include "support/keytestsupport.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// The result field's colour after a lock closed ("background-color: green").
const QRgb kGreen = qRgb(0, 128, 0);
// The field is some thousand pixels; icons and text hold only a few of this exact colour.
const int kGreenFieldPixels = 1500;
const int kWaitMs = 10000;

// Fails as soon as kWaitMs have passed; QTRY_* would go on waiting twice as long to report.
#define E2E_WAIT(condition) QVERIFY2(QTest::qWaitFor([&] { return bool(condition); }, kWaitMs), #condition)

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
    explicit Station(const QString &display) : m_display(display) {}

    ~Station() { stop(); }

    bool start()
    {
        if (!m_dir.isValid())
            return false;
        m_sim.setProcessChannelMode(QProcess::MergedChannels);
        m_sim.start(QStringLiteral(SEALSTATION_SIM_PATH),
                    {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--relay-port"), QStringLiteral("0"),
                     QStringLiteral("--db"), databasePath(), QStringLiteral("--key-socket"), keySocket(),
                     QStringLiteral("--key-delay"), QStringLiteral("150")});
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
        if (m_app.state() != QProcess::NotRunning)
            m_app.terminate();
        if (m_sim.state() != QProcess::NotRunning)
            m_sim.write("quit\n");
        for (QProcess *process : {&m_app, &m_sim}) {
            if (!process->waitForFinished(10000))
                process->kill();
            process->waitForFinished(5000);
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
        return QTest::qWaitFor([&] { return !(frames = framesListed(simOutput(), from)).isEmpty(); }, kWaitMs)
                   ? frames
                   : QList<QByteArray>();
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
    QString databasePath() const { return m_dir.filePath(QStringLiteral("vesk.db")); }

private:
    QString keySocket() const { return m_dir.filePath(QStringLiteral("key.sock")); }

    const QString m_display;
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

    bool type(const QString &text)
    {
        return !xdo({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), text}).isNull();
    }

    bool key(const QString &keys) { return !xdo({QStringLiteral("key"), keys}).isNull(); }

    int greenPixels(quint32 window) { return e2e::countPixels(e2e::grabWindow(m_display, window), kGreen); }

    // The bag's seals in the simulator's database: table, lock, its tag, and whether it was voided.
    static QStringList sealsOf(const QString &databasePath, const std::string &pointId)
    {
        sim::WebStore store;
        QStringList seals;
        if (!store.open(databasePath.toStdString()))
            return {QStringLiteral("no database")};
        for (const sim::SealRow &seal : store.seals()) {
            if (seal.pointId == pointId)
                seals << QString::fromStdString(seal.tableId + ' ' + seal.apId + ' ' + std::to_string(seal.apRfId) +
                                                (seal.voided ? " voided" : ""));
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
        E2E_WAIT((number += m_xvfb.readAllStandardOutput()).contains('\n'));
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
        // Signed in by typing, the barcode typed with Enter as the scanner does, the lock in front of the key.
        m_station = std::make_unique<Station>(m_display);
        Station &station = *m_station;
        QVERIFY(station.start());
        const quint32 window = xdo({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                    QStringLiteral("--name"), QStringLiteral("^Vesk$")},
                                   kWaitMs)
                                   .split('\n')
                                   .value(0)
                                   .trimmed()
                                   .toUInt();
        QVERIFY2(window != 0, "the application's window did not appear");
        // The service session exists once the key has reported where the service is.
        E2E_WAIT(station.appLog().contains(QStringLiteral("URL that will be used")));
        QVERIFY(!xdo({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window)}).isNull());
        QVERIFY(type(QStringLiteral("operator")) && key(QStringLiteral("Tab")) && type(QStringLiteral("Pack2025")));
        QVERIFY(key(QStringLiteral("Return")));
        E2E_WAIT(station.logCount(QStringLiteral("Logged in successfully!")) == 1);
        QVERIFY(type(QStringLiteral("2531011021")) && key(QStringLiteral("Return")));
        E2E_WAIT(station.appLog().contains(QStringLiteral("Debug:ExamSchedId:")));
        station.sim("present 303659");
        E2E_WAIT(station.simOutput().contains(QStringLiteral("Lock presented: RF 303659")));
        QCOMPARE(greenPixels(window), 0);

        // Pack has the focus after a scan: Space presses it.
        QVERIFY(key(QStringLiteral("space")));
        E2E_WAIT(station.logCount(QStringLiteral("Closed successfully")) == 1);
        E2E_WAIT(greenPixels(window) > kGreenFieldPixels);
        QVERIFY(station.appRunning());

        QCOMPARE(station.keyFrames(), QList<QByteArray>({command(TAG_CONNECT), command(TAG_SCAN), command(TAG_CLOSE)}));
        station.stop();
        QCOMPARE(sealsOf(station.databasePath(), "1021"), QStringList{QStringLiteral("3101 5101 303659")});
    }

private:
    QProcess m_xvfb;
    QString m_display;
    std::unique_ptr<Station> m_station;
};

QTEST_GUILESS_MAIN(TestStation)
#include "test_station.moc"
