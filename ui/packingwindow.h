#pragma once

#include <QMainWindow>
#include <QScopedPointer>

namespace Ui {
class PackingWindow;
}

// The application's only top-level window.
class PackingWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit PackingWindow(QWidget *parent = nullptr);
    ~PackingWindow() override;

private:
    const QScopedPointer<Ui::PackingWindow> m_ui;
};
