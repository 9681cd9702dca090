#include "ui/assetproxydialog.h"

#include "app/configuration.h"
#include "ui_assetproxydialog.h"

#include <QIntValidator>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QUrl>

namespace {
// Only used to ask the platform which proxy applies to plain HTTP; nothing is fetched.
const char kProxyQueryUrl[] = "http://www.example.com/";
} // namespace

void applyProxy(int type, QNetworkProxy proxy)
{
    if (type == 2) {
        proxy.setType(QNetworkProxy::HttpProxy);
        QNetworkProxy::setApplicationProxy(proxy);
        return;
    }
    if (type == 1) {
        const QList<QNetworkProxy> proxies =
            QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(QUrl(QString::fromLatin1(kProxyQueryUrl))));
        for (const QNetworkProxy &entry : proxies) {
            if (entry.type() != QNetworkProxy::HttpProxy && entry.type() != QNetworkProxy::Socks5Proxy)
                continue;
            // A SOCKS5 entry is still used as an HTTP proxy on its host and port.
            QNetworkProxy chosen(QNetworkProxy::HttpProxy, entry.hostName(), entry.port());
            chosen.setUser(entry.user().isEmpty() ? proxy.user() : entry.user());
            chosen.setPassword(entry.password().isEmpty() ? proxy.password() : entry.password());
            QNetworkProxy::setApplicationProxy(chosen);
            return;
        }
        return;
    }
    // An explicit NoProxy: a default-constructed description could still let the
    // platform's settings (http_proxy and friends) choose a proxy.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

quint16 proxyPortFromText(const QString &text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok);
    return ok && port <= 65535 ? quint16(port) : 0;
}

AssetProxyDialog::AssetProxyDialog(QWidget *parent, Configuration *config)
    : QDialog(parent), m_ui(new Ui::AssetProxyDialog), m_config(config ? config : Configuration::instance()),
      m_portValidator(new QIntValidator(0, 65535, this))
{
    m_ui->setupUi(this);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &AssetProxyDialog::loadProxy);
    connect(m_ui->rbnDefine, &QRadioButton::toggled, this, &AssetProxyDialog::defineProxy);
    connect(m_ui->rbnSystem, &QRadioButton::toggled, this, &AssetProxyDialog::systemProxy);

    loadApplicationSettings();
    loadProxySettings();

    setWindowTitle(QStringLiteral("Application settings"));
    m_ui->tbxPort->setValidator(m_portValidator);
}

AssetProxyDialog::~AssetProxyDialog() = default;

void AssetProxyDialog::loadApplicationSettings()
{
    m_ui->chkAutoSeal->setChecked(m_config->get(Setting::AutoSeal));
    m_ui->chkMultiSealDialogue->setChecked(m_config->multipleSealDialogue());
    const QString protocol = m_config->get(Setting::Protocol);
    m_ui->cmbProtocol->setCurrentIndex(protocol == QLatin1String("tcp") ? 0 : 1);
}

void AssetProxyDialog::loadProxySettings()
{
    switch (m_config->get(Setting::ProxyType)) {
    case 1:
        m_ui->rbnSystem->setChecked(true);
        break;
    case 2:
        m_ui->rbnDefine->setChecked(true);
        m_ui->tbxHost->setText(m_config->get(Setting::ProxyHost));
        m_ui->tbxPort->setText(m_config->getString(QLatin1String(Setting::ProxyPort.key)));
        m_ui->tbxUser->setText(m_config->get(Setting::ProxyUser));
        m_ui->tbxPass->setText(m_config->get(Setting::ProxyPass));
        break;
    default:
        m_ui->rbnNo->setChecked(true);
        break;
    }
}

void AssetProxyDialog::systemProxy(bool state)
{
    m_ui->tbxHost->setEnabled(false);
    m_ui->tbxPort->setEnabled(false);
    m_ui->tbxUser->setEnabled(state);
    m_ui->tbxPass->setEnabled(state);
}

void AssetProxyDialog::defineProxy(bool state)
{
    m_ui->tbxHost->setEnabled(state);
    m_ui->tbxPort->setEnabled(state);
    m_ui->tbxUser->setEnabled(state);
    m_ui->tbxPass->setEnabled(state);
}

void AssetProxyDialog::loadProxy()
{
    saveProxySettings();
    saveApplicationSettings();
    m_config->save();
}

void AssetProxyDialog::saveProxySettings()
{
    int type = 0;
    if (m_ui->rbnSystem->isChecked())
        type = 1;
    else if (m_ui->rbnDefine->isChecked())
        type = 2;

    QNetworkProxy proxy;
    proxy.setHostName(m_ui->tbxHost->text());
    proxy.setPort(proxyPortFromText(m_ui->tbxPort->text()));
    proxy.setUser(m_ui->tbxUser->text());
    proxy.setPassword(m_ui->tbxPass->text());
    applyProxy(type, proxy);

    m_config->set(Setting::ProxyType, type);
    m_config->set(Setting::ProxyHost, proxy.hostName());
    m_config->set(Setting::ProxyPort, proxy.port());
    m_config->set(Setting::ProxyUser, proxy.user());
    m_config->set(Setting::ProxyPass, proxy.password());
}

void AssetProxyDialog::saveApplicationSettings()
{
    m_config->set(Setting::AutoSeal, m_ui->chkAutoSeal->isChecked());
    m_config->set(Setting::MultipleSealDialogue, m_ui->chkMultiSealDialogue->isChecked());
    m_config->set(Setting::Protocol,
                  m_ui->cmbProtocol->currentIndex() == 0 ? QStringLiteral("tcp") : QStringLiteral("udp"));
}
