#include "bridge.h"

#include "coefficienttext.h"
#include "quantities.h"

#include <QDateTime>
#include <QThread>

#include <future>

namespace {

// After this many polls without a good reply the controller is reported off.
constexpr int MissedPollsForFault = 3;
// The set-points and the coefficients are read again every this many polls.
constexpr int PollsPerRefresh = 8;

} // namespace

Bridge::Bridge(const QString &howToChoose, QObject *parent)
    : QObject(parent)
    , howToChoose(howToChoose)
    , pollTimer(this)
    , reopenTimer(this)
    , retryTimer(this)
{
    pollTimer.setInterval(Torvan::PollIntervalMs);
    connect(&pollTimer, &QTimer::timeout, this, &Bridge::poll);
    reopenTimer.setInterval(ReopenIntervalMs);
    connect(&reopenTimer, &QTimer::timeout, this, &Bridge::reopen);
    retryTimer.setSingleShot(true);
    retryTimer.setInterval(1);
    connect(&retryTimer, &QTimer::timeout, this, &Bridge::runPending);
    shared.status = QStringLiteral("Not connected yet");
}

Bridge::Snapshot Bridge::snapshot() const
{
    QMutexLocker lock(&mutex);
    return shared;
}

void Bridge::setObserver(std::function<void(const Snapshot &)> newObserver)
{
    QMutexLocker lock(&mutex);
    observer = std::move(newObserver);
}

void Bridge::publish(const std::function<void(Snapshot &)> &change)
{
    Snapshot copy;
    std::function<void(const Snapshot &)> notify;
    {
        QMutexLocker lock(&mutex);
        change(shared);
        copy = shared;
        notify = observer;
    }
    if (notify)
        notify(copy);
}

// The work runs on the bridge's thread once no exchange waits there (so no two
// requests are ever on the wire together); the caller waits a bounded time.
// Work that starts after its caller gave up sends nothing.
Torvan::Done Bridge::call(Work work)
{
    auto promise = std::make_shared<std::promise<Torvan::Done>>();
    auto abandoned = std::make_shared<std::atomic_bool>(false);
    std::future<Torvan::Done> future = promise->get_future();
    QMetaObject::invokeMethod(
        this,
        [this, promise, abandoned, work] {
            pending.push_back([promise, abandoned, work] {
                promise->set_value(*abandoned ? Torvan::Done() : work());
            });
            runPending();
        },
        Qt::QueuedConnection);
    if (future.wait_for(std::chrono::milliseconds(RequestTimeoutMs)) == std::future_status::ready)
        return future.get();
    *abandoned = true;
    return Torvan::Failure { Torvan::Failure::NoReply,
                             QStringLiteral(
                                 "the controller's line was busy for %1 ms; nothing was sent")
                                 .arg(RequestTimeoutMs) };
}

// The queue is the bridge's own, not the link's guard's: work may close the
// line (open() reopens it), which takes the guard and what waits in it along,
// so work never runs from inside the guard's call, nor leaves anything there.
// While an exchange waits, the queue is looked at again shortly.
void Bridge::runPending()
{
    while (!pending.empty()) {
        if (controller && controller->isBusy()) {
            retryTimer.start();
            return;
        }
        const std::function<void()> work = std::move(pending.front());
        pending.pop_front();
        work();
    }
}

Torvan::Done Bridge::open(const Torvan::AdapterChoice &adapter)
{
    return call([this, adapter]() -> Torvan::Done {
        requested = adapter;
        reopen();
        return controller ? Torvan::Done() : notOpen();
    });
}

// The line is not open: why, as the status says it.
Torvan::Failure Bridge::notOpen() const
{
    return { Torvan::Failure::CannotOpen, snapshot().status };
}

void Bridge::reopen()
{
    pollTimer.stop();
    controller.reset();
    const bool named = !requested.port.isEmpty() || !requested.serialNumber.isEmpty();
    auto opened
        = Torvan::openController(named ? QList { requested } : QList<Torvan::AdapterChoice>());
    if (!opened) {
        const auto kind = opened.failure().kind;
        const bool choose
            = kind == Torvan::Failure::NoAdapter || kind == Torvan::Failure::SeveralAdapters;
        fail(opened.failure().message + (choose ? QStringLiteral("; ") + howToChoose : QString()));
        return;
    }
    controller = std::move(*opened);
    reopenTimer.stop();
    missedPolls = 0;
    polls = 0;
    refresh(Block::SetPoints);
    refresh(Block::Coefficients);
    poll();
    pollTimer.start();
}

void Bridge::fail(const QString &why)
{
    publish([&why](Snapshot &s) {
        s.on = false;
        s.status = why;
    });
    if (!controller || controller->isLost()) {
        pollTimer.stop();
        controller.reset();
        reopenTimer.start();
    }
}

Torvan::Result<Link::ValueBlock> Bridge::read(Block which)
{
    return which == Block::SetPoints ? controller->readSetPoints()
        : which == Block::Currents   ? controller->readCurrents()
                                     : controller->readCoefficients();
}

