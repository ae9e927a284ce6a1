#include "networkline.h"
#include "seriallink.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QUrl>
#include <QtEndian>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace Link {

namespace {

// Telnet (RFC 854) and its Com Port Control option (RFC 2217).
enum : quint8 {
    Se = 240,
    Sb = 250,
    Will = 251,
    Wont = 252,
    Do = 253,
    Dont = 254,
    Iac = 255,
};
enum : quint8 { Binary = 0, SuppressGoAhead = 3, ComPort = 44 };
// Settings this end sends; the server answers each with its code plus 100.
enum : quint8 {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    PurgeData = 12,
    ServerOffset = 100,
};
enum : quint8 { NoParity = 1, OneStopBit = 1, NoFlowControl = 1, PurgeBoth = 3 };
constexpr quint32 LineBaudRate = 115200;

QString settingName(quint8 setting)
{
    switch (setting) {
    case SetBaudRate:
        return QStringLiteral("baud rate");
    case SetDataSize:
        return QStringLiteral("data size");
    case SetParity:
        return QStringLiteral("parity");
    case SetStopSize:
        return QStringLiteral("stop bits");
    case SetControl:
        return QStringLiteral("flow control");
    default:
        return QStringLiteral("purge");
    }
}

// Options both ends turn on: 8-bit data untouched, and no go-aheads.
bool wanted(quint8 option, bool ours)
{
    return option == Binary || option == SuppressGoAhead || (ours && option == ComPort);
}

QByteArray escaped(QByteArrayView bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 2);
    for (const char byte : bytes) {
        out.append(byte);
        if (quint8(byte) == Iac)
            out.append(byte);
    }
    return out;
}

// The last line a server wrote before it hung up ("Port already in use"),
// if what came last was a line of text.
QString lastWords(const QByteArray &tail)
{
    if (!tail.endsWith("\r\n"))
        return {};
    const QByteArray line = tail.chopped(2).split('\n').last().trimmed();
    for (const char c : line)
        if (c < 0x20 || c > 0x7e)
            return {};
    return QString::fromLatin1(line);
}

// A peer that stops taking data (powered off, cable pulled) loses the
// connection within seconds, not after the system's two hours.
void detectSilentPeer(QTcpSocket *socket)
{
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(socket->socketDescriptor());
    const int idleS = 2, intervalS = 1, probes = 3;
    const unsigned unacknowledgedMs = 5000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
#endif
}

} // namespace

NetworkLine::NetworkLine(QObject *parent)
    : QIODevice(parent)
    , socket(new QTcpSocket(this))
{
    connect(socket, &QTcpSocket::readyRead, this, &NetworkLine::takeIn);
    connect(socket, &QTcpSocket::bytesWritten, this, &NetworkLine::bytesWritten);
    connect(socket, &QTcpSocket::disconnected, this,
            [this] { dropConnection(tr("the terminal server closed the connection")); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // A wait that timed out is no loss: the wait's owner decides.
        if (error == QAbstractSocket::SocketTimeoutError)
            return;
        dropConnection(error == QAbstractSocket::RemoteHostClosedError
                           ? tr("the terminal server closed the connection")
                           : socket->errorString());
    });
}

NetworkLine::~NetworkLine()
{
    // Nobody is told of a loss while the line goes away.
    socket->disconnect(this);
}

bool NetworkLine::connectTo(const QString &name)
{
    if (isOpen())
        close();
    const QString address = normalizedAddress(name);
    if (address.isEmpty()) {
        setErrorString(tr("not an address of the form tcp://HOST:PORT or rfc2217://HOST:PORT"));
        return false;
    }
    const QUrl url(address);
    telnet = url.scheme() == QLatin1String("rfc2217");
    pending.clear();
    lastText.clear();
    reason.clear();
    state = State::Data;
    comPortRefused = false;
    acknowledged.clear();
    ourSide.clear();
    theirSide.clear();
    lostReported = false;
    connected = false;

    socket->abort();
    socket->connectToHost(url.host(), quint16(url.port()));
    if (!socket->waitForConnected(ConnectTimeoutMs)) {
        setErrorString(socket->error() == QAbstractSocket::SocketTimeoutError
                           ? tr("no answer from %1:%2 within %3 s")
                                 .arg(url.host())
                                 .arg(url.port())
                                 .arg(ConnectTimeoutMs / 1000)
                           : socket->errorString());
        socket->abort();
        return false;
    }
    // Requests are three bytes: each leaves at once, not when an ACK comes back.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    detectSilentPeer(socket);
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (telnet && !negotiate()) {
        close();
        return false;
    }
    connected = true;
    return true;
}

