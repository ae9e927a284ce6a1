#include "commands.h"

#include "backup.h"
#include "coefficienttext.h"
#include "controller.h"
#include "quantities.h"
#include "status.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

using namespace Console;
using namespace Torvanctl;

namespace {

// A backup is a few kB: a file much larger, or a device or pipe, is not one,
// and is not read to its end to find that out.
constexpr qint64 MaxBackupBytes = 1 << 20;

void printPort(const Link::PortEntry &entry, bool qualifies, const Options &options)
{
    const QString serialNumber
        = entry.serialNumber.isEmpty() ? QStringLiteral("no serial number") : entry.serialNumber;
    if (!options.all) {
        printLine(entry.name + u'\t' + serialNumber);
        return;
    }
    const QString usb = entry.vendorId ? QStringLiteral("%1:%2\t%3")
                                             .arg(entry.vendorId, 4, 16, QLatin1Char('0'))
                                             .arg(entry.productId, 4, 16, QLatin1Char('0'))
                                             .arg(serialNumber)
                                       : QStringLiteral("no USB ids");
    printLine(QStringLiteral("%1\t%2%3")
                  .arg(entry.name, usb,
                       qualifies ? QStringLiteral("\tthe controller's adapter") : QString()));
}

// A job without a controller.
Job alone(std::function<int()> run)
{
    return { false, [run](Torvan::Controllers &) { return run(); } };
}

// A job with the one controller its command takes.
Job withController(std::function<int(Torvan::Controller &)> run)
{
    return { true, [run](Torvan::Controllers &controllers) { return run(*controllers.front()); } };
}

int listPorts(const Options &options)
{
    bool anyAdapter = false;
    QJsonArray array;
    for (const Link::PortEntry &entry : Torvan::Controller::allPorts()) {
        const bool qualifies = Torvan::Controller::isAdapter(entry);
        anyAdapter = anyAdapter || qualifies;
        if (!options.all && !qualifies)
            continue;
        if (options.json)
            array.append(QJsonObject { { "port", entry.name },
                                       { "vendorId", entry.vendorId },
                                       { "productId", entry.productId },
                                       { "serialNumber", entry.serialNumber },
                                       { "qualifies", qualifies } });
        else
            printPort(entry, qualifies, options);
    }
    if (options.json)
        printJson(array);
    // The list itself stays empty for scripts; a person is told why.
    if (!options.all && !anyAdapter)
        warn(QStringLiteral("no adapter with USB id %1 found; "
                            "'torvanctl ports --all' lists every serial port")
                 .arg(Torvan::adapterIdText()));
    return Success;
}

// Voltages or currents, channel by channel: the text and the JSON of one reading.
struct Pairs
{
    bool voltages;
    int onlyChannel; // -1: all four

    QString text(float value) const
    {
        return voltages ? Torvan::voltsText(value) : Torvan::milliampsText(value);
    }
    QString unit() const { return voltages ? QStringLiteral("V") : QStringLiteral("mA"); }
    QString name(int slot) const
    {
        return (voltages ? Torvan::setPointName(slot) : Torvan::currentName(slot)).chopped(1);
    }
    bool shows(int channel) const { return onlyChannel < 0 || channel == onlyChannel; }

    QStringList lines(const Link::ValueBlock &block) const
    {
        QStringList lines;
        for (int channel = 0; channel < Link::ChannelCount; ++channel) {
            const int c = Link::cSlot(channel), b = Link::bSlot(channel);
            if (shows(channel))
                lines << QStringLiteral("channel %1: %2 = %3 %4, %5 = %6 %4")
                             .arg(channel)
                             .arg(name(c), text(block[c]), unit(), name(b), text(block[b]));
        }
        return lines;
    }

