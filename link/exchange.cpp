#include "exchange.h"
#include "networkline.h"
#include "requestguard.h"

#include <QDeadlineTimer>
#include <QIODevice>
#include <QSerialPort>

#include <cstring>

namespace Link {

namespace {

bool writeFrame(RequestGuard *guard, QIODevice *port, const QByteArray &frame)
{
    // Neither result is looked at: a frame still queued after 10 ms leaves
    // later on its own. A serial port is told to start the write now rather
    // than on the event loop's next turn. The wait is the event loop's, not
    // waitForBytesWritten(): on Windows, I/O that completes while that call
    // waits is queued without a notification and stays so after it returns,
    // so a reply that came in before the write's own completion was reported
    // would never be seen.
    if (!port->isOpen() || port->write(frame) != frame.size())
        return false;
    if (auto *serialPort = qobject_cast<QSerialPort *>(port))
        serialPort->flush();
    guard->waitFor(WriteTimeoutMs, [port] { return port->bytesToWrite() == 0; });
    return port->isOpen();
}

// One request and its reply, which counts only if exactly 32 bytes came.
std::optional<ValueBlock> readOnce(RequestGuard *guard, QIODevice *port, char command)
{
    // Whatever waits on the port now answered an earlier request (a reply that
    // came whole but late, an acknowledgement): replies carry no command echo,
    // so it is drained here, with what may still follow it, and a reply is only
    // ever taken from bytes that arrived after its own request.
    guard->settle();
    if (!writeFrame(guard, port, buildFrame(command)))
        return std::nullopt;
    const QDeadlineTimer window(ReplyWindowMs);
    guard->waitFor(ReplyWindowMs, [port] { return port->bytesAvailable() >= ValueBlockSize; });
    // Read everything, even a short or oversized reply, so the next request starts clean.
    const QByteArray reply = port->isOpen() ? port->readAll() : QByteArray();
    const auto block = decodeValueBlock(reply);
    if (!block && port->isOpen())
        guard->noteAnomaly();
    // A block that may have been another request's leaves this one's reply
    // owed until its window closes.
    if (block && guard->isSuspect())
        guard->settleAfter(window);
    return block;
}

// Through a terminal server, a frame written is not yet a frame delivered: the
// server may take a client's bytes and then turn it away, or drop what it has
// not passed on when the connection closes. A reply to a request sent after
// the frame shows that the frame went ahead of it to the controller.
bool deliveredThroughServer(RequestGuard *guard, QIODevice *port)
{
    for (int read = 0; read < MaxReadsToConfirm && port->isOpen(); ++read) {
        if (readOnce(guard, port, Command::ReadVoltages))
            return true;
    }
    return false;
}

} // namespace

bool identicalBlocks(const ValueBlock &first, const ValueBlock &second)
{
    return std::memcmp(first.data(), second.data(), sizeof first) == 0;
}

bool isBusy(const QIODevice *port)
{
    const RequestGuard *guard = RequestGuard::existing(port);
    return guard && guard->isWaiting();
}

bool deferIfBusy(QIODevice *port, QObject *context, std::function<void()> task)
{
    return RequestGuard::of(port)->deferIfBusy(context, std::move(task));
}

bool sendCommand(QIODevice *port, const QByteArray &frame)
{
    RequestGuard *guard = RequestGuard::of(port);
    if (guard->isWaiting() || !port->isOpen())
        return false;
    // The write's wait runs the event loop too: nothing else may reach the wire meanwhile.
    guard->begin();
    guard->dropStray();
    bool sent = writeFrame(guard, port, frame);
    guard->unsettle(ShortGapMs);
    if (sent && qobject_cast<NetworkLine *>(port))
        sent = deliveredThroughServer(guard, port);
    guard->finish();
    return sent;
}

Reply request(QIODevice *port, char command, Agreement agree)
{
    Reply reply { Reply::NoReply, {} };
    RequestGuard *guard = RequestGuard::of(port);
    if (guard->isWaiting() || !port->isOpen())
        return reply;

    guard->begin();
    std::optional<ValueBlock> candidate;
    for (int read = 0; read < MaxReadsToConfirm; ++read) {
        const auto block = readOnce(guard, port, command);
        if (!block) {
            reply.outcome = Reply::NoReply;
            break;
        }
        const bool confirmed = candidate && agree(*candidate, *block);
        if (!guard->isSuspect() || confirmed) {
            guard->trustAgain();
            reply = { Reply::Block, *block };
            break;
        }
        candidate = block;
        reply.outcome = Reply::Unconfirmed;
    }
    guard->finish();
    return reply;
}

std::optional<ValueBlock> exchange(QIODevice *port, char command, Agreement agree)
{
    const Reply reply = request(port, command, agree);
    if (reply.outcome != Reply::Block)
        return std::nullopt;
    return reply.block;
}

void drainInput(QIODevice *port)
{
    if (port->isOpen() && port->bytesAvailable() > 0)
        port->readAll();
}

} // namespace Link
