#include "simcontroller.h"

#include <QFile>
#include <QMetaEnum>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QtEndian>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr unsigned char Start = 0xFF;
constexpr unsigned char End = 0xFE;
constexpr unsigned char AckByte = 0x06;
constexpr qint64 NsPerMs = 1000000;
// 10 bits a byte (start, 8 data, stop) at 115200 baud.
constexpr qint64 LineByteNs = 10 * 1000000000LL / 115200;
// How long a client waits for a reply; a request inside it while the reply is
// still due means two requests were in flight at once.
constexpr qint64 ClientWindowNs = 200 * NsPerMs;
// How often an idle line is looked at, so that a request's earliest possible
// write time is known to within this, not only to the previous request.
constexpr int QuietCheckMs = 10;
constexpr int LateReplyMs = 250;

// Frame length by command letter; 0 for a letter the controller does not know.
int frameLength(unsigned char letter)
{
    switch (letter) {
    case 'D':
    case 'R':
    case 'W':
    case 'G':
        return 3;
    case 'S':
        return 8;
    case 'C':
        return 35;
    default:
        return 0;
    }
}

bool repliesWithBlock(char command)
{
    return command == 'D' || command == 'R' || command == 'G';
}

} // namespace

SimController::SimController(QObject *parent)
    : QObject(parent)
    , writer(new QTimer(this))
    , watch(new QTimer(this))
{
    clock.start();
    eeprom = { setPoints, coefficients };
    writer->setSingleShot(true);
    writer->setTimerType(Qt::PreciseTimer);
    connect(writer, &QTimer::timeout, this, &SimController::flushDue);
    watch->setInterval(QuietCheckMs);
    connect(watch, &QTimer::timeout, this, &SimController::readFromClient);
}

SimController::~SimController()
{
    hangUp();
}

SimController::Done SimController::start()
{
    if (isRunning())
        return {};
    termios raw {};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    if (openpty(&masterFd, &slaveFd, nullptr, &raw, nullptr) != 0) {
        masterFd = slaveFd = -1;
        return QStringLiteral("cannot open a pseudo-terminal: %1").arg(strerror(errno));
    }
    // The slave side stays open here too, so the line survives a client's close
    // and reopen the way a plugged-in adapter does.
    slavePath = QString::fromLocal8Bit(ttyname(slaveFd));
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    notifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SimController::readFromClient);
    // Nothing can have been written before the line existed.
    quietAtNs = clock.nsecsElapsed();
    awaited.reset();
    watch->start();
    return {};
}

void SimController::hangUp()
{
    if (!isRunning())
        return;
    delete notifier;
    notifier = nullptr;
    writer->stop();
    watch->stop();
    output.clear();
    ::close(masterFd);
    ::close(slaveFd);
    masterFd = slaveFd = -1;
    emit hungUpLine();
}

void SimController::setRandomFaults(double probability, quint32 seed)
{
    randomFaultProbability = probability;
    faultRandom.seed(seed);
}

QStringList SimController::faultNames()
{
    QStringList names;
    const QMetaEnum faults = QMetaEnum::fromType<Fault>();
    for (int i = 0; i < faults.keyCount(); ++i) {
        QString name;
        for (QChar c : QString::fromLatin1(faults.key(i))) {
            if (c.isUpper() && !name.isEmpty())
                name += u'-';
            name += c.toLower();
        }
        names << name;
    }
    return names;
}

std::optional<SimController::Fault> SimController::faultNamed(const QString &name)
{
    const qsizetype index = faultNames().indexOf(name);
    if (index < 0)
        return std::nullopt;
    return Fault(QMetaEnum::fromType<Fault>().value(int(index)));
}

QList<SimController::Fault> SimController::allFaults()
{
    return { Fault::Delay,     Fault::ShortReply, Fault::LongReply, Fault::NoReply,
             Fault::LateReply, Fault::LateWhole,  Fault::Junk,      Fault::Ack };
}

void SimController::clearRequests()
{
    log.clear();
    requestTotal = overlapTotal = 0;
}

SimController::Block SimController::currents()
{
    if (fixedCurrents)
        return *fixedCurrents;
    // Each channel drives a resistive load: 100 ohm on C, 220 ohm on B. The
    // coefficients calibrate the current readings, which carry a little noise.
    Block amperes;
    for (int slot = 0; slot < 8; ++slot) {
        const double load = slot % 2 == 0 ? 100.0 : 220.0;
        const double jitter = 1.0 + (noise.generateDouble() - 0.5) * 0.004;
        amperes[slot] = float(setPoints[slot] / load * coefficients[slot] * jitter);
    }
    return amperes;
}

void SimController::readFromClient()
{
    if (!isRunning())
        return;
    char chunk[512];
    for (;;) {
        const qint64 before = clock.nsecsElapsed();
        const ssize_t n = ::read(masterFd, chunk, sizeof chunk);
        if (n <= 0) { // EAGAIN: all read
            quietAtNs = before;
            break;
        }
        if (input.isEmpty())
            inputWrittenAfterNs = quietAtNs;
        input.append(chunk, n);
        inputReadAtNs = clock.nsecsElapsed();
    }
    parseFrames();
}