    QJsonArray json(const Link::ValueBlock &block) const
    {
        QJsonArray array;
        for (int channel = 0; channel < Link::ChannelCount; ++channel) {
            if (!shows(channel))
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

int readPairs(const Pairs &pairs, Torvan::Controllers &controllers, const Options &options)
{
    const bool several = controllers.size() > 1;
    QJsonObject byPort;
    for (size_t i = 0; i < controllers.size(); ++i) {
        const auto &controller = controllers[i];
        const bool voltages = pairs.voltages;
        const auto block = voltages ? controller->readSetPoints() : controller->readCurrents();
        if (!block)
            return report(block.failure());
        // Several are always named: each by the port or serial number it was given.
        const QString label = several ? options.adapters[int(i)].label() : QString();
        if (options.json && several)
            byPort.insert(label, pairs.json(*block));
        else if (options.json)
            printJson(pairs.json(*block));
        else
            for (const QString &line : pairs.lines(*block))
                printLine(several ? label + QStringLiteral(": ") + line : line);
    }
    if (options.json && several)
        printJson(byPort);
    return Success;
}

Prepared readBlocks(const Options &options, bool voltages)
{
    const auto channel
        = options.channel.isEmpty() ? Checked<int>(-1) : channelArgument(options.channel);
    if (!channel)
        return channel.failure();
    const Pairs pairs { voltages, *channel };
    return Job { true, [pairs, &options](Torvan::Controllers &controllers) {
                    return readPairs(pairs, controllers, options);
                } };
}

Prepared readVoltages(const QStringList &, const Options &options)
{
    return readBlocks(options, true);
}

Prepared readCurrents(const QStringList &, const Options &options)
{
    return readBlocks(options, false);
}

int applySetPoint(Torvan::Controller &controller, int index, double value, const Options &options)
{
    if (const auto sent = controller.setPoint(index, value); !sent)
        return report(sent.failure());
    if (options.readBack) {
        if (const auto applied = controller.verifySetPoint(index, value); !applied)
            return report(applied.failure());
    }
    const int channel = index / 2;
    const QString name = index % 2 ? QStringLiteral("Vb") : QStringLiteral("Vc");
    if (options.json)
        printJson(QJsonObject { { "channel", channel },
                                { name + QStringLiteral("_V"), value },
                                { "verified", options.readBack } });
    else
        printLine(QStringLiteral("channel %1 %2 set to %3 V (%4)")
                      .arg(channel)
                      .arg(name, Torvan::voltsText(float(value)),
                           options.readBack ? QStringLiteral("verified")
                                            : QStringLiteral("sent, not read back")));
    return Success;
}

Prepared setVoltage(const QStringList &arguments, const Options &options)
{
    const auto channel = channelArgument(arguments[0]);
    if (!channel)
        return channel.failure();
    const QString which = arguments[1].toLower();
    if (which != QLatin1String("vc") && which != QLatin1String("vb"))
        return usageError(QStringLiteral("say vc or vb, not \"%1\"").arg(arguments[1]));
    const auto value = voltsArgument(arguments[2]);
    if (!value)
        return value.failure();
    const int index = which == QLatin1String("vc") ? Link::cSlot(*channel) : Link::bSlot(*channel);
    return withController([index, value = *value, &options](Torvan::Controller &controller) {
        return applySetPoint(controller, index, value, options);
    });
}

Prepared commitToEeprom(const QStringList &, const Options &options)
{
    return withController([&options](Torvan::Controller &controller) {
        if (const auto sent = controller.commit(); !sent)
            return report(sent.failure());
        if (options.json)
            printJson(QJsonObject { { "committed", true } });
        else
            printLine(QStringLiteral("asked the controller to store its settings in EEPROM"));
        return int(Success);
    });
}

Prepared writeCoefficients(const QStringList &arguments, const Options &options)
{
    if (arguments.size() != 1 + Link::SlotCount || arguments[0] != QLatin1String("set"))
        return usageError(QStringLiteral("'coefs set' takes all eight values, IC0 IB0 IC1 "
                                         "IB1 IC2 IB2 IC3 IB3; nothing was sent"));
    Link::ValueBlock values;
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        const auto value = Torvan::parseCoefficient(arguments[1 + slot], QLocale());
        if (!value)
            return usageError(QStringLiteral("%1: \"%2\" is not a finite number; nothing was sent")
                                  .arg(Torvan::coefficientName(slot), arguments[1 + slot]));
        values[slot] = *value;
    }
    return withController([values, &options](Torvan::Controller &controller) {
        if (const auto sent = controller.writeCoefficients(values); !sent)
            return report(sent.failure());
        if (options.readBack) {
            if (const auto applied = controller.verifyCoefficients(values); !applied)
                return report(applied.failure());
        }
        if (options.json)
            printJson(QJsonObject { { "written", true }, { "verified", options.readBack } });
        else
            printLine(options.readBack
                          ? QStringLiteral("wrote the eight coefficients")
                          : QStringLiteral("sent the eight coefficients, not read back"));
        return int(Success);
    });
}

int printCoefficients(Torvan::Controller &controller, const Options &options)
{
    const auto block = controller.readCoefficients();
    if (!block)
        return report(block.failure());
    QJsonObject object;
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        if (options.json)
            object.insert(Torvan::coefficientName(slot), double((*block)[slot]));
        else
            printLine(Torvan::coefficientName(slot) + QStringLiteral(" = ")
                      + Torvan::coefficientText((*block)[slot], QLocale::c()));
    }
    if (options.json)
        printJson(object);
    return Success;
}

Prepared coefficients(const QStringList &arguments, const Options &options)
{
    if (!arguments.isEmpty())
        return writeCoefficients(arguments, options);
    return withController([&options](Torvan::Controller &controller) {
        return printCoefficients(controller, options);
    });
}

int backUpTo(const QString &path, Torvan::Controller &controller, const Options &options)
{
    const auto contents = controller.backup();
    if (!contents)
        return report(contents.failure());
    // Written whole or not at all: an existing file is replaced only by a complete new one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(Backup::toJson(*contents)) < 0
        || !file.commit())
        return report(Stop { FileError,
                             QStringLiteral("cannot write %1: %2").arg(path, file.errorString()) });
    if (options.json)
        printJson(QJsonObject { { "file", path },
                                { "port", contents->port },
                                { "serialNumber", contents->serialNumber } });
    else
        printLine(QStringLiteral("saved the set-points and coefficients of %1%2 to %3")
                      .arg(contents->port,
                           contents->serialNumber.isEmpty()
                               ? QString()
                               : QStringLiteral(" (serial number %1)").arg(contents->serialNumber),
                           path));
    return Success;
}

Prepared backUp(const QStringList &arguments, const Options &options)
{
    // Only a regular file is replaced (through a link, the file it leads to):
    // never a device node, a pipe or a directory.
    if (const QFileInfo target(arguments[0]); target.exists() && !target.isFile())
        return Stop { FileError,
                      QStringLiteral("cannot write %1: not a regular file; nothing was written")
                          .arg(arguments[0]) };
    return withController([path = arguments[0], &options](Torvan::Controller &controller) {
        return backUpTo(path, controller, options);
    });
}

Checked<Backup::Contents> readBackup(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return Stop { FileError, QStringLiteral("cannot read %1: not a regular file").arg(path) };
    const QString tooLarge
        = QStringLiteral("cannot read %1: larger than a backup file can be (1 MiB)").arg(path);
    if (info.size() > MaxBackupBytes)
        return Stop { FileError, tooLarge };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Stop { FileError,
                      QStringLiteral("cannot read %1: %2").arg(path, file.errorString()) };
    const QByteArray json = file.read(MaxBackupBytes + 1);
    if (json.size() > MaxBackupBytes)
        return Stop { FileError, tooLarge };
    const auto contents = Backup::fromJson(json);
    if (!contents)
        return stopFor(
            { contents.failure().kind,
              QStringLiteral("%1: %2; nothing was sent").arg(path, contents.failure().message) });
    return *contents;
}

// NaN and infinity go back only because the file says so outright; say so too.
QJsonArray announceNotFinite(const Backup::Contents &contents, const Options &options)
{
    QJsonArray notFinite;
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        if (std::isfinite(contents.coefficients[slot]))
            continue;
        notFinite.append(Torvan::coefficientName(slot));
        if (!options.json)
            printLine(QStringLiteral("%1 is restored as %2, as the file says")
                          .arg(Torvan::coefficientName(slot),
                               Torvan::coefficientText(contents.coefficients[slot], QLocale::c())));
    }
    return notFinite;
}