void Bridge::keep(Block which, const Link::ValueBlock &values)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    publish([&](Snapshot &s) {
        auto &reading = which == Block::SetPoints ? s.setPoints
            : which == Block::Currents            ? s.currents
                                                  : s.coefficients;
        reading = { values, now };
    });
}

// One reading of the open controller into the snapshot; the failure, if any,
// which leaves the last good reading as it was.
Torvan::Done Bridge::refresh(Block which)
{
    const auto block = read(which);
    if (!block)
        return block.failure();
    keep(which, *block);
    return {};
}

// After a write: the block read back must hold what the frame carried, in the
// slot written (or, slot -1, in all eight), to the bit. One that does not is
// not kept: the write was not applied, and the last good reading is still
// what the controller holds, or the reply was not the controller's block.
Torvan::Done Bridge::readBack(Block which, const Link::ValueBlock &sent, int slot)
{
    const auto held = read(which);
    if (!held)
        return Torvan::Failure { held.failure().kind,
                                 held.failure().message
                                     + QStringLiteral("; whether the write took is unknown") };
    QStringList differ;
    for (int i = 0; i < Link::SlotCount; ++i) {
        if ((slot < 0 || i == slot) && !Torvan::sameBits((*held)[i], sent[i]))
            differ << QStringLiteral("%1 reads %2, not %3")
                          .arg(which == Block::SetPoints
                                   ? Torvan::setPointName(i)
                                   : QStringLiteral("Coef") + Torvan::coefficientName(i),
                               Torvan::coefficientText((*held)[i], QLocale::c()),
                               Torvan::coefficientText(sent[i], QLocale::c()));
    }
    if (differ.isEmpty()) {
        keep(which, *held);
        return {};
    }
    return Torvan::Failure { Torvan::Failure::NotApplied,
                             differ.join(QStringLiteral(", "))
                                 + QStringLiteral(": the controller did not apply the write") };
}

// The port, and the serial number that found it, if the adapter has one; a
// terminal server's address is its own.
QString Bridge::connectedStatus() const
{
    const QString serialNumber = controller->serialNumber();
    const bool shown = !serialNumber.isEmpty() && serialNumber != controller->name();
    return QStringLiteral("Connected to %1%2; replies come")
        .arg(controller->name(),
             shown ? QStringLiteral(" (serial number %1)").arg(serialNumber) : QString());
}

void Bridge::poll()
{
    if (!controller)
        return;
    if (controller->isBusy()) {
        // A request of a client is on the line: the poll follows it rather
        // than wait for the next tick, so that clients who keep the line busy
        // never make the currents go stale.
        if (!pollQueued) {
            pollQueued = true;
            pending.push_back([this] {
                pollQueued = false;
                poll();
            });
        }
        retryTimer.start();
        return;
    }
    ++polls;
    const auto read = refresh(Block::Currents);
    if (read && polls % PollsPerRefresh == 0)
        refresh(polls % (2 * PollsPerRefresh) ? Block::SetPoints : Block::Coefficients);
    if (read) {
        missedPolls = 0;
        if (!snapshot().on)
            publish([this](Snapshot &s) {
                s.on = true;
                s.status = connectedStatus();
            });
    } else if (controller->isLost()) {
        fail(read.failure().message
             + QStringLiteral("; trying to reopen it every %1 s").arg(ReopenIntervalMs / 1000));
    } else if (++missedPolls >= MissedPollsForFault) {
        fail(QStringLiteral("No reply from the controller on %1 for %2 polls: %3")
                 .arg(controller->name())
                 .arg(missedPolls)
                 .arg(read.failure().message));
    }
}

Torvan::Done Bridge::setPoint(int index, double volts)
{
    return call([this, index, volts]() -> Torvan::Done {
        if (!controller)
            return notOpen();
        if (const auto sent = controller->setPoint(index, volts); !sent)
            return sent;
        Link::ValueBlock frame {};
        frame[index] = float(volts); // what the S frame carried
        return readBack(Block::SetPoints, frame, index);
    });
}

Torvan::Done Bridge::setCoefficient(int slot, float value)
{
    return call([this, slot, value]() -> Torvan::Done {
        if (!controller)
            return notOpen();
        // All eight go out together: the other seven as the controller holds
        // them now, never guessed.
        const auto current = controller->readCoefficients();
        if (!current)
            return Torvan::Failure { current.failure().kind,
                                     current.failure().message
                                         + QStringLiteral("; nothing was sent") };
        Link::ValueBlock values = *current;
        values[slot] = value;
        if (const auto sent = controller->writeCoefficients(values); !sent)
            return sent;
        return readBack(Block::Coefficients, values, -1);
    });
}

void Bridge::finish()
{
    QThread *const line = thread();
    QMetaObject::invokeMethod(
        this,
        [this, line] {
            pending.push_back([this, line] {
                pollTimer.stop();
                reopenTimer.stop();
                retryTimer.stop();
                controller.reset();
                line->quit();
            });
            runPending();
        },
        Qt::QueuedConnection);
    line->wait();
}

Torvan::Done Bridge::commit()
{
    return call([this]() -> Torvan::Done {
        if (!controller)
            return notOpen();
        return controller->commit();
    });
}
