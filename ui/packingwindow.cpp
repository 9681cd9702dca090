#include "ui/packingwindow.h"

#include "ui_packingwindow.h"

PackingWindow::PackingWindow(QWidget *parent) : QMainWindow(parent), m_ui(new Ui::PackingWindow)
{
    m_ui->setupUi(this);
}

PackingWindow::~PackingWindow() = default;
