#include "interrupt.h"

#include <QCoreApplication>
#include <QObject>

#include <csignal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>
#include <unistd.h>
#endif

namespace {

std::function<void()> interruptHandler;

void runHandler()
{
    if (interruptHandler)
        interruptHandler();
}

#ifdef Q_OS_WIN
// Windows calls console handlers on a thread of its own, so handing the
// work to the event loop is all this one does.
BOOL WINAPI consoleHandler(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    QMetaObject::invokeMethod(qApp, &runHandler, Qt::QueuedConnection);
    return TRUE;
}
#else
// A signal handler may do next to nothing: it writes one byte to a pipe, and
// the event loop, watching the pipe, does the rest.
int signalPipe[2] = { -1, -1 };

void signalHandler(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}
#endif

} // namespace

void onInterrupt(QObject *context, std::function<void()> handler)
{
    interruptHandler = std::move(handler);
#ifdef Q_OS_WIN
    Q_UNUSED(context);
    SetConsoleCtrlHandler(consoleHandler, TRUE);
#else
    if (signalPipe[0] < 0 && ::pipe(signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char byte;
        [[maybe_unused]] const auto ignored = ::read(signalPipe[0], &byte, 1);
        runHandler();
    });
    std::signal(SIGINT, signalHandler);
    std::signal(SIGTERM, signalHandler);
#endif
}