int restoreOnto(Torvan::Controller &controller, const QString &path,
                const Backup::Contents &contents, const Options &options)
{
    const auto checked = controller.isInstrumentOf(contents);
    if (!checked && !options.anyAdapter)
        return report(Torvan::Failure { checked.failure().kind,
                                        path + QStringLiteral(": ") + checked.failure().message });
    if (checked && !*checked && !options.json)
        printLine(QStringLiteral("the instrument could not be checked: %1")
                      .arg(contents.serialNumber.isEmpty()
                               ? path + QStringLiteral(" records no serial number")
                               : controller.serialNumber().isEmpty()
                               ? controller.name() + QStringLiteral(" reports none")
                               : QStringLiteral("%1 adapters report serial number %2, so "
                                                "it does not tell them apart")
                                     .arg(controller.adaptersWithSerialNumber())
                                     .arg(controller.serialNumber())));
    const QJsonArray notFinite = announceNotFinite(contents, options);
    if (const auto restored = controller.restore(contents, options.commit); !restored)
        return report(restored.failure());
    if (options.json)
        printJson(QJsonObject { { "restored", true },
                                { "committed", options.commit },
                                { "notFinite", notFinite },
                                { "instrumentChecked", checked && *checked } });
    else
        printLine(QStringLiteral("restored and verified %1 from %2%3")
                      .arg(controller.name(), path,
                           options.commit ? QStringLiteral("; committed to EEPROM") : QString()));
    return Success;
}

