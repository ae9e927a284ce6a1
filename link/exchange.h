#ifndef EXCHANGE_H
#define EXCHANGE_H

#include "protocol.h"

#include <functional>

class QIODevice;
class QObject;

// Request and reply over the port's QIODevice side. An exchange waits for its
// reply while processing events, so other slots can run inside the wait; a
// per-port guard makes sure no second request reaches the wire meanwhile.
namespace Link {

constexpr int WriteTimeoutMs = 10;
constexpr int ReplyWindowMs = 200;

// Every request first drains the line, inside the guard: whatever waits on the
// port then answered an earlier request. D, R and G first wait for a quiet
// line where it may still carry such answers (requestguard.h).

// Writes the frame in one piece and gives it 10 ms to leave; no reply is read.
// False if it was not handed to the line: refused (nothing sent) while the
// port is busy, on a closed port, or a write the system refused. Through a
// terminal server, handed to the line means answered after: the frame counts
// as sent once a D request behind it is answered (up to MaxReadsToConfirm).
bool sendCommand(QIODevice *port, const QByteArray &frame);

// Whether two reads of one request agree: after an anomaly on the line, a
// block counts only once a second read agrees with it (requestguard.h).
using Agreement = bool (*)(const ValueBlock &first, const ValueBlock &second);
bool identicalBlocks(const ValueBlock &first, const ValueBlock &second);

struct Reply
{
    enum Outcome {
        Block, // exactly 32 bytes within the window, on a trusted line or confirmed
        NoReply, // none in time, not exactly 32 bytes, refused or a closed port
        Unconfirmed, // blocks after an anomaly that never agreed
    } outcome;
    ValueBlock block;
};
constexpr int MaxReadsToConfirm = 4;

// Sends the 3-byte request and collects its reply: exactly 32 bytes within the
// reply window, and, after an anomaly, up to MaxReadsToConfirm reads until two
// running agree. Refused (nothing sent) while the port is busy, and on a
// closed port. The guard holds the port for all of it.
Reply request(QIODevice *port, char command, Agreement agree = identicalBlocks);
// The block of request()'s reply, if it has one.
std::optional<ValueBlock> exchange(QIODevice *port, char command,
                                   Agreement agree = identicalBlocks);

// Discards whatever input is waiting on the port.
void drainInput(QIODevice *port);

// True while a request on this port waits: a frame to leave, or an exchange's
// reply to come.
bool isBusy(const QIODevice *port);

// If the port is busy, or earlier tasks are still queued, queues task and
// returns true: the task runs once the request that waits has returned to its
// caller and an event loop is reached again (a modal dialog's one included),
// after the tasks queued before it, and not at all if context is gone by then.
// Otherwise, and for a queued task whose turn has come, returns false, so the
// caller goes ahead at once.
bool deferIfBusy(QIODevice *port, QObject *context, std::function<void()> task);

} // namespace Link

#endif // EXCHANGE_H
