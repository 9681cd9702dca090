// The start-up and memory baseline: the smallest Qt Widgets program with a main window, built with
// the same compiler, flags and Qt libraries as the application.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Minimal"));
    window.setCentralWidget(new QLabel(QStringLiteral("Minimal Qt Widgets program"), &window));
    window.statusBar()->showMessage(QStringLiteral("Ready"));
    window.resize(800, 600); // the application's window size, so both paint as much
    window.show();
    return app.exec();
}
