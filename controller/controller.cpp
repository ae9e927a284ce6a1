#include "controller.h"

#include "coefficienttext.h"
#include "exchange.h"
#include "linewatch.h"
#include "networkline.h"
#include "quantities.h"
#include "seriallink.h"

namespace Torvan {

using namespace Link;

namespace {

// The slots whose values differ to the bit, named with what was found.
QStringList differences(const ValueBlock &wanted, const ValueBlock &found,
                        QString (*name)(int slot))
{
    QStringList names;
    for (int slot = 0; slot < SlotCount; ++slot) {
        if (!sameBits(wanted[slot], found[slot]))
            names << QStringLiteral("%1 (%2, not %3)")
                         .arg(name(slot), coefficientText(found[slot], QLocale::c()),
                              coefficientText(wanted[slot], QLocale::c()));
    }
    return names;
}

} // namespace

Result<QStringList> Controller::portNames(const QStringList &requested)
{
    if (!requested.isEmpty())
        return requested;
    const QStringList adapters = qualifyingPortNames();
    if (adapters.isEmpty())
        return Failure { Failure::NoAdapter,
                         QStringLiteral("no adapter found (USB %1)").arg(adapterIdText()) };
    if (adapters.size() > 1)
        return Failure { Failure::SeveralAdapters,
                         QStringLiteral("%1 adapters found (%2)")
                             .arg(adapters.size())
                             .arg(adapters.join(QStringLiteral(", "))) };
    return adapters;
}

Result<QString> Controller::portOfSerialNumber(const QString &serialNumber)
{
    const QStringList found = portsWithSerialNumber(Link::ports(), serialNumber);
    if (found.isEmpty())
        return Failure { Failure::NoAdapter,
                         QStringLiteral("no adapter with serial number %1 found (USB %2)")
                             .arg(serialNumber, adapterIdText()) };
    if (found.size() > 1)
        return Failure { Failure::SeveralAdapters,
                         QStringLiteral("%1 adapters report serial number %2 (%3)")
                             .arg(found.size())
                             .arg(serialNumber, found.join(QStringLiteral(", "))) };
    return found.first();
}

Result<std::unique_ptr<Controller>> Controller::open(const QString &portName)
{
    // A terminal server's address names the instrument itself.
    if (isNetworkAddress(portName)) {
        const QString address = normalizedAddress(portName);
        if (address.isEmpty())
            return Failure { Failure::CannotOpen,
                             QStringLiteral("cannot open %1: not an address of the form "
                                            "tcp://HOST:PORT or rfc2217://HOST:PORT")
                                 .arg(portName) };
        return openResolved(address, address);
    }
    const QList<PortEntry> listed = Link::ports();
    const QString serialNumber = serialNumberOf(listed, portName);
    return openResolved(portName, serialNumber,
                        int(portsWithSerialNumber(listed, serialNumber).size()));
}

Result<std::unique_ptr<Controller>> Controller::openResolved(const QString &portName,
                                                             const QString &serialNumber,
                                                             int serialNumberShares)
{
    std::unique_ptr<Controller> controller(new Controller(portName));
    bool inUse = false;
    if (auto *networkLine = qobject_cast<NetworkLine *>(controller->port)) {
        // The server turns a second client away in its own words.
        if (!openLink(networkLine, portName))
            return Failure {
                networkLine->refusedAsInUse() ? Failure::InUse : Failure::CannotOpen,
                QStringLiteral("cannot open %1: %2").arg(portName, networkLine->errorString())
            };
    } else if (!openLink(static_cast<QSerialPort *>(controller->port), portName, &inUse) && inUse) {
        const QString device = resolvedDevice(portName);
        const bool renamed = device.compare(portName, Qt::CaseInsensitive) != 0
            && device != QStringLiteral("/dev/") + portName;
        return Failure { Failure::InUse,
                         QStringLiteral("cannot open %1%2: the adapter is in use by another "
                                        "program")
                             .arg(portName,
                                  renamed ? QStringLiteral(" (%1)").arg(device) : QString()) };
    }
    if (!controller->port->isOpen())
        return Failure {
            Failure::CannotOpen,
            QStringLiteral("cannot open %1: %2").arg(portName, controller->port->errorString())
        };
    controller->adapterSerialNumber = serialNumber;
    controller->serialNumberShares = serialNumberShares;
    return controller;
}

Result<std::unique_ptr<Controller>> Controller::open(const AdapterChoice &choice)
{
    if (choice.serialNumber.isEmpty())
        return open(choice.port);
    // Found by its serial number: no second enumeration to learn it.
    const auto port = portOfSerialNumber(choice.serialNumber);
    if (!port)
        return port.failure();
    return openResolved(*port, choice.serialNumber);
}

Controller::Controller(const QString &portName)
    : owned(isNetworkAddress(portName) ? std::unique_ptr<QIODevice>(new NetworkLine)
                                       : std::unique_ptr<QIODevice>(new QSerialPort))
    , port(owned.get())
    , portName(portName)
{
    // The watch closes the port itself; all that is left is to remember.
    QObject::connect(LineWatch::of(port), &LineWatch::lost, port, [this] { lost = true; });
}

Controller::Controller(QSerialPort *borrowed)
    : port(borrowed)
    , portName(borrowed->portName())
{ }

QStringList Controller::adapterPortNames()
{
    return qualifyingPortNames();
}

bool Controller::openLine(const QString &name)
{
    portName = name;
    lost = false;
    return openLink(qobject_cast<QSerialPort *>(port), name);
}

void Controller::closeLine()
{
    port->close();
}

void Controller::onLineLost(QObject *context, std::function<void()> lineLost)
{
    QObject::connect(LineWatch::of(port), &LineWatch::lost, context, std::move(lineLost));
}

bool Controller::isBusy() const
{
    return Link::isBusy(port);
}

void Controller::whenIdle(QObject *context, std::function<void()> task)
{
    if (!Link::deferIfBusy(port, context, task))
        task();
}

Result<ValueBlock> Controller::readSetPoints()
{
    return read(Command::ReadVoltages);
}

Result<ValueBlock> Controller::readCurrents()
{
    return read(Command::ReadCurrents);
}

Result<ValueBlock> Controller::readCoefficients()
{
    return read(Command::ReadCoefficients);
}

Result<ValueBlock> Controller::read(char command)
{
    if (lost)
        return lineLost();
    const Reply reply = request(port, command,
                                command == Command::ReadCurrents ? currentsAgree : identicalBlocks);
    if (lost)
        return lineLost();
    switch (reply.outcome) {
    case Reply::Block:
        return reply.block;
    case Reply::Unconfirmed:
        return Failure { Failure::Unconfirmed,
                         QStringLiteral("%1: the replies to the %2 request did not agree after "
                                        "a fault on the line")
                             .arg(portName, QString(QLatin1Char(command))) };
    case Reply::NoReply:
        break;
    }
    return Failure { Failure::NoReply,
                     QStringLiteral("%1: no valid reply to the %2 request")
                         .arg(portName, QString(QLatin1Char(command))) };
}

Done Controller::setPoint(int index, double volts)
{
    return send(setPointFrame(index, volts));
}

Done Controller::verifySetPoint(int index, double volts)
{
    const auto found = readSetPoints();
    if (!found)
        return found.failure();
    if ((*found)[index] == float(volts))
        return {};
    // "vc" or "vb": the slot's name without its channel.
    return Failure { Failure::NotApplied,
                     QStringLiteral("channel %1 %2 reads %3 V, not %4 V: the controller "
                                    "did not apply it")
                         .arg(index / 2)
                         .arg(setPointName(index).chopped(1).toLower(), voltsText((*found)[index]),
                              voltsText(float(volts))) };
}

Done Controller::verifyCoefficients(const ValueBlock &values)
{
    const auto found = readCoefficients();
    if (!found)
        return found.failure();
    const QStringList differ = differences(values, *found, coefficientName);
    if (differ.isEmpty())
        return {};
    return Failure { Failure::NotApplied,
                     QStringLiteral("%1 reads back differently: %2; the controller did not "
                                    "apply it")
                         .arg(portName, differ.join(QStringLiteral(", "))) };
}

Done Controller::commit()
{
    return send(buildFrame(Command::WriteEeprom));
}

Done Controller::writeCoefficients(const ValueBlock &values)
{
    return send(coefficientFrame(values));
}

Done Controller::send(const QByteArray &frame)
{
    if (!lost && sendCommand(port, frame))
        return {};
    if (lost)
        return lineLost();
    return Failure { Failure::NotSent,
                     QStringLiteral("%1: the %2 frame could not be sent")
                         .arg(portName, QString(QLatin1Char(frame.at(1)))) };
}

Failure Controller::lineLost() const
{
    if (const auto *networkLine = qobject_cast<const NetworkLine *>(port))
        return { networkLine->refusedAsInUse() ? Failure::InUse : Failure::LineLost,
                 QStringLiteral("the connection to %1 was lost: %2")
                     .arg(portName, networkLine->lossReason()) };
    return { Failure::LineLost,
             QStringLiteral("the line to %1 was lost (adapter unplugged?)").arg(portName) };
}

Result<Backup::Contents> Controller::readContents()
{
    Backup::Contents contents;
    contents.time = QDateTime::currentDateTime();
    contents.port = portName;
    contents.serialNumber = adapterSerialNumber;
    const auto setPoints = readSetPoints();
    if (!setPoints)
        return setPoints.failure();
    const auto coefficients = readCoefficients();
    if (!coefficients)
        return coefficients.failure();
    contents.setPoints = *setPoints;
    contents.coefficients = *coefficients;
    return contents;
}

Result<Backup::Contents> Controller::backup()
{
    const auto contents = readContents();
    if (!contents)
        return contents;
    if (const auto restorable = Backup::restorable(*contents); !restorable)
        return Failure { Failure::CannotBackUp,
                         QStringLiteral("%1: the controller holds %2, which restore would "
                                        "refuse; nothing was written")
                             .arg(portName, restorable.failure().message) };
    return contents;
}

QList<QByteArray> Controller::restoreFrames(const Backup::Contents &contents, bool commitAfter)
{
    QList<QByteArray> frames;
    for (int slot = 0; slot < SlotCount; ++slot)
        frames << setPointFrame(slot, contents.setPoints[slot]);
    frames << coefficientFrame(contents.coefficients);
    if (commitAfter)
        frames << buildFrame(Command::WriteEeprom);
    return frames;
}

Done Controller::restore(const Backup::Contents &contents, bool commitAfter)
{
    // The commit goes only after a read-back that matched.
    const QList<QByteArray> frames = restoreFrames(contents, false);
    for (int sent = 0; sent < frames.size(); ++sent) {
        if (const auto done = send(frames[sent]); !done)
            return Failure { done.failure().kind,
                             done.failure().message + QStringLiteral("; ") + partialRestore(sent) };
    }
    const auto found = readContents();
    if (!found)
        return Failure { found.failure().kind,
                         found.failure().message
                             + QStringLiteral("; sent the eight set-points and the coefficients, "
                                              "not read back, not committed") };
    const QStringList differ = differences(contents.setPoints, found->setPoints, setPointName)
        + differences(contents.coefficients, found->coefficients, coefficientName);
    if (!differ.isEmpty())
        return Failure { Failure::NotRestored,
                         QStringLiteral("%1 reads back differently: %2; not committed")
                             .arg(portName, differ.join(QStringLiteral(", "))) };
    if (commitAfter) {
        if (const auto committed = commit(); !committed)
            return Failure { committed.failure().kind,
                             committed.failure().message
                                 + QStringLiteral("; restored and verified, not committed") };
    }
    return {};
}

QString Controller::partialRestore(int framesSent)
{
    const int setPoints = qMin(framesSent, int(SlotCount));
    const QString names = setPoints == 1
        ? setPointName(0)
        : setPointName(0) + QStringLiteral("..") + setPointName(setPoints - 1);
    const QString said = setPoints == 0
        ? QStringLiteral("sent nothing")
        : QStringLiteral("sent %1 (%2 of %3 set-points), not the coefficients")
              .arg(names)
              .arg(setPoints)
              .arg(SlotCount);
    const auto held = lost ? Result<Backup::Contents>(lineLost()) : readContents();
    if (!held)
        return said;
    QStringList volts, coefficients;
    for (int slot = 0; slot < SlotCount; ++slot) {
        volts << voltsText(held->setPoints[slot]);
        coefficients << coefficientText(held->coefficients[slot], QLocale::c());
    }
    return said
        + QStringLiteral("; the controller now holds Vc0..Vb3 = %1 V and IC0..IB3 = %2")
              .arg(volts.join(QStringLiteral(", ")), coefficients.join(QStringLiteral(", ")));
}

Result<bool> Controller::isInstrumentOf(const Backup::Contents &contents) const
{
    if (contents.serialNumber.isEmpty() || adapterSerialNumber.isEmpty())
        return false;
    if (contents.serialNumber == adapterSerialNumber)
        return serialNumberShares <= 1;
    // A terminal server's address stands where a serial number would.
    const auto instrument = [](const QString &identity) {
        return isNetworkAddress(identity)
            ? QStringLiteral("the controller at %1").arg(identity)
            : QStringLiteral("the adapter with serial number %1").arg(identity);
    };
    if (isNetworkAddress(adapterSerialNumber))
        return Failure { Failure::OtherInstrument,
                         QStringLiteral("the backup was made of %1, not of %2")
                             .arg(instrument(contents.serialNumber), instrument(portName)) };
    return Failure { Failure::OtherInstrument,
                     QStringLiteral("the backup was made of %1, but %2 is %3")
                         .arg(instrument(contents.serialNumber), portName, adapterSerialNumber) };
}

void offerSimulatedAdapters()
{
    Link::offerSimulatedAdapters();
}

Result<Controllers> openControllers(const QList<AdapterChoice> &choices)
{
    QList<AdapterChoice> chosen = choices;
    if (chosen.isEmpty()) {
        const auto names = Controller::portNames({});
        if (!names)
            return names.failure();
        chosen.append({ names->first(), {} });
    }
    Controllers controllers;
    for (const AdapterChoice &choice : chosen) {
        auto controller = Controller::open(choice);
        if (!controller)
            return controller.failure();
        controllers.push_back(std::move(*controller));
    }
    return controllers;
}

Result<std::unique_ptr<Controller>> openController(const QList<AdapterChoice> &choices)
{
    auto controllers = openControllers(choices.mid(0, 1));
    if (!controllers)
        return controllers.failure();
    return std::move((*controllers).front());
}

} // namespace Torvan
