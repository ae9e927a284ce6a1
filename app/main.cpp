#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Ties the windows to the installed desktop entry, so Wayland shows its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.torvan.Configurator"));
    // A missing or unreadable icon gives a null QIcon: the windows simply show none.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/icon.ico")));

    MainWindow window;
    window.show();
    return app.exec();
}
