#include "commands.h"

#include "backup.h"
#include "cli.h"
#include "coefficienttext.h"
#include "controller.h"
#include "interrupt.h"
#include "seriallink.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace Cli;

namespace {

using Controllers = std::vector<std::unique_ptr<Controller>>;

Controllers openControllers(const QStringList &requestedPorts)
{
    Controllers controllers;
    for (const QString &name : Controller::portNames(requestedPorts))
        controllers.push_back(std::make_unique<Controller>(name));
    return controllers;
}

std::unique_ptr<Controller> openController(const Options &options)
{
    return std::make_unique<Controller>(Controller::portNames(options.ports).first());
}

int listPorts(const QStringList &, const Options &options)
{
    const QList<Link::PortEntry> ports = Link::systemPorts();
    const QStringList qualifying = Link::qualifyingPortNames(ports);
    QJsonArray array;
    for (const Link::PortEntry &entry : ports) {
        const bool qualifies = qualifying.contains(entry.name);
        if (!options.all && !qualifies)
            continue;
        if (options.json) {
            array.append(QJsonObject { { "port", entry.name },
                                       { "vendorId", entry.vendorId },
                                       { "productId", entry.productId },
                                       { "qualifies", qualifies } });
        } else if (options.all) {
            const QString ids = entry.vendorId ? QStringLiteral("%1:%2")
                                                     .arg(entry.vendorId, 4, 16, QLatin1Char('0'))
                                                     .arg(entry.productId, 4, 16, QLatin1Char('0'))
                                               : QStringLiteral("no USB ids");
            printLine(
                QStringLiteral("%1\t%2%3")
                    .arg(entry.name, ids,
                         qualifies ? QStringLiteral("\tthe controller's adapter") : QString()));
        } else {
            printLine(entry.name);
        }
    }
    if (options.json)
        printJson(array);
    // The list itself stays empty for scripts; a person is told why.
    if (!options.all && qualifying.isEmpty())
        warn(QStringLiteral("no adapter with USB id 0403:6001 found; "
                            "'torvanctl ports --all' lists every serial port"));
    return Success;
}

// Voltages or currents, channel by channel: the text and the JSON of one reading.
struct Pairs
{
    bool voltages;
    int onlyChannel; // -1: all four

    QString text(float value) const { return voltages ? volts(value) : milliamps(value); }
    QString unit() const { return voltages ? QStringLiteral("V") : QStringLiteral("mA"); }
    QString name(int slot) const
    {
        return QLatin1String(slot % 2 ? (voltages ? "Vb" : "Ib") : (voltages ? "Vc" : "Ic"));
    }

    QStringList lines(const Link::ValueBlock &block) const
    {
        QStringList lines;
        for (int channel = 0; channel < 4; ++channel) {
            if (onlyChannel < 0 || channel == onlyChannel)
                lines << QStringLiteral("channel %1: %2 = %3 %4, %5 = %6 %4")
                             .arg(channel)
                             .arg(name(Link::cSlot(channel)), text(block[Link::cSlot(channel)]),
                                  unit(), name(Link::bSlot(channel)),
                                  text(block[Link::bSlot(channel)]));
        }
        return lines;
    }

