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
