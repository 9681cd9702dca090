#pragma once

#include <QPointer>
#include <QScopedPointer>
#include <QWidget>

class JSON;

namespace Ui {
class LoginWidget;
}

// The login page: signs the operator in through the current service session.
class LoginWidget : public QWidget
{
    Q_OBJECT

public:
    explicit LoginWidget(QWidget *parent = nullptr);
    ~LoginWidget() override;

signals:
    void loginSuccessful(QString token);
    void loginFailed(QString message);
    void requestServiceDetails();

public slots:
    void serviceCreated(JSON *service);
    void serviceDeleted();
    void loginRequested();
    void keyConnectionChange(bool connected);

private:
    const QScopedPointer<Ui::LoginWidget> m_ui;
    // Not owned; QPointer because the window may drop the session while a login waits.
    QPointer<JSON> m_service;
    // A login waits in a nested event loop; Enter in the password field must not start another.
    bool m_loginRunning = false;
};
