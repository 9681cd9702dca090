#include "app/configuration.h"
#include "support/cannedhttpserver.h"
#include "support/testfiles.h"
#include "ui/assetproxydialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    std::unique_ptr<Configuration> m_config;

    template <typename T>
    T *child(QDialog &dialog, const char *name)
    {
        T *widget = dialog.findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("missing widget %s", name);
        return widget;
    }

private slots:
    void initTestCase() { useDataHome(m_home.path()); }

    void init()
    {
        QFile::remove(m_home.path() + QStringLiteral("/Vesk/SealStation/user.config"));
        m_config = std::make_unique<Configuration>();
        m_config->load(QStringLiteral("user.config"));
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        qunsetenv("http_proxy");
        qunsetenv("all_proxy");
    }

    void form_followsStoredSettings_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<int>("proxyType");
        QTest::addColumn<int>("protocolIndex");
        QTest::addColumn<QString>("radio");
        QTest::addColumn<QString>("hostField");
        QTest::addColumn<QString>("enabled"); // host, port, user, password: 1 enabled

        const QString none;
        const QString host = QStringLiteral("proxy.lan");
        QTest::newRow("no proxy, tcp") << "tcp" << 0 << 0 << "rbnNo" << none << "0000";
        QTest::newRow("system proxy, upper-case TCP") << "TCP" << 1 << 1 << "rbnSystem" << none << "0011";
        QTest::newRow("defined proxy, udp") << "udp" << 2 << 1 << "rbnDefine" << host << "1111";
        QTest::newRow("unknown type") << "tcp" << 7 << 0 << "rbnNo" << none << "0000";
    }

    void form_followsStoredSettings()
    {
        QFETCH(QString, protocol);
        QFETCH(int, proxyType);
        QFETCH(int, protocolIndex);
        QFETCH(QString, radio);
        QFETCH(QString, hostField);
        QFETCH(QString, enabled);

        m_config->setString(QStringLiteral("protocol"), protocol);
        m_config->setInteger(QStringLiteral("proxytype"), proxyType);
        m_config->setString(QStringLiteral("proxyhost"), QStringLiteral("proxy.lan"));
        m_config->setInteger(QStringLiteral("proxyport"), 3128);
        m_config->setBoolean(QStringLiteral("autoseal"), true);

        AssetProxyDialog dialog(nullptr, m_config.get());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Application settings"));
        QVERIFY(child<QCheckBox>(dialog, "chkAutoSeal")->isChecked());
        QVERIFY(child<QCheckBox>(dialog, "chkMultiSealDialogue")->isChecked());
        QCOMPARE(child<QComboBox>(dialog, "cmbProtocol")->currentIndex(), protocolIndex);
        QVERIFY(child<QRadioButton>(dialog, radio.toLatin1().constData())->isChecked());
        QCOMPARE(child<QLineEdit>(dialog, "tbxHost")->text(), hostField);
        const char *fields[] = {"tbxHost", "tbxPort", "tbxUser", "tbxPass"};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(child<QLineEdit>(dialog, fields[i])->isEnabled(), enabled.at(i) == QLatin1Char('1'));
    }

    void ok_storesEveryKey_appliesProxy_andWritesFile()
    {
        AssetProxyDialog dialog(nullptr, m_config.get());
        QSignalSpy booleans(m_config.get(), &Configuration::updatedBoolean);
        child<QCheckBox>(dialog, "chkAutoSeal")->setChecked(true);
        child<QCheckBox>(dialog, "chkMultiSealDialogue")->setChecked(false);
        // The protocol box is editable: anything but TCP is stored as UDP.
        QComboBox *protocol = child<QComboBox>(dialog, "cmbProtocol");
        protocol->addItem(QStringLiteral("SCTP"));
        protocol->setCurrentIndex(2);
        child<QRadioButton>(dialog, "rbnDefine")->setChecked(true);
        QTest::keyClicks(child<QLineEdit>(dialog, "tbxHost"), QStringLiteral("proxy.lan"));
        // The validator refuses a sixth digit beyond 65535.
        QTest::keyClicks(child<QLineEdit>(dialog, "tbxPort"), QStringLiteral("655359"));
        QCOMPARE(child<QLineEdit>(dialog, "tbxPort")->text(), QStringLiteral("65535"));
        QTest::keyClicks(child<QLineEdit>(dialog, "tbxUser"), QStringLiteral("op"));
        QTest::keyClicks(child<QLineEdit>(dialog, "tbxPass"), QStringLiteral("s=cret"));

        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();

        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const QNetworkProxy applied = QNetworkProxy::applicationProxy();
        QCOMPARE(applied.type(), QNetworkProxy::HttpProxy);
        QCOMPARE(applied.hostName(), QStringLiteral("proxy.lan"));
        QCOMPARE(applied.port(), quint16(65535));
        QCOMPARE(applied.user(), QStringLiteral("op"));
        QCOMPARE(applied.password(), QStringLiteral("s=cret"));
        QVERIFY(booleans.contains(QVariantList{QStringLiteral("autoseal"), true}));

        // Every key reaches the file, read back as the next start reads it.
        Configuration reread;
        reread.load(QStringLiteral("user.config"));
        QStringList stored;
        for (const char *key : {"proxytype", "proxyhost", "proxyport", "proxyuser", "proxypass", "autoseal",
                                "mutiple.seal.dialogue", "protocol"})
            stored << reread.getString(QLatin1String(key));
        QCOMPARE(stored.join(' '), QStringLiteral("2 proxy.lan 65535 op s=cret true false udp"));
    }

    void cancel_storesNothing()
    {
        m_config->setInteger(QStringLiteral("proxytype"), 0);
        QVERIFY(m_config->save());
        const QByteArray before = readFile(m_config->filePath());
        AssetProxyDialog dialog(nullptr, m_config.get());
        child<QRadioButton>(dialog, "rbnDefine")->setChecked(true);
        child<QLineEdit>(dialog, "tbxHost")->setText(QStringLiteral("proxy.lan"));
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Cancel)->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(readFile(m_config->filePath()), before);
        QCOMPARE(m_config->getInteger(QStringLiteral("proxytype")), 0);
        QCOMPARE(QNetworkProxy::applicationProxy().type(), QNetworkProxy::NoProxy);
    }

    void systemProxy_data()
    {
        QTest::addColumn<QByteArray>("value"); // of http_proxy
        QTest::addColumn<QString>("expectedUser");
        QTest::addColumn<QString>("expectedHost");

        const QString local = QStringLiteral("127.0.0.1");
        QTest::newRow("http proxy, stored credentials") << QByteArray("http://127.0.0.1:3128") << "stored" << local;
        QTest::newRow("http proxy with own user") << QByteArray("http://alice:pw@127.0.0.1:3128") << "alice" << local;
        QTest::newRow("socks5 becomes http") << QByteArray("socks5://127.0.0.1:3128") << "stored" << local;
        // The system reports no proxy: the one in effect is kept.
        QTest::newRow("none reported") << QByteArray() << QString() << "kept";
    }

    void systemProxy()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, expectedUser);
        QFETCH(QString, expectedHost);

        qputenv("http_proxy", value);
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("kept"), 3128));
        QNetworkProxy stored;
        stored.setUser(QStringLiteral("stored"));
        stored.setPassword(QStringLiteral("storedpw"));
        applyProxy(1, stored);
        const QNetworkProxy applied = QNetworkProxy::applicationProxy();
        QCOMPARE(applied.type(), QNetworkProxy::HttpProxy);
        QCOMPARE(applied.hostName(), expectedHost);
        QCOMPARE(applied.port(), quint16(3128));
        QCOMPARE(applied.user(), expectedUser);
    }

    void noProxy_connectsDirectly_evenWithHttpProxyInEnvironment()
    {
        CannedHttpServer proxy(200, QByteArray());
        CannedHttpServer target(200, QByteArray());
        qputenv("http_proxy", "http://127.0.0.1:" + proxy.port().toLatin1());
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        applyProxy(0, QNetworkProxy());

        QNetworkAccessManager manager;
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/").arg(target.port()));
        std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        QVERIFY(finished.wait(3000));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(target.connections(), 1);
        QCOMPARE(proxy.connections(), 0);
        QNetworkProxyFactory::setUseSystemConfiguration(false);
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