std::optional<QByteArray> SimController::takeFrame(QByteArray &input)
{
    while (!input.isEmpty()) {
        // A byte that cannot start a frame is skipped, as the controller resynchronises.
        if (uchar(input.at(0)) != Start) {
            input.remove(0, 1);
            continue;
        }
        if (input.size() < 2)
            return std::nullopt;
        const int length = frameLength(uchar(input.at(1)));
        if (length == 0) {
            input.remove(0, 1);
            continue;
        }
        if (input.size() < length)
            return std::nullopt;
        // Payload bytes FF and FE are data: only the fixed length finds the end marker.
        if (uchar(input.at(length - 1)) != End) {
            input.remove(0, 1);
            continue;
        }
        const QByteArray frame = input.left(length);
        input.remove(0, length);
        return frame;
    }
    return std::nullopt;
}

void SimController::parseFrames()
{
    while (isRunning()) {
        const std::optional<QByteArray> frame = takeFrame(input);
        if (!frame)
            return;
        serve(*frame);
    }
}

void SimController::serve(const QByteArray &frame)
{
    const qint64 now = clock.nsecsElapsed();
    const char command = frame.at(1);
    // This process may have been held up (a busy machine) and read the request
    // long after it was written, so only what its clock bounds counts: written
    // before the reply went out, and within the window after the awaited
    // request was written at the earliest.
    const bool overlapped = awaited
        && (awaited->repliedAtNs < 0 || inputReadAtNs < awaited->repliedAtNs)
        && inputReadAtNs - awaited->writtenAfterNs < ClientWindowNs;
    if (log.size() == RequestLogLimit)
        log.removeFirst();
    log.append({ inputReadAtNs, frame, overlapped });
    ++requestTotal;
    overlapTotal += overlapped ? 1 : 0;

    const std::optional<Fault> fault = takeFault(command);
    if (fault)
        emit faultApplied(*fault);
    apply(frame);
    // A reply held back goes out after the request that follows it, ahead of its reply.
    if (heldReply) {
        queueBytes(*heldReply, now + frame.size() * byteTimeNs() + heldReplyDelayMs * NsPerMs);
        heldReply.reset();
    }
    const size_t queued = output.size();
    // The request's own bytes take their time on the wire before the controller sees them.
    queueReply(command, fault, now + frame.size() * byteTimeNs() + replyDelayMs * NsPerMs);
    if (repliesWithBlock(command)) {
        awaited = Awaited { ++blockRequests, inputWrittenAfterNs };
        if (output.size() > queued)
            output.back().endsReplyTo = awaited->number;
    }
    flushDue();
    emit requestReceived(command);
}

void SimController::apply(const QByteArray &frame)
{
    if (!applyingWrites && frame.at(1) != 'W')
        return;
    switch (frame.at(1)) {
    case 'S': {
        const int index = uchar(frame.at(2));
        if (index < 8)
            setPoints[index] = qFromLittleEndian<float>(frame.constData() + 3);
        break;
    }
    case 'W':
        eeprom = { setPoints, coefficients };
        keepEeprom();
        break;
    case 'C':
        for (int slot = 0; slot < 8; ++slot)
            coefficients[slot] = qFromLittleEndian<float>(frame.constData() + 2 + 4 * slot);
        eeprom.coefficients = coefficients;
        keepEeprom();
        break;
    default:
        break;
    }
}

void SimController::queueReply(char command, std::optional<Fault> fault, qint64 startNs)
{
    if (!repliesWithBlock(command)) {
        if (fault == Fault::Ack)
            queueBytes(QByteArray(1, char(AckByte)), startNs);
        return;
    }
    QByteArray reply = blockBytes(command == 'D'       ? setPoints
                                      : command == 'R' ? currents()
                                                       : coefficients);
    switch (fault.value_or(Fault::Ack)) {
    case Fault::Delay:
        startNs += faultDelayMs * NsPerMs;
        break;
    case Fault::ShortReply:
        reply.chop(1);
        break;
    case Fault::LongReply:
        reply.append(char(0x00));
        break;
    case Fault::NoReply:
        reply.clear();
        break;
    case Fault::Junk:
        reply.prepend(QByteArray::fromHex("A55A0113"));
        break;
    case Fault::LateReply:
        queueBytes(reply.left(16), startNs);
        reply = reply.mid(16);
        startNs += LateReplyMs * NsPerMs;
        break;
    case Fault::LateWhole:
        startNs += LateReplyMs * NsPerMs;
        break;
    case Fault::Ack:
        break;
    }
    if (std::exchange(holdingNext, false))
        heldReply = reply;
    else
        queueBytes(reply, startNs);
}

std::optional<SimController::Fault> SimController::takeFault(char command)
{
    const auto fits
        = [command](Fault fault) { return (fault == Fault::Ack) != repliesWithBlock(command); };
    for (qsizetype i = 0; i < queuedFaults.size(); ++i) {
        if (fits(queuedFaults.at(i)))
            return queuedFaults.takeAt(i);
    }
    if (randomFaultProbability > 0 && faultRandom.generateDouble() < randomFaultProbability) {
        QList<Fault> menu = allFaults();
        menu.removeIf([&](Fault fault) { return !fits(fault); });
        return menu.at(faultRandom.bounded(int(menu.size())));
    }
    return std::nullopt;
}