// Turns on the Com Port Control option and sets the far line as a USB adapter
// is set here: 115200 baud, 8N1, no flow control, both directions purged.
bool NetworkLine::negotiate()
{
    // ser2net and most device servers speak first; a refusal's words come
    // then, before this end's offer could make the server reset the connection.
    if (socket->bytesAvailable() == 0)
        socket->waitForReadyRead(ServerFirstMs);
    takeIn();
    QByteArray offer;
    for (const quint8 option : { Binary, SuppressGoAhead, ComPort }) {
        offer.append(char(Iac)).append(char(Will)).append(char(option));
        ourSide[option] = Will;
    }
    for (const quint8 option : { Binary, SuppressGoAhead }) {
        offer.append(char(Iac)).append(char(Do)).append(char(option));
        theirSide[option] = Do;
    }
    send(offer);
    QByteArray baud(4, Qt::Uninitialized);
    qToBigEndian(LineBaudRate, baud.data());
    const QList<std::pair<quint8, QByteArray>> settings {
        { SetBaudRate, baud },
        { SetDataSize, QByteArray(1, char(8)) },
        { SetParity, QByteArray(1, char(NoParity)) },
        { SetStopSize, QByteArray(1, char(OneStopBit)) },
        { SetControl, QByteArray(1, char(NoFlowControl)) },
        { PurgeData, QByteArray(1, char(PurgeBoth)) },
    };
    for (const auto &[setting, value] : settings)
        sendSetting(setting, value);
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->flush();

    const QDeadlineTimer deadline(NegotiationTimeoutMs);
    const auto allAnswered = [&] {
        for (const auto &[setting, value] : settings)
            if (!acknowledged.contains(setting))
                return false;
        return true;
    };
    while (!comPortRefused && !allAnswered() && socket->state() == QAbstractSocket::ConnectedState
           && !deadline.hasExpired())
        socket->waitForReadyRead(int(deadline.remainingTime()));
    takeIn(); // what came with the connection's end
    pending.clear(); // anything from before the purge
    if (comPortRefused)
        setErrorString(tr("the terminal server refused the Com Port Control option (RFC 2217); "
                          "for a raw line, use tcp://"));
    else if (!reason.isEmpty())
        setErrorString(reason);
    else if (const QString refused = unacknowledged(settings); !refused.isEmpty())
        setErrorString(refused);
    else
        return true;
    return false;
}

// What the server did not set as asked, if anything.
QString NetworkLine::unacknowledged(const QList<std::pair<quint8, QByteArray>> &settings) const
{
    for (const auto &[setting, value] : settings) {
        const QString name = settingName(setting);
        if (!acknowledged.contains(setting))
            return tr("the terminal server did not acknowledge the %1 within %2 s")
                .arg(name)
                .arg(NegotiationTimeoutMs / 1000);
        const QByteArray answer = acknowledged.value(setting);
        if (setting == SetBaudRate && answer != value)
            return tr("the terminal server set the line to %1 baud, not %2")
                .arg(answer.size() == 4 ? qFromBigEndian<quint32>(answer.constData()) : 0)
                .arg(LineBaudRate);
        if (setting != PurgeData && answer != value)
            return tr("the terminal server refused the %1 asked for").arg(name);
    }
    return {};
}

void NetworkLine::sendSetting(quint8 setting, QByteArray value)
{
    QByteArray frame;
    frame.append(char(Iac)).append(char(Sb)).append(char(ComPort)).append(char(setting));
    frame.append(escaped(value));
    frame.append(char(Iac)).append(char(Se));
    send(frame);
}

// Telnet's own bytes to the server, as long as it is there to take them.
void NetworkLine::send(const QByteArray &bytes)
{
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->write(bytes);
}

bool NetworkLine::refusedAsInUse() const
{
    return reason.contains(QLatin1String("in use"), Qt::CaseInsensitive);
}

qint64 NetworkLine::bytesAvailable() const
{
    return pending.size() + QIODevice::bytesAvailable();
}

