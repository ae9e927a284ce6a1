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
// While an exchange on the port is waiting, the frame goes out right after it.
void sendCommand(QIODevice *port, const QByteArray &frame);

// Sends the 3-byte request and returns the reply only if exactly 32 bytes came
// within the reply window. Refused (nothing sent) while another exchange on the
// same port is waiting, and on a closed port.
std::optional<ValueBlock> exchange(QIODevice *port, char command);

// Discards whatever input is waiting on the port (done before every request).
void drainInput(QIODevice *port);

// True while an exchange on this port waits for its reply.
bool isBusy(const QIODevice *port);

// If an exchange on the port is waiting, queues task and returns true: the
// task runs once the exchange has returned to its caller and the event loop is
// reached again, after the tasks queued before it, and not at all if context
// is gone by then. Otherwise returns false, so the caller goes ahead at once.
bool deferIfBusy(QIODevice *port, QObject *context, std::function<void()> task);

} // namespace Link

#endif // EXCHANGE_H
