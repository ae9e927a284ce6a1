// The yardstick for the tool's start-up: what any program showing this window
// pays before it shows, with none of the tool's logic: the window's and the
// dialog's forms, the icon, and the one port enumeration the list needs.
#include "ui_dialog.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <QMainWindow>
#include <QSerialPortInfo>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/icon.ico")));
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QDialog dialog(&window);
    Ui_Dialog dialogUi;
    dialogUi.setupUi(&dialog);
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ui.cbPorts->addItem(info.portName());
    window.show();
    return app.exec();
}