qint64 NetworkLine::bytesToWrite() const
{
    return socket->bytesToWrite() + QIODevice::bytesToWrite();
}

void NetworkLine::close()
{
    // Closed first: a close asked for is no loss.
    QIODevice::close();
    socket->abort();
    pending.clear();
}

qint64 NetworkLine::readData(char *data, qint64 maxSize)
{
    const qint64 size = qMin<qint64>(maxSize, pending.size());
    std::copy_n(pending.constData(), size, data);
    pending.remove(0, size);
    return size;
}

qint64 NetworkLine::writeData(const char *data, qint64 maxSize)
{
    const QByteArrayView bytes(data, maxSize);
    const QByteArray wire = telnet ? escaped(bytes) : bytes.toByteArray();
    if (socket->state() != QAbstractSocket::ConnectedState || socket->write(wire) != wire.size())
        return -1;
    socket->flush();
    return maxSize;
}

void NetworkLine::takeIn()
{
    if (!socket->isOpen())
        return;
    const QByteArray raw = socket->readAll();
    if (raw.isEmpty())
        return;
    const qint64 before = pending.size();
    if (telnet)
        decode(raw);
    else
        pending.append(raw);
    lastText = (lastText + pending.mid(before)).right(120);
    if (pending.size() > before && isOpen())
        emit readyRead();
}

// Telnet's stream: data, with 0xFF doubled, and commands behind 0xFF.
void NetworkLine::decode(const QByteArray &raw)
{
    for (const char c : raw) {
        const quint8 byte = quint8(c);
        switch (state) {
        case State::Data:
            if (byte == Iac)
                state = State::Command;
            else
                pending.append(c);
            break;
        case State::Command:
            if (byte == Iac) {
                pending.append(c);
                state = State::Data;
            } else if (byte >= Will && byte <= Dont) {
                command = byte;
                state = State::Option;
            } else if (byte == Sb) {
                sub.clear();
                state = State::Sub;
            } else {
                state = State::Data; // NOP, data mark, go-ahead and the like
            }
            break;
        case State::Option:
            answerOption(command, byte);
            state = State::Data;
            break;
        case State::Sub:
            if (byte == Iac)
                state = State::SubCommand;
            else
                sub.append(c);
            break;
        case State::SubCommand:
            if (byte == Iac) {
                sub.append(c);
                state = State::Sub;
            } else {
                takeSubnegotiation();
                state = State::Data;
            }
            break;
        }
    }
}

void NetworkLine::say(QHash<quint8, quint8> &side, quint8 verb, quint8 option)
{
    side[option] = verb;
    const char reply[] = { char(Iac), char(verb), char(option) };
    send(QByteArray(reply, sizeof reply));
}

void NetworkLine::answerOption(quint8 verb, quint8 option)
{
    switch (verb) {
    case Do: // the server asks this end to use an option
        if (wanted(option, true) ? ourSide.value(option) != Will : ourSide.value(option) != Wont)
            say(ourSide, wanted(option, true) ? Will : Wont, option);
        break;
    case Dont:
        if (option == ComPort)
            comPortRefused = true;
        if (ourSide.value(option) == Will)
            say(ourSide, Wont, option);
        break;
    case Will: // the server offers to use an option (echo among them: refused)
        if (wanted(option, false) ? theirSide.value(option) != Do : theirSide.value(option) != Dont)
            say(theirSide, wanted(option, false) ? Do : Dont, option);
        break;
    case Wont:
        if (theirSide.value(option) == Do)
            say(theirSide, Dont, option);
        break;
    }
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->flush();
}

// The server's answers to this end's settings; its notifications of line and
// modem state are of no use here.
void NetworkLine::takeSubnegotiation()
{
    if (sub.size() < 2 || quint8(sub.at(0)) != ComPort || quint8(sub.at(1)) <= ServerOffset)
        return;
    acknowledged.insert(quint8(sub.at(1)) - ServerOffset, sub.mid(2));
}

void NetworkLine::dropConnection(const QString &why)
{
    if (lostReported || !isOpen())
        return;
    lostReported = true;
    takeIn();
    const QString words = lastWords(lastText);
    reason = words.isEmpty() ? why : QStringLiteral("%1: %2").arg(why, words);
    if (connected)
        emit lost();
}

} // namespace Link
