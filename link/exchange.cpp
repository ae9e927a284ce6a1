#include "exchange.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QIODevice>
#include <QPointer>

namespace Link {

namespace {

struct DeferredTask
{
    QPointer<QObject> context;
    std::function<void()> task;
};

struct PortGuard
{
    bool waiting = false;
    bool runningDeferred = false;
    QList<DeferredTask> deferred;
};

// Everything runs on the GUI thread, so a plain map keyed by port is enough.
QHash<const QIODevice *, PortGuard> &guards()
{
    static QHash<const QIODevice *, PortGuard> map;
    return map;
}

void forgetIfIdle(const QIODevice *port)
{
    const auto it = guards().constFind(port);
    if (it != guards().cend() && !it->waiting && !it->runningDeferred && it->deferred.isEmpty())
        guards().erase(it);
}

// Runs the queued tasks, oldest first, once the exchange that was waiting has
// returned and its caller has dealt with the reply. A task may run an exchange
// of its own; what is queued during that wait joins the end of the queue.
void runDeferred(QIODevice *port)
{
    if (guards()[port].waiting || guards()[port].runningDeferred)
        return; // a later end of a wait schedules the queue again
    guards()[port].runningDeferred = true;
    while (!guards()[port].deferred.isEmpty()) {
        const DeferredTask next = guards()[port].deferred.takeFirst();
        if (next.context)
            next.task();
    }
    guards()[port].runningDeferred = false;
    forgetIfIdle(port);
}

void writeFrame(QIODevice *port, const QByteArray &frame)
{
    // Neither result is looked at: a frame still queued after 10 ms leaves later on its own.
    port->write(frame);
    port->waitForBytesWritten(WriteTimeoutMs);
}

} // namespace

bool isBusy(const QIODevice *port)
{
    const auto it = guards().constFind(port);
    return it != guards().cend() && it->waiting;
}

bool deferIfBusy(QIODevice *port, QObject *context, std::function<void()> task)
{
    const auto it = guards().find(port);
    if (it == guards().end())
        return false;
    // Behind tasks still queued too, so everything runs in the order it came.
    const bool queueAhead = !it->runningDeferred && !it->deferred.isEmpty();
    if (!it->waiting && !queueAhead)
        return false;
    it->deferred.append({ context, std::move(task) });
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

    guards()[port].waiting = true;
    writeFrame(port, buildFrame(command));

    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ReplyWindowMs && port->bytesAvailable() < ValueBlockSize) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!port->isOpen()) // the line went away while we waited
            break;
    }
    // Read everything, even a late or oversized reply, so the next exchange starts clean.
    const QByteArray reply = port->isOpen() ? port->readAll() : QByteArray();
    guards()[port].waiting = false;

    if (guards()[port].deferred.isEmpty())
        forgetIfIdle(port);
    else
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
