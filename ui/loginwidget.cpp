#include "ui/loginwidget.h"

#include "service/json.h"
#include "ui_loginwidget.h"

#include <QDebug>
#include <QTextDocument>

namespace {
// A tool tip renders whatever looks like markup; the host and port come from the key.
QString plainToolTip(const QString &text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}
} // namespace

LoginWidget::LoginWidget(QWidget *parent) : QWidget(parent), m_ui(new Ui::LoginWidget)
{
    m_ui->setupUi(this);
    connect(m_ui->btnLogin, &QPushButton::clicked, this, &LoginWidget::loginRequested);
    connect(m_ui->txtPassword, &QLineEdit::returnPressed, this, &LoginWidget::loginRequested);
    m_ui->txtUsername->setFocus();
}

LoginWidget::~LoginWidget() = default;

void LoginWidget::serviceCreated(JSON *service)
{
    m_service = service;
    m_ui->groupLogin->setToolTip(
        plainToolTip(QStringLiteral("Connecting to ") + service->host() + QLatin1Char(':') + service->port()));
}

void LoginWidget::serviceDeleted()
{
    m_service = nullptr;
    m_ui->groupLogin->setToolTip(QStringLiteral("Unknown location"));
}

void LoginWidget::keyConnectionChange(bool connected)
{
    if (!m_loginRunning)
        m_ui->btnLogin->setEnabled(connected);
}

void LoginWidget::loginRequested()
{
    if (m_loginRunning) {
        qDebug().noquote() << "Login already running, request ignored";
        return;
    }

    m_ui->lblLoginInfo->clear();
    m_ui->btnLogin->setEnabled(false);

    if (!m_service) {
        emit requestServiceDetails();
    } else {
        m_loginRunning = true;
        m_ui->btnLogin->setText(QStringLiteral("Please wait..."));
        const QPointer<LoginWidget> self(this);
        const auto outcome = m_service->login(m_ui->txtUsername->text(), m_ui->txtPassword->text());
        if (!self)
            return;
        m_loginRunning = false;
        if (outcome.first) {
            qDebug().noquote() << "Logged in successfully!";
            emit loginSuccessful(QString());
        } else {
            qDebug().noquote() << "Could NOT log in.";
            m_ui->lblLoginInfo->setText(outcome.second);
            emit loginFailed(outcome.second);
        }
    }

    m_ui->btnLogin->setText(QStringLiteral("Login"));
    m_ui->btnLogin->setEnabled(true);
}
