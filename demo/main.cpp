// torvan-demo: the tool's own main window, talking to a simulated controller
// that runs in this process on a pseudo-terminal, so the tool can be tried
// without the hardware. The simulated line is offered as a qualifying adapter,
// ahead of any real one.
#include "mainwindow.h"
#include "seriallink.h"
#include "simcontroller.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

namespace {

bool displayAvailable(int argc, char *argv[])
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0)
            return true;
    }
    return !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return true;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    if (!displayAvailable(argc, argv)) {
        fprintf(stderr,
                "torvan-demo: no display to show the window on; run it from a desktop "
                "session, or headless with: xvfb-run %s\n",
                argv[0]);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/icon.ico")));

    SimController controller;
    if (const auto started = controller.start(); !started) {
        fprintf(stderr, "torvan-demo: %s\n", qPrintable(started.failure()));
        return 1;
    }
    const QString simulatedPort = controller.devicePath();
    Link::setPortSource([simulatedPort] {
        QList<Link::PortEntry> ports = Link::systemPorts();
        ports.prepend(Link::simulatedAdapter(simulatedPort));
        return ports;
    });

    MainWindow window;
    window.show();
    return app.exec();
}
