#ifndef REQUESTGUARD_H
#define REQUESTGUARD_H

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class QEventLoop;
class QIODevice;

namespace Link {

constexpr int QuietGapMs = 50; // after a reply owed or a stray byte: it may come late
constexpr int ShortGapMs = 20; // where answers would follow at once
constexpr int SettleLimitMs = 1000;

// The gate between a port and its wire: at most one request at a time.
//
// Idle, or Waiting: for a frame to leave or for a reply to come. A wait runs
// the event loop, so other slots run inside it; whatever asks for the port
// then is queued, and the queue runs in order once the port is idle again,
// one task per turn of whichever event loop runs (a modal dialog's too). A
// task's own requests go ahead of the queue: they are told apart from new ones
// by the event-loop depth the task started at.
//
// Replies carry no command echo, so the guard also keeps track of which reply
// belongs to which request:
// - An anomaly is a reply that did not come whole within its window (still
//   owed: it may come later), one that is short, long or led by junk, or a
//   stray byte found waiting before a request.
// - After an anomaly the line is unsettled: before the next read the guard
//   drains it until nothing has come for QuietGapMs, for at most SettleLimitMs.
// - After an anomaly the line is also suspect: a block read then may be the
//   late answer to another request. It is returned only once a second read of
//   the same request agrees with it (bit for bit for set-points and
//   coefficients, within the currents' own drift for currents); that read is
//   the one returned, and the line is trusted again. The second read waits
//   for the first one's window to close (its own reply may still be on its
//   way) and then for a quiet line (ShortGapMs), so neither that reply nor a
//   backlog of answers can agree with itself. Replies that never agree within MaxReadsToConfirm
//   reads (exchange.h) fail the read.
// - A line just opened is unsettled too: its past is unknown. So is a line
//   after S, W or C, for ShortGapMs: the controller may acknowledge them, and
//   an acknowledgement that came after the next request, with a reply one
//   byte short, would make 32 bytes no read could tell from a reply.
// - On a line without anomalies none of this sends a byte more; only the
//   first read after an open or a frame without reply waits a little.
//
// A port's guard is its child, made on first use: it lives exactly as long as
// the port, so a new port never finds old work queued. Closing the port
// forgets the line's past.
class RequestGuard : public QObject
{
    Q_OBJECT

public:
    static RequestGuard *of(QIODevice *port);
    static const RequestGuard *existing(const QIODevice *port);

    bool isWaiting() const { return state == Waiting; }

    // Queues task and returns true while the port waits or tasks queued
    // earlier have not run yet; the task is dropped if context is gone by its
    // turn. Otherwise false: the caller goes ahead at once.
    bool deferIfBusy(QObject *context, std::function<void()> task);

    // A request takes the port: Waiting until finish().
    void begin() { state = Waiting; }
    // Runs the event loop until done() holds, the port closes or ms pass.
    void waitFor(int ms, std::function<bool()> done);

    // The line misbehaved: settle it before the next request, and confirm the
    // next block read.
    void noteAnomaly()
    {
        unsettle(QuietGapMs);
        suspect = true;
    }
    // The line may still carry answers to earlier requests: settle it before
    // the next read. So after an open (another program's, or an earlier
    // opening's), after a frame without reply (an acknowledgement), and after
    // a block still to be confirmed (the reply it may have displaced).
    void unsettle(int gapMs) { settleGapMs = qMax(settleGapMs, gapMs); }
    // As unsettle(ShortGapMs), and not quiet before this request's reply
    // window has closed: its reply may still be on its way.
    void settleAfter(QDeadlineTimer replyWindow)
    {
        unsettle(ShortGapMs);
        windowToClose = replyWindow;
    }
    bool isSuspect() const { return suspect; }
    // A block confirmed: the reads behind it need no more settling.
    void trustAgain()
    {
        suspect = false;
        settleGapMs = 0;
        windowToClose = QDeadlineTimer();
    }
    // Drains the line, if unsettled or holding stray bytes, until it is quiet
    // (see above); stray bytes count as an anomaly. Before D, R and G.
    void settle();
    // Drains stray bytes without waiting, an anomaly too. Before S, W and C,
    // which have no reply to be mistaken.
    void dropStray();
    // The request is over: Idle, and the queue gets its turn.
    void finish();

private:
    explicit RequestGuard(QIODevice *port);
    void checkWait();
    void runNext();
    void scheduleNext();

    struct Task
    {
        QPointer<QObject> context;
        std::function<void()> run;
    };

    enum State { Idle, Waiting } state = Idle;
    int settleGapMs = 0; // how long the line must stay quiet before the next read; 0: settled
    QDeadlineTimer windowToClose; // expired unless a reply may still come
    bool suspect = false;
    QList<Task> queue;
    QList<int> taskDepths; // the event-loop depth of each task running, innermost last

    // The wait in progress. The timer and the connections to the port are
    // made once, not per wait: a poll's cost is mostly its waits.
    QIODevice *port;
    QEventLoop *waitLoop = nullptr;
    std::function<bool()> waitDone;
    QDeadlineTimer deadline;
    QTimer *deadlineTimer; // a child, so it moves threads with the port
};

} // namespace Link

#endif // REQUESTGUARD_H
