#pragma once

#include <QDialog>
#include <QNetworkProxy>
#include <QScopedPointer>

class Configuration;
class QIntValidator;

namespace Ui {
class AssetProxyDialog;
}

// Makes the chosen proxy the application-wide one: 0 none (direct connections),
// 1 the platform's proxy, 2 the HTTP proxy described by `proxy`.
void applyProxy(int type, QNetworkProxy proxy);

// The proxy port as stored or typed: a decimal number up to 65535; anything else means 0, so a
// bad value is never cut to some other port.
quint16 proxyPortFromText(const QString &text);

// The settings dialog: behaviour settings and the proxy, stored on OK.
class AssetProxyDialog : public QDialog
{
    Q_OBJECT

public:
    // `config` defaults to the process-wide store.
    explicit AssetProxyDialog(QWidget *parent = nullptr, Configuration *config = nullptr);
    ~AssetProxyDialog() override;

private slots:
    void systemProxy(bool state);
    void defineProxy(bool state);
    void loadProxy();

private:
    void loadApplicationSettings();
    void loadProxySettings();
    void saveProxySettings();
    void saveApplicationSettings();

    const QScopedPointer<Ui::AssetProxyDialog> m_ui;
    Configuration *const m_config;
    QIntValidator *m_portValidator;
};
