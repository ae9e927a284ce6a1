#ifndef BRIDGE_H
#define BRIDGE_H

#include "controller.h"

#include <QMutex>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

// The controller as a control system's server sees it. Lives on a Qt thread
// of its own, which alone talks to the line (its timers are its children, so
// they move there with it): it polls the currents every 400 ms, re-reads the
// set-points and coefficients every few seconds, reopens a lost line, and
// keeps the last good values with the time of the reply they came from.
// Requests from the server's own threads are queued onto that thread,
// through the link's guard, and waited for a bounded time.
class Bridge : public QObject
{
    Q_OBJECT

public:
    struct Reading
    {
        Link::ValueBlock values {};
        qint64 atMs = -1; // since the epoch; -1 never read
    };
    struct Snapshot
    {
        Reading setPoints, currents, coefficients;
        bool on = false;
        QString status;
    };
    static constexpr int ReopenIntervalMs = 3000;
    static constexpr int RequestTimeoutMs = 3000;

    // howToChoose ends a status that found no adapter, or several: how the
    // server's user names the one meant.
    explicit Bridge(const QString &howToChoose, QObject *parent = nullptr);

    // Thread-safe.
    Snapshot snapshot() const;
    // Called on the bridge's thread after every change of the snapshot.
    void setObserver(std::function<void(const Snapshot &)> observer);

    // From any thread but the bridge's: done, or why not.
    // The adapter with the serial number, found afresh at every (re)open, or
    // else the port named, or else the one adapter found.
    Torvan::Done open(const Torvan::AdapterChoice &adapter);
    // Done once the controller reads back what was sent.
    Torvan::Done setPoint(int index, double volts);
    Torvan::Done setCoefficient(int slot, float value);
    Torvan::Done commit();

    // From any thread but the bridge's, once no request is left to come: closes
    // the line when no exchange waits on it and ends the bridge's thread, after
    // which the bridge may be deleted from any thread.
    void finish();

private:
    using Work = std::function<Torvan::Done()>;
    Torvan::Done call(Work work);
    void runPending();

    Torvan::Failure notOpen() const;
    void reopen();
    void poll();
    enum class Block { SetPoints, Currents, Coefficients };
    Torvan::Result<Link::ValueBlock> read(Block which);
    void keep(Block which, const Link::ValueBlock &values);
    Torvan::Done refresh(Block which);
    Torvan::Done readBack(Block which, const Link::ValueBlock &sent, int slot);
    void fail(const QString &why);
    QString connectedStatus() const;
    void publish(const std::function<void(Snapshot &)> &change);

    const QString howToChoose;
    Torvan::AdapterChoice requested;
    std::unique_ptr<Torvan::Controller> controller;
    QTimer pollTimer;
    QTimer reopenTimer;
    QTimer retryTimer;
    int polls = 0;
    int missedPolls = 0;
    bool pollQueued = false;

    std::deque<std::function<void()>> pending; // work to run in turn, on the bridge's thread

    mutable QMutex mutex;
    Snapshot shared;
    std::function<void(const Snapshot &)> observer;
};

#endif // BRIDGE_H