    QJsonArray json(const Link::ValueBlock &block) const
    {
        QJsonArray array;
        for (int channel = 0; channel < 4; ++channel) {
            if (onlyChannel >= 0 && channel != onlyChannel)
                continue;
            QJsonObject object { { "channel", channel } };
            // Numbers carry the precision the window shows.
            for (const int slot : { Link::cSlot(channel), Link::bSlot(channel) })
                object.insert(name(slot) + '_' + unit(), text(block[slot]).toDouble());
            array.append(object);
        }
        return array;
    }
};

int readPairs(const Options &options, bool voltages)
{
    const Pairs pairs { voltages,
                        options.channel.isEmpty() ? -1 : channelArgument(options.channel) };
    const Controllers controllers = openControllers(options.ports);
    const bool several = controllers.size() > 1;
    QJsonObject byPort;
    for (const auto &controller : controllers) {
        const Link::ValueBlock block = controller->read(voltages ? Link::Command::ReadVoltages
                                                                 : Link::Command::ReadCurrents);
        if (options.json && several)
            byPort.insert(controller->name(), pairs.json(block));
        else if (options.json)
            printJson(pairs.json(block));
        else
            for (const QString &line : pairs.lines(block))
                printLine(several ? controller->name() + QStringLiteral(": ") + line : line);
    }
    if (options.json && several)
        printJson(byPort);
    return Success;
}

int readVoltages(const QStringList &, const Options &options)
{
    return readPairs(options, true);
}

int readCurrents(const QStringList &, const Options &options)
{
    return readPairs(options, false);
}

QString currentName(int slot)
{
    return slotName("Ic", "Ib", slot);
}

// Waits on the event loop until the clock reaches dueMs, or interrupted is set.
void waitUntil(const QElapsedTimer &clock, qint64 dueMs, const bool &interrupted)
{
    while (clock.elapsed() < dueMs && !interrupted) {
        QEventLoop wait;
        QTimer::singleShot(int(dueMs - clock.elapsed()), &wait, &QEventLoop::quit);
        wait.processEvents(QEventLoop::WaitForMoreEvents);
    }
}

int watchCurrents(const QStringList &, const Options &options)
{
    const int intervalMs = numberOption(QStringLiteral("interval"), options.interval, 50, 3600000);
    const int readings = numberOption(QStringLiteral("count"), options.count, 0, INT_MAX);
    const Controllers controllers = openControllers(options.ports);
    const bool several = controllers.size() > 1;
    // Ctrl-C ends the watch between two readings, so the last line is always whole.
    bool interrupted = false;
    onInterrupt(qApp, [&interrupted] { interrupted = true; });

    if (options.csv) {
        QStringList header { QStringLiteral("time") };
        for (const auto &controller : controllers)
            for (int slot = 0; slot < Link::SlotCount; ++slot)
                header << (several ? controller->name() + ':' : QString()) + currentName(slot)
                        + QStringLiteral("_mA");
        printLine(header.join(','));
    }

    // A failed reading does not stop the log; the status tells a script it happened.
    bool anyFailed = false;
    std::vector<bool> dropped(controllers.size(), false);
    QElapsedTimer clock;
    clock.start();
    for (int reading = 0; (readings == 0 || reading < readings) && !interrupted; ++reading) {
        // A steady rhythm: each reading is due at a multiple of the interval from the start.
        waitUntil(clock, qint64(reading) * intervalMs, interrupted);
        if (interrupted)
            break;
        const QString time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
        QStringList fields { time };
        QStringList words;
        QJsonObject row { { "time", time } };
        bool anyRead = false;
        for (size_t i = 0; i < controllers.size(); ++i) {
            Controller &controller = *controllers[i];
            const auto amperes
                = dropped[i] ? std::nullopt : controller.tryRead(Link::Command::ReadCurrents);
            if (!amperes && !dropped[i]) {
                anyFailed = true;
                if (controller.isLost()) {
                    dropped[i] = true;
                    warn(QStringLiteral("%1: the line to %2 was lost (adapter unplugged?)%3")
                             .arg(time, controller.name(),
                                  several ? QStringLiteral("; watching the others") : QString()));
                } else {
                    warn(QStringLiteral("%1: %2: no valid reply to the R request")
                             .arg(time, controller.name()));
                }
            }
            anyRead = anyRead || amperes;
            QJsonObject currents;
            QStringList values;
            for (int slot = 0; slot < Link::SlotCount; ++slot) {
                const QString value = amperes ? milliamps((*amperes)[slot]) : QString();
                fields << value;
                values << QStringLiteral("%1=%2").arg(currentName(slot), value);
                if (amperes)
                    currents.insert(currentName(slot) + QStringLiteral("_mA"), value.toDouble());
            }
            if (several) {
                row.insert(controller.name(), amperes ? QJsonValue(currents) : QJsonValue());
                words << controller.name() + QStringLiteral(": ")
                        + (amperes ? values.join(' ') : QStringLiteral("-"));
            } else {
                for (auto it = currents.begin(); it != currents.end(); ++it)
                    row.insert(it.key(), it.value());
                words << values.join(' ');
            }
        }
        if (std::all_of(dropped.begin(), dropped.end(), [](bool d) { return d; }))
            break; // nothing left to watch
        if (!anyRead && !several)
            continue; // a single port's failed reading leaves no line, as before
        if (options.json)
            printJson(row);
        else if (options.csv)
            printLine(fields.join(','));
        else
            printLine(time + QStringLiteral("  ") + words.join(QStringLiteral("  ")));
    }
    return anyFailed ? BadReply : Success;
}

int setVoltage(const QStringList &arguments, const Options &options)
{
    const int channel = channelArgument(arguments[0]);
    const QString which = arguments[1].toLower();
    if (which != QLatin1String("vc") && which != QLatin1String("vb"))
        fail({ UsageError, QStringLiteral("say vc or vb, not \"%1\"").arg(arguments[1]) });
    const double value = voltsArgument(arguments[2]);
    const int index = which == QLatin1String("vc") ? Link::cSlot(channel) : Link::bSlot(channel);
    const QString name = which == QLatin1String("vc") ? QStringLiteral("Vc") : QStringLiteral("Vb");

    const auto controller = openController(options);
    controller->send(Link::setPointFrame(index, value));
    if (options.verify) {
        const float applied = controller->read(Link::Command::ReadVoltages)[index];
        if (applied != float(value))
            fail({ NotApplied,
                   QStringLiteral(
                       "channel %1 %2 reads %3 V, not %4 V: the controller did not apply it")
                       .arg(channel)
                       .arg(which, volts(applied), volts(float(value))) });
    }
    if (options.json)
        printJson(QJsonObject { { "channel", channel },
                                { name + QStringLiteral("_V"), value },
                                { "verified", options.verify } });
    else
        printLine(QStringLiteral("channel %1 %2 set to %3 V%4")
                      .arg(channel)
                      .arg(name, volts(float(value)),
                           options.verify ? QStringLiteral(" (verified)") : QString()));
    return Success;
}

int commitToEeprom(const QStringList &, const Options &options)
{
    openController(options)->send(Link::buildFrame(Link::Command::WriteEeprom));
    if (options.json)
        printJson(QJsonObject { { "committed", true } });
    else
        printLine(QStringLiteral("asked the controller to store its settings in EEPROM"));
    return Success;
}

int coefficients(const QStringList &arguments, const Options &options)
{
    if (!arguments.isEmpty()) {
        if (arguments.size() != 1 + Link::SlotCount || arguments[0] != QLatin1String("set"))
            fail({ UsageError,
                   QStringLiteral("'coefs set' takes all eight values, IC0 IB0 IC1 "
                                  "IB1 IC2 IB2 IC3 IB3; nothing was sent") });
        Link::ValueBlock values;
        for (int slot = 0; slot < Link::SlotCount; ++slot) {
            const auto value = Link::parseCoefficient(arguments[1 + slot], QLocale::c());
            if (!value)
                fail({ UsageError,
                       QStringLiteral("%1: \"%2\" is not a finite number; nothing was sent")
                           .arg(QLatin1String(CoefficientNames[slot]), arguments[1 + slot]) });
            values[slot] = *value;
        }
        openController(options)->send(Link::coefficientFrame(values));
        if (options.json)
            printJson(QJsonObject { { "written", true } });
        else
            printLine(QStringLiteral("wrote the eight coefficients"));
        return Success;
    }
    const Link::ValueBlock block = openController(options)->read(Link::Command::ReadCoefficients);
    QJsonObject object;
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        const QString name = QLatin1String(CoefficientNames[slot]);
        if (options.json)
            object.insert(name, double(block[slot]));
        else
            printLine(name + QStringLiteral(" = ")
                      + Link::coefficientText(block[slot], QLocale::c()));
    }
    if (options.json)
        printJson(object);
    return Success;
}

