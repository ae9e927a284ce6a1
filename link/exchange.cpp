#include "exchange.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QIODevice>
#include <QPointer>
#include <QTimer>

namespace Link {

namespace {

struct DeferredTask
{
    QPointer<QObject> context;
    std::function<void()> task;
};

// A port's guard is a child object of the port: it lives exactly as long as
// the port, so a new port never finds old work queued.
class PortGuard : public QObject
{
    Q_OBJECT

public:
    explicit PortGuard(QIODevice *port)
        : QObject(port)
    { }

    bool waiting = false;
    bool runningDeferred = false;
    QList<DeferredTask> deferred;
};

PortGuard *existingGuard(const QIODevice *port)
{
    return port->findChild<PortGuard *>(QString(), Qt::FindDirectChildrenOnly);
}

PortGuard &guardOf(QIODevice *port)
{
    if (PortGuard *guard = existingGuard(port))
        return *guard;
    return *new PortGuard(port);
}

// Runs the queued tasks, oldest first, once the exchange that was waiting has
// returned and its caller has dealt with the reply. A task may run an exchange
// of its own; what is queued during that wait joins the end of the queue.
void runDeferred(QIODevice *port)
{
    if (guardOf(port).waiting || guardOf(port).runningDeferred)
        return; // a later end of a wait schedules the queue again
    guardOf(port).runningDeferred = true;
    while (!guardOf(port).deferred.isEmpty()) {
        const DeferredTask next = guardOf(port).deferred.takeFirst();
        if (next.context)
            next.task();
    }
    guardOf(port).runningDeferred = false;
}

void writeFrame(QIODevice *port, const QByteArray &frame)
{
    // Whatever waits on the port now answered an earlier request (a reply that
    // came whole but late, an acknowledgement): replies carry no command echo,
    // so it is dropped here, and a reply is only ever taken from bytes that
    // arrived after its own request.
    drainInput(port);
    // Neither result is looked at: a frame still queued after 10 ms leaves later on its own.
    port->write(frame);
    port->waitForBytesWritten(WriteTimeoutMs);
}

// The wait sleeps in a local event loop that the port wakes: readyRead once
// the reply is whole, aboutToClose when the line goes away. Qt delivers the
// bytes from a socket notifier on Linux but in a posted event on Windows, and
// a dispatcher that has just sent posted events goes back to sleep until the
// next new event; quitting the loop interrupts it either way. A precise timer
// ends the window; should it fire a hair early, it is armed for the rest.
void waitForReply(QIODevice *port)
{
    const QDeadlineTimer window(ReplyWindowMs, Qt::PreciseTimer);
    QEventLoop wait;
    QTimer windowEnd;
    windowEnd.setSingleShot(true);
    windowEnd.setTimerType(Qt::PreciseTimer);
    const auto replyInOrWindowOver = [&] {
        if (!port->isOpen() || port->bytesAvailable() >= ValueBlockSize || window.hasExpired())
            return true;
        if (!windowEnd.isActive())
            windowEnd.start(int((window.remainingTimeNSecs() + 999999) / 1000000));
        return false;
    };
    const auto endWhenDone = [&] {
        if (replyInOrWindowOver())
            wait.quit();
    };
    QObject::connect(port, &QIODevice::readyRead, &wait, endWhenDone);
    QObject::connect(port, &QIODevice::aboutToClose, &wait, &QEventLoop::quit);
    QObject::connect(&windowEnd, &QTimer::timeout, &wait, endWhenDone);
    if (!replyInOrWindowOver())
        wait.exec();
}

} // namespace

bool isBusy(const QIODevice *port)
{
    const PortGuard *guard = existingGuard(port);
    return guard && guard->waiting;
}

bool deferIfBusy(QIODevice *port, QObject *context, std::function<void()> task)
{
    PortGuard *guard = existingGuard(port);
    if (!guard)
        return false;
    // Behind tasks still queued too, so everything runs in the order it came.
    const bool queueAhead = !guard->runningDeferred && !guard->deferred.isEmpty();
    if (!guard->waiting && !queueAhead)
        return false;
    guard->deferred.append({ context, std::move(task) });
    return true;
}

void sendCommand(QIODevice *port, const QByteArray &frame)
{
    if (deferIfBusy(port, port, [port, frame] { sendCommand(port, frame); }))
        return;
    if (port->isOpen())
        writeFrame(port, frame);
}

std::optional<ValueBlock> exchange(QIODevice *port, char command)
{
    if (isBusy(port) || !port->isOpen())
        return std::nullopt;

    guardOf(port).waiting = true;
    writeFrame(port, buildFrame(command));

    waitForReply(port);
    // Read everything, even a short or oversized reply, so the next exchange starts clean.
    const QByteArray reply = port->isOpen() ? port->readAll() : QByteArray();
    guardOf(port).waiting = false;

    if (!guardOf(port).deferred.isEmpty())
        QMetaObject::invokeMethod(
            port, [port] { runDeferred(port); }, Qt::QueuedConnection);
    // Replies carry no command echo: only the exact length tells a reply from left-overs.
    return decodeValueBlock(reply);
}

void drainInput(QIODevice *port)
{
    if (port->isOpen() && port->bytesAvailable() > 0)
        port->readAll();
}

} // namespace Link

#include "exchange.moc"
