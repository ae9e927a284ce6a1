// The yardstick for start-up: an empty QMainWindow, started and measured the
// same way as the tool.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(538, 198);
    window.show();
    return app.exec();
}