int backUp(const QStringList &arguments, const Options &options)
{
    const auto controller = openController(options);
    Backup::Contents contents;
    contents.time = QDateTime::currentDateTime();
    contents.port = controller->name();
    contents.setPoints = controller->read(Link::Command::ReadVoltages);
    contents.coefficients = controller->read(Link::Command::ReadCoefficients);
    if (const auto fault = Backup::unrestorable(contents))
        fail({ BadReply,
               QStringLiteral("%1: the controller holds %2, which restore would refuse; "
                              "nothing was written")
                   .arg(contents.port, *fault) });

    // Written whole or not at all: an existing file is replaced only by a complete new one.
    QSaveFile file(arguments[0]);
    if (!file.open(QIODevice::WriteOnly) || file.write(Backup::toJson(contents)) < 0
        || !file.commit())
        fail({ FileError,
               QStringLiteral("cannot write %1: %2").arg(arguments[0], file.errorString()) });
    if (options.json)
        printJson(QJsonObject { { "file", arguments[0] }, { "port", contents.port } });
    else
        printLine(QStringLiteral("saved the set-points and coefficients of %1 to %2")
                      .arg(contents.port, arguments[0]));
    return Success;
}

// Compared bit for bit: the controller must hold exactly what the file says.
QStringList differences(const Link::ValueBlock &wanted, const Link::ValueBlock &found,
                        const std::function<QString(int)> &name)
{
    QStringList names;
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        if (std::memcmp(&wanted[slot], &found[slot], sizeof(float)) != 0)
            names << QStringLiteral("%1 (%2, not %3)")
                         .arg(name(slot), Link::coefficientText(found[slot], QLocale::c()),
                              Link::coefficientText(wanted[slot], QLocale::c()));
    }
    return names;
}

