#include "exchange.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QIODevice>
#include <QPointer>
#include <QSerialPort>
#include <QThread>
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
    QList<DeferredTask> deferred;
    // The event-loop depth at which each deferred task now running started,
    // innermost last: what a task asks for at its own depth is the task itself
    // going ahead; what comes from an event loop it runs (a modal dialog, a
    // wait) is a new request.
    QList<int> taskDepths;
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

int eventLoopDepth()
{
    return QThread::currentThread()->loopLevel();
}

void scheduleDeferred(QIODevice *port);

// Runs the oldest queued task once no request waits. The rest are scheduled
// before it starts, so that a task which runs an event loop of its own (the
// coefficient dialog) does not hold back what was queued behind it: that
// runs inside its loop, in order, as soon as the port is free.
void runDeferred(QIODevice *port)
{
    PortGuard &guard = guardOf(port);
    if (guard.waiting)
        return; // the wait's end schedules the queue again
    DeferredTask next;
    while (!next.context && !guard.deferred.isEmpty())
        next = guard.deferred.takeFirst();
    if (!next.context)
        return;
    if (!guard.deferred.isEmpty())
        scheduleDeferred(port);
    guard.taskDepths.append(eventLoopDepth());
    // The task may delete the port, and the guard with it.
    const QPointer<PortGuard> stillThere(&guard);
    next.task();
    if (stillThere)
        stillThere->taskDepths.removeLast();
}

void scheduleDeferred(QIODevice *port)
{
    QMetaObject::invokeMethod(
        port, [port] { runDeferred(port); }, Qt::QueuedConnection);
}

// Sleeps in a local event loop until done() holds, the port closes or ms have
// passed; wakeUp is the port's signal that done() may hold now. Qt delivers
// serial bytes from a socket notifier on Linux but in posted events on
// Windows, and a dispatcher that has just sent posted events goes back to
// sleep until the next new event; quitting the loop interrupts it either way.
// A precise timer ends the wait; should it fire a hair early, it is armed for
// the rest.
template<typename Signal>
void waitInEventLoop(QIODevice *port, int ms, Signal wakeUp, const std::function<bool()> &done)
{
    const QDeadlineTimer deadline(ms, Qt::PreciseTimer);
    QEventLoop wait;
    QTimer deadlineTimer;
    deadlineTimer.setSingleShot(true);
    deadlineTimer.setTimerType(Qt::PreciseTimer);
    const auto over = [&] {
        if (!port->isOpen() || done() || deadline.hasExpired())
            return true;
        if (!deadlineTimer.isActive())
            deadlineTimer.start(int((deadline.remainingTimeNSecs() + 999999) / 1000000));
        return false;
    };
    const auto endWhenOver = [&] {
        if (over())
            wait.quit();
    };
    QObject::connect(port, wakeUp, &wait, endWhenOver);
    QObject::connect(port, &QIODevice::aboutToClose, &wait, &QEventLoop::quit);
    QObject::connect(&deadlineTimer, &QTimer::timeout, &wait, endWhenOver);
    if (!over())
        wait.exec();
}

void writeFrame(QIODevice *port, const QByteArray &frame)
{
    // Whatever waits on the port now answered an earlier request (a reply that
    // came whole but late, an acknowledgement): replies carry no command echo,
    // so it is dropped here, and a reply is only ever taken from bytes that
    // arrived after its own request.
    drainInput(port);
    // Neither result is looked at: a frame still queued after 10 ms leaves
    // later on its own. A serial port is told to start the write now rather
    // than on the event loop's next turn. The wait is the event loop's, not
    // waitForBytesWritten(): on Windows, I/O that completes while that call
    // waits is queued without a notification and stays so after it returns,
    // so a reply that came in before the write's own completion was reported
    // would never be seen.
    port->write(frame);
    if (auto *serialPort = qobject_cast<QSerialPort *>(port))
        serialPort->flush();
    waitInEventLoop(port, WriteTimeoutMs, &QIODevice::bytesWritten,
                    [port] { return port->bytesToWrite() == 0; });
}

void waitForReply(QIODevice *port)
{
    waitInEventLoop(port, ReplyWindowMs, &QIODevice::readyRead,
                    [port] { return port->bytesAvailable() >= ValueBlockSize; });
}

// The port's wait is over: what was deferred meanwhile runs once the caller
// has dealt with the outcome.
void endWait(QIODevice *port)
{
    guardOf(port).waiting = false;
    if (!guardOf(port).deferred.isEmpty())
        scheduleDeferred(port);
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
    // Behind tasks still queued too, so everything runs in the order it came;
    // a deferred task itself, now that its turn has come, goes ahead.
    const bool ownTurn
        = !guard->taskDepths.isEmpty() && guard->taskDepths.last() == eventLoopDepth();
    const bool queueAhead = !guard->deferred.isEmpty() && !ownTurn;
    if (!guard->waiting && !queueAhead)
        return false;
    guard->deferred.append({ context, std::move(task) });
    if (!guard->waiting)
        scheduleDeferred(port);
    return true;
}

void sendCommand(QIODevice *port, const QByteArray &frame)
{
    if (deferIfBusy(port, port, [port, frame] { sendCommand(port, frame); }))
        return;
    if (!port->isOpen())
        return;
    // The write's wait runs the event loop too: nothing else may reach the wire meanwhile.
    guardOf(port).waiting = true;
    writeFrame(port, frame);
    endWait(port);
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
    endWait(port);
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