qint64 SimController::byteTimeNs() const
{
    return pacing ? LineByteNs : 0;
}

void SimController::queueBytes(const QByteArray &bytes, qint64 startNs)
{
    if (bytes.isEmpty())
        return;
    // The bytes take the line rate's time on the wire but reach the client together,
    // once the last one is through: a USB adapter hands a short reply over in one packet.
    const qint64 from = std::max(startNs, output.empty() ? startNs : output.back().dueNs);
    output.push_back({ from + bytes.size() * byteTimeNs(), bytes });
}

void SimController::flushDue()
{
    if (!isRunning())
        return;
    const qint64 now = clock.nsecsElapsed();
    while (!output.empty() && output.front().dueNs <= now) {
        QByteArray &due = output.front().bytes;
        const ssize_t written = ::write(masterFd, due.constData(), size_t(due.size()));
        if (written < due.size()) { // the line is full: the rest goes on the next pass
            due.remove(0, std::max<ssize_t>(written, 0));
            break;
        }
        if (awaited && output.front().endsReplyTo == awaited->number)
            awaited->repliedAtNs = now;
        output.pop_front();
    }
    scheduleFlush();
}

void SimController::scheduleFlush()
{
    if (output.empty()) {
        writer->stop();
        return;
    }
    // Sub-millisecond pacing needs a zero timer: it fires on every pass of the event loop.
    const qint64 wait = output.front().dueNs - clock.nsecsElapsed();
    writer->start(wait > 2 * NsPerMs ? int(wait / NsPerMs) - 1 : 0);
}

QByteArray SimController::blockBytes(const Block &values)
{
    QByteArray bytes(32, Qt::Uninitialized);
    for (int slot = 0; slot < 8; ++slot)
        qToLittleEndian(values[slot], bytes.data() + 4 * slot);
    return bytes;
}

// The image is a short text file: one line of set-points, one of coefficients,
// each value with enough digits to read back as the exact single-precision number.
namespace {

// One line of the image: "setpoints" or "coefficients" and eight numbers into
// the block it names; an empty or comment line changes nothing.
SimController::Done readImageLine(const QString &line, SimController::Block &setPoints,
                                  SimController::Block &coefficients, bool seen[2])
{
    const QStringList words = line.split(u' ', Qt::SkipEmptyParts);
    if (words.isEmpty() || words.first().startsWith(u'#'))
        return {};
    const int which = words.first() == QLatin1String("setpoints") ? 0
        : words.first() == QLatin1String("coefficients")          ? 1
                                                                  : -1;
    if (which < 0 || words.size() != 9)
        return QStringLiteral("unexpected line \"%1\"").arg(line);
    SimController::Block &target = which == 0 ? setPoints : coefficients;
    for (int slot = 0; slot < 8; ++slot) {
        bool ok = false;
        target[slot] = words.at(slot + 1).toFloat(&ok);
        if (!ok)
            return QStringLiteral("\"%1\" is not a number").arg(words.at(slot + 1));
    }
    seen[which] = true;
    return {};
}

} // namespace

SimController::Done SimController::setEepromFile(const QString &path)
{
    QFile file(path);
    if (!file.exists()) {
        eepromPath = path;
        return {};
    }
    Done read;
    Image loaded;
    bool seen[2] = { false, false };
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream in(&file);
        QString line;
        while (read && in.readLineInto(&line))
            read = readImageLine(line, loaded.setPoints, loaded.coefficients, seen);
        if (read && (!seen[0] || !seen[1]))
            read = QStringLiteral("set-points or coefficients missing");
    } else {
        read = file.errorString();
    }
    if (!read)
        return QStringLiteral("cannot read EEPROM image %1: %2").arg(path, read.failure());
    // Only a file that loaded is ever written back: a bad one is left as it is.
    eepromPath = path;
    eeprom = loaded;
    setPoints = loaded.setPoints;
    coefficients = loaded.coefficients;
    return {};
}

// A controller whose EEPROM fails still answers: the failure is only told.
void SimController::keepEeprom()
{
    if (const auto saved = saveEeprom(); !saved)
        qWarning("torvan-sim: %s", qPrintable(saved.failure()));
}

SimController::Done SimController::saveEeprom()
{
    if (eepromPath.isEmpty())
        return {};
    // Written beside the target and renamed over it, so a crash never leaves half an image.
    QSaveFile file(eepromPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        QTextStream out(&file);
        out << "# torvan-sim EEPROM image\n";
        for (const auto &[name, values] : { std::pair { "setpoints", eeprom.setPoints },
                                            std::pair { "coefficients", eeprom.coefficients } }) {
            out << name;
            for (float value : values)
                out << ' ' << QString::number(value, 'g', 9);
            out << '\n';
        }
        out.flush();
        if (file.commit())
            return {};
    }
    return QStringLiteral("cannot write EEPROM image %1: %2").arg(eepromPath, file.errorString());
}
