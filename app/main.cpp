#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // A missing or unreadable icon gives a null QIcon: the windows simply show none.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/icon.ico")));

    MainWindow window;
    window.show();
    return app.exec();
}