Prepared restore(const QStringList &arguments, const Options &options)
{
    const auto contents = readBackup(arguments[0]);
    if (!contents)
        return contents.failure();
    if (options.dryRun)
        return alone([frames = Torvan::Controller::restoreFrames(*contents, options.commit)] {
            for (const QByteArray &frame : frames)
                printLine(QString::fromLatin1(frame.toHex(' ').toUpper()));
            return int(Success);
        });
    return withController(
        [path = arguments[0], contents = *contents, &options](Torvan::Controller &controller) {
            return restoreOnto(controller, path, contents, options);
        });
}

Prepared ports(const QStringList &, const Options &options)
{
    return alone([&options] { return listPorts(options); });
}

// clang-format off
const Command Commands[] = {
    // name       usage (a further usage on a line of its own)               summary (one line per usage)                                      arguments            options                                   several  prepare
    { "ports",    "ports [--all]",                                           "adapters the controller may sit behind, with serial numbers",    0, 0,                { "all" },                                false,  ports },
    { "voltages", "voltages [--channel N]",                                  "the voltage set-points, in V",                                   0, 0,                { "channel" },                            true,   readVoltages },
    { "currents", "currents [--channel N]",                                  "the measured currents, in mA",                                   0, 0,                { "channel" },                            true,   readCurrents },
    { "watch",    "watch [--interval MS] [--count N] [--csv]",               "all currents, timestamped, until Ctrl-C",                        0, 0,                { "interval", "count", "csv" },           true,   watchCurrents },
    { "set",      "set CHANNEL vc|vb VOLTS [--no-verify]",                   "send a set-point (0 to 2.5 V, three decimals)",                  3, 3,                { "verify", "no-verify" },                false,  setVoltage },
    { "commit",   "commit",                                                  "have the controller store its settings in EEPROM",               0, 0,                {},                                       false,  commitToEeprom },
    { "coefs",    "coefs\ncoefs set V0 V1 V2 V3 V4 V5 V6 V7 [--no-verify]",  "the eight calibration coefficients\n"
                                                                             "write all eight, in the order IC0, IB0 ... IB3",                 0, 1 + Link::SlotCount, { "no-verify" },                        false,  coefficients },
    { "backup",   "backup FILE",                                             "save set-points and coefficients to a JSON file",                1, 1,                {},                                       false,  backUp },
    { "restore",  "restore FILE [--commit] [--dry-run] [--any-adapter]",     "send them back, read back and compare them",                     1, 1,                { "commit", "dry-run", "any-adapter" },   false,  restore },
};
// clang-format on

} // namespace

const Command *findCommand(const QString &name)
{
    for (const Command &command : Commands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

QString commandHelp()
{
    QString help;
    for (const Command &command : Commands) {
        const QStringList usages = QString::fromLatin1(command.usage).split(u'\n');
        const QStringList summaries = QString::fromLatin1(command.summary).split(u'\n');
        for (qsizetype i = 0; i < usages.size(); ++i) {
            // Summaries start in one column; a longer usage puts its summary below.
            help += QStringLiteral("  ") + usages[i].leftJustified(36)
                + (usages[i].size() > 36 ? QStringLiteral("\n") + QString(39, u' ')
                                         : QStringLiteral(" "))
                + summaries.value(i) + u'\n';
        }
    }
    return help;
}
