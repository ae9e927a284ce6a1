#include "requestguard.h"

#include <QEventLoop>
#include <QIODevice>
#include <QThread>

#include <utility>

namespace Link {

namespace {

int eventLoopDepth()
{
    return QThread::currentThread()->loopLevel();
}

} // namespace

RequestGuard::RequestGuard(QIODevice *port)
    : QObject(port)
    , port(port)
    , deadlineTimer(new QTimer(this))
{
    deadlineTimer->setSingleShot(true);
    deadlineTimer->setTimerType(Qt::PreciseTimer);
    // Qt delivers serial bytes from a socket notifier on Linux but in posted
    // events on Windows, and a dispatcher that has just sent posted events
    // goes back to sleep until the next new event: quitting the loop ends the
    // wait either way.
    connect(port, &QIODevice::readyRead, this, &RequestGuard::checkWait);
    connect(port, &QIODevice::bytesWritten, this, &RequestGuard::checkWait);
    connect(deadlineTimer, &QTimer::timeout, this, &RequestGuard::checkWait);
    connect(port, &QIODevice::aboutToClose, this, [this] {
        settleGapMs = 0;
        suspect = false;
        if (waitLoop)
            std::exchange(waitLoop, nullptr)->quit();
    });
}

RequestGuard *RequestGuard::of(QIODevice *port)
{
    if (auto *guard = port->findChild<RequestGuard *>(QString(), Qt::FindDirectChildrenOnly))
        return guard;
    return new RequestGuard(port);
}

const RequestGuard *RequestGuard::existing(const QIODevice *port)
{
    return port->findChild<RequestGuard *>(QString(), Qt::FindDirectChildrenOnly);
}

bool RequestGuard::deferIfBusy(QObject *context, std::function<void()> task)
{
    // Behind tasks still queued too, so everything runs in the order it came;
    // a queued task itself, now that its turn has come, goes ahead.
    const bool ownTurn = !taskDepths.isEmpty() && taskDepths.last() == eventLoopDepth();
    const bool queueAhead = !queue.isEmpty() && !ownTurn;
    if (state == Idle && !queueAhead)
        return false;
    queue.append({ context, std::move(task) });
    if (state == Idle)
        scheduleNext();
    return true;
}

void RequestGuard::waitFor(int ms, std::function<bool()> done)
{
    // A precise timer ends the wait; should it fire a hair early, it is armed
    // for the rest.
    deadline = QDeadlineTimer(ms, Qt::PreciseTimer);
    waitDone = std::move(done);
    QEventLoop loop;
    waitLoop = &loop;
    checkWait();
    if (waitLoop)
        loop.exec();
    waitLoop = nullptr;
    deadlineTimer->stop();
}

void RequestGuard::settle()
{
    if (!port->isOpen() || (settleGapMs == 0 && port->bytesAvailable() == 0))
        return;
    const QDeadlineTimer limit(SettleLimitMs);
    int gapMs = settleGapMs;
    do {
        if (port->bytesAvailable() > 0) { // may be the head of a late reply
            port->readAll();
            suspect = true;
            gapMs = qMax(gapMs, QuietGapMs);
        }
        const qint64 quietMs = qMax<qint64>(gapMs, windowToClose.remainingTime());
        waitFor(int(qMin(quietMs, limit.remainingTime())),
                [this] { return port->bytesAvailable() > 0; });
    } while (port->isOpen() && port->bytesAvailable() > 0 && !limit.hasExpired());
    // Bytes still coming after the limit are drained before the request all the same.
    dropStray();
    settleGapMs = 0;
    windowToClose = QDeadlineTimer();
}

void RequestGuard::dropStray()
{
    if (port->isOpen() && port->bytesAvailable() > 0) {
        port->readAll();
        noteAnomaly();
    }
}

void RequestGuard::checkWait()
{
    if (!waitLoop)
        return;
    if (!port->isOpen() || waitDone() || deadline.hasExpired()) {
        // Also before exec(): then the loop is never started.
        std::exchange(waitLoop, nullptr)->quit();
        return;
    }
    if (!deadlineTimer->isActive())
        deadlineTimer->start(int((deadline.remainingTimeNSecs() + 999999) / 1000000));
}

void RequestGuard::finish()
{
    state = Idle;
    if (!queue.isEmpty())
        scheduleNext();
}

void RequestGuard::scheduleNext()
{
    QMetaObject::invokeMethod(this, &RequestGuard::runNext, Qt::QueuedConnection);
}

// Runs the oldest queued task once the port is idle. The rest are scheduled
// before it starts, so that a task which runs an event loop of its own (the
// coefficient dialog) does not hold back what was queued behind it: that
// runs inside its loop, in order, as soon as the port is free.
void RequestGuard::runNext()
{
    if (state == Waiting)
        return; // the wait's end schedules the queue again
    Task next;
    while (!next.context && !queue.isEmpty())
        next = queue.takeFirst();
    if (!next.context)
        return;
    if (!queue.isEmpty())
        scheduleNext();
    taskDepths.append(eventLoopDepth());
    // The task may delete the port, and its guard with it.
    const QPointer<RequestGuard> stillThere(this);
    next.run();
    if (stillThere)
        taskDepths.removeLast();
}

} // namespace Link
