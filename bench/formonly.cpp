// A second yardstick for start-up: the tool's own main-window form, with
// none of the tool's logic (no port, no enumeration, no dialog, no icon).
#include "ui_mainwindow.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    window.show();
    return app.exec();
}
