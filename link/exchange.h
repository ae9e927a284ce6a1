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

// Every request (S, W and C as much as D, R and G) first discards the input
// still waiting on the port, inside the guard, so no reply or acknowledgement
// of an earlier request is ever taken for a new one.

// Writes the frame in one piece and gives it 10 ms to leave; no reply is read.
// False if it was not handed to the line: refused (nothing sent) while the
// port is busy, on a closed port, or a write the system refused.
bool sendCommand(QIODevice *port, const QByteArray &frame);

// Sends the 3-byte request and returns the reply only if exactly 32 bytes came
// within the reply window. Refused (nothing sent) while the port is busy, and
// on a closed port.
std::optional<ValueBlock> exchange(QIODevice *port, char command);

// Discards whatever input is waiting on the port (done before every request).
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