int restore(const QStringList &arguments, const Options &options)
{
    QFile file(arguments[0]);
    if (!file.open(QIODevice::ReadOnly))
        fail({ FileError,
               QStringLiteral("cannot read %1: %2").arg(arguments[0], file.errorString()) });
    QString error;
    const auto contents = Backup::fromJson(file.readAll(), &error);
    if (!contents)
        fail({ UsageError, QStringLiteral("%1: %2; nothing was sent").arg(arguments[0], error) });

    QList<QByteArray> frames;
    for (int slot = 0; slot < Link::SlotCount; ++slot)
        frames << Link::setPointFrame(slot, contents->setPoints[slot]);
    frames << Link::coefficientFrame(contents->coefficients);
    if (options.dryRun) {
        for (const QByteArray &frame : frames)
            printLine(QString::fromLatin1(frame.toHex(' ').toUpper()));
        if (options.commit)
            printLine(QString::fromLatin1(
                Link::buildFrame(Link::Command::WriteEeprom).toHex(' ').toUpper()));
        return Success;
    }

    // NaN and infinity go back only because the file says so outright; say so too.
    QJsonArray notFinite;
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        if (std::isfinite(contents->coefficients[slot]))
            continue;
        notFinite.append(QLatin1String(CoefficientNames[slot]));
        if (!options.json)
            printLine(QStringLiteral("%1 is restored as %2, as the file says")
                          .arg(QLatin1String(CoefficientNames[slot]),
                               Link::coefficientText(contents->coefficients[slot], QLocale::c())));
    }

    const auto controller = openController(options);
    for (const QByteArray &frame : frames)
        controller->send(frame);
    const QStringList differ
        = differences(contents->setPoints, controller->read(Link::Command::ReadVoltages),
                      [](int slot) { return slotName("Vc", "Vb", slot); })
        + differences(contents->coefficients, controller->read(Link::Command::ReadCoefficients),
                      [](int slot) { return QString::fromLatin1(CoefficientNames[slot]); });
    if (!differ.isEmpty())
        fail({ NotRestored,
               QStringLiteral("%1 reads back differently: %2; not committed")
                   .arg(controller->name(), differ.join(QStringLiteral(", "))) });
    if (options.commit)
        controller->send(Link::buildFrame(Link::Command::WriteEeprom));
    if (options.json)
        printJson(QJsonObject {
            { "restored", true }, { "committed", options.commit }, { "notFinite", notFinite } });
    else
        printLine(QStringLiteral("restored and verified %1 from %2%3")
                      .arg(controller->name(), arguments[0],
                           options.commit ? QStringLiteral("; committed to EEPROM") : QString()));
    return Success;
}

const Command Commands[] = {
    { "ports", 0, 0, { "all" }, false, listPorts },
    { "voltages", 0, 0, { "channel" }, true, readVoltages },
    { "currents", 0, 0, { "channel" }, true, readCurrents },
    { "watch", 0, 0, { "interval", "count", "csv" }, true, watchCurrents },
    { "set", 3, 3, { "verify" }, false, setVoltage },
    { "commit", 0, 0, {}, false, commitToEeprom },
    { "coefs", 0, 1 + Link::SlotCount, {}, false, coefficients },
    { "backup", 1, 1, {}, false, backUp },
    { "restore", 1, 1, { "commit", "dry-run" }, false, restore },
};

} // namespace

const Command *findCommand(const QString &name)
{
    for (const Command &command : Commands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}
