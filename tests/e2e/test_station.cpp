// End to end: the real sealstation and sealstation-sim processes on a private X server, driven
// like an operator does it: keys typed into the window with xdotool, the simulator's console on
// its standard input. One bag is followed from sign-in to the green result on screen, then checked
// in the messages the key received, byte for byte, and in the simulator's database.
#include "sim/webstore.h"
#include "support/testfiles.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

const int kWaitMs = 10000;

// Fails as soon as kWaitMs have passed; QTRY_* would go on waiting twice as long to report.
#define E2E_WAIT(condition) QVERIFY2(QTest::qWaitFor([&] { return bool(condition); }, kWaitMs), #condition)

class TestStation : public QObject
{
    Q_OBJECT

private:
    // Runs xdotool or the window grabber on the private display; false when it failed.
    bool run(const QString &program, const QStringList &arguments)
    {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        tool.setProcessEnvironment(env);
        tool.start(program, arguments);
        if (!tool.waitForFinished(kWaitMs)) {
            tool.kill();
            tool.waitForFinished();
            return false;
        }
        return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

    bool xdo(const QStringList &arguments) { return run(QStringLiteral("xdotool"), arguments); }

    // Pixels on the screen in the result field's colour after a lock closed ("background-color:
    // green"); -1 when the screen could not be read.
    int greenPixels()
    {
        const QString picture = m_dir.filePath(QStringLiteral("screen.png"));
        const QImage image =
            run(QStringLiteral(SEALSTATION_GRAB_PATH), {QStringLiteral("0"), picture}) ? QImage(picture) : QImage();
        int count = image.isNull() ? -1 : 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x)
                count += image.pixel(x, y) == qRgb(0, 128, 0);
        }
        return count;
    }

    QString simOutput() { return m_simOutput += QString::fromLocal8Bit(m_sim.readAll()); }

    QString appLog() const
    {
        return QString::fromLocal8Bit(
            readFile(m_dir.filePath(QStringLiteral("home/data/Vesk/SealStation/sealstation.log"))));
    }

    void stop()
    {
        if (m_app.state() != QProcess::NotRunning)
            m_app.terminate();
        if (m_sim.state() != QProcess::NotRunning)
            m_sim.write("quit\n");
        for (QProcess *process : {&m_app, &m_sim}) {
            if (!process->waitForFinished(kWaitMs))
                process->kill();
            process->waitForFinished(5000);
        }
    }

private slots:
    void initTestCase()
    {
        // -displayfd picks a free display number and writes it to our pipe.
        m_xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        QVERIFY(m_xvfb.waitForStarted(kWaitMs));
        QByteArray number;
        E2E_WAIT((number += m_xvfb.readAllStandardOutput()).contains('\n'));
        m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    }

    void cleanupTestCase()
    {
        m_xvfb.terminate();
        if (!m_xvfb.waitForFinished(kWaitMs))
            m_xvfb.kill();
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            // What the screen and both programs showed, for whoever looks at the failure.
            const QString shot = QDir::current().absoluteFilePath(
                QStringLiteral("e2e-%1.png").arg(QString::fromLatin1(QTest::currentTestFunction())));
            if (run(QStringLiteral(SEALSTATION_GRAB_PATH), {QStringLiteral("0"), shot}))
                qWarning().noquote() << "Screen saved to" << shot;
            qWarning().noquote() << "Simulator output:\n" + simOutput();
            qWarning().noquote() << "Application log (end):\n" + appLog().right(6000);
        }
        stop();
    }

    void oneBag_fromSignInToGreenResult()
    {
        QVERIFY(m_dir.isValid());
        const QString keySocket = m_dir.filePath(QStringLiteral("key.sock"));
        const QString database = m_dir.filePath(QStringLiteral("vesk.db"));
        m_sim.setProcessChannelMode(QProcess::MergedChannels);
        m_sim.start(QStringLiteral(SEALSTATION_SIM_PATH), {"--port", "0", "--relay-port", "0", "--db", database,
                                                           "--key-socket", keySocket, "--key-delay", "150"});
        QVERIFY(m_sim.waitForStarted(kWaitMs));
        QProcessEnvironment env = freshUserEnvironment(m_dir.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("SEALSTATION_KEY_SOCKET"), keySocket);
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_app.setProcessEnvironment(env);
        m_app.start(QStringLiteral(SEALSTATION_APP_PATH), QStringList());
        QVERIFY(m_app.waitForStarted(kWaitMs));

        QVERIFY(xdo({"search", "--sync", "--onlyvisible", "--name", "^Vesk$", "windowfocus", "--sync"}));
        // The service session exists once the key has reported where the service is.
        E2E_WAIT(appLog().contains(QStringLiteral("URL that will be used")));
        // Signed in by typing, the barcode typed with Enter as the scanner does, the lock in front of the key.
        QVERIFY(xdo({"type", "--delay", "30", "operator\tPack2025"}) && xdo({"key", "Return"}));
        E2E_WAIT(appLog().contains(QStringLiteral("Debug:Logged in successfully!")));
        QVERIFY(xdo({"type", "--delay", "30", "2531011021"}) && xdo({"key", "Return"}));
        E2E_WAIT(appLog().contains(QStringLiteral("Debug:ExamSchedId:")));
        m_sim.write("present 303659\n");
        E2E_WAIT(simOutput().contains(QStringLiteral("Lock presented: RF 303659")));
        QCOMPARE(greenPixels(), 0);

        // Pack has the focus after a scan: Space presses it. The field is some thousand pixels;
        // icons and text hold only a few of this exact colour.
        QVERIFY(xdo({"key", "space"}));
        E2E_WAIT(greenPixels() > 1500);
        QCOMPARE(m_app.state(), QProcess::Running);

        // The messages the key received, byte for byte: a connect, a scan and a close request, each
        // with the byte the application sends after it.
        m_sim.write("frames\n");
        E2E_WAIT(simOutput().contains(QStringLiteral("Frames the key received: 3\n"
                                                     "Frame 1  REQUEST  01 01 1a 02 00 04 00 00 00 00 00\n"
                                                     "Frame 2  REQUEST  01 01 13 05 00 00 00\n"
                                                     "Frame 3  REQUEST  01 01 16 05 00 00 00\n")));

        stop();
        sim::WebStore store;
        QVERIFY(store.open(database.toStdString()));
        QStringList seals;
        for (const sim::SealRow &seal : store.seals()) {
            if (seal.pointId == "1021")
                seals << QString::fromStdString(seal.tableId + ' ' + seal.apId + ' ' + std::to_string(seal.apRfId) +
                                                (seal.voided ? " voided" : ""));
        }
        QCOMPARE(seals, QStringList{QStringLiteral("3101 5101 303659")});
    }

private:
    QProcess m_xvfb;
    QString m_display;
    QTemporaryDir m_dir;
    QProcess m_sim;
    QProcess m_app;
    QString m_simOutput;
};

QTEST_GUILESS_MAIN(TestStation)
#include "test_station.moc"
