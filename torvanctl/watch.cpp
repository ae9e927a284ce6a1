// torvanctl watch: the currents of one or several controllers, one row a tick.
#include "commands.h"

#include "controller.h"
#include "interrupt.h"
#include "quantities.h"
#include "status.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <climits>

using namespace Console;
using namespace Torvanctl;

namespace {

// Waits on the event loop until the clock reaches dueMs, or interrupted is set.
void waitUntil(const QElapsedTimer &clock, qint64 dueMs, const bool &interrupted)
{
    while (clock.elapsed() < dueMs && !interrupted) {
        QEventLoop wait;
        QTimer::singleShot(int(dueMs - clock.elapsed()), &wait, &QEventLoop::quit);
        wait.processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// One tick's row, in the output form asked for, filled port by port.
struct Row
{
    QString time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    QStringList cells { time }; // CSV fields, or words of text
    QJsonObject json;
    bool anyRead = false;
};

// An adapter named by its serial number is waited for when its line is lost,
// and found again wherever it comes back, as is a terminal server's address,
// reconnected to; one named by its port is dropped.
class Watch
{
public:
    Watch(Torvan::Controllers &controllers, QList<Torvan::AdapterChoice> choices,
          const Options &options)
        : controllers(controllers)
        , choices(std::move(choices))
        , options(options)
        , several(controllers.size() > 1)
        , rowEveryTick(several
                       || std::any_of(this->choices.begin(), this->choices.end(),
                                      [](const auto &c) { return c.namesInstrument(); }))
        , dropped(controllers.size(), false)
    { }

    bool anyFailed = false;

    // False if standard output could not be written.
    bool printHeader() const
    {
        QStringList header { QStringLiteral("time") };
        for (size_t i = 0; i < controllers.size(); ++i)
            for (int slot = 0; slot < Link::SlotCount; ++slot)
                header << (several ? label(i) + ':' : QString()) + names[slot]
                        + QStringLiteral("_mA");
        return printLine(header.join(','));
    }

    // Reads every port once and prints the row; false once no port is left,
    // or standard output could not be written.
    bool tick()
    {
        Row row;
        for (size_t i = 0; i < controllers.size(); ++i)
            addReading(row, i);
        bool anyLeft = false;
        for (size_t i = 0; i < controllers.size(); ++i)
            anyLeft = anyLeft || !dropped[i] || awaited(i);
        if (!anyLeft)
            return false; // nothing left to watch
        if (!row.anyRead && !rowEveryTick)
            return true; // a single port's failed reading leaves no line
        if (options.json) {
            row.json.insert(QStringLiteral("time"), row.time);
            return printJson(row.json);
        }
        return printLine(row.cells.join(options.csv ? QStringLiteral(",") : QStringLiteral("  ")));
    }

private:
    bool awaited(size_t i) const { return choices[i].namesInstrument(); }

    // The port, or the serial number that finds it wherever it is.
    QString label(size_t i) const
    {
        return awaited(i) ? choices[i].label() : controllers[i]->name();
    }

    // The adapter of a lost line, if it is back: its port may be another now.
    bool foundAgain(const QString &time, size_t i)
    {
        auto controller = Torvan::Controller::open(choices[i]);
        if (!controller)
            return false;
        controllers[i] = std::move(*controller);
        const QString &serialNumber = choices[i].serialNumber;
        warn(time
             + (serialNumber.isEmpty() ? QStringLiteral(": %1 is back").arg(controllers[i]->name())
                                       : QStringLiteral(": %1 is back, on %2")
                                             .arg(serialNumber, controllers[i]->name())));
        return true;
    }

    // A failed reading does not stop the log; the status tells a script it happened.
    std::optional<Link::ValueBlock> read(const QString &time, size_t i)
    {
        if (dropped[i] && !(awaited(i) && foundAgain(time, i)))
            return std::nullopt;
        dropped[i] = false;
        Torvan::Controller &controller = *controllers[i];
        const auto amperes = controller.readCurrents();
        if (amperes)
            return *amperes;
        anyFailed = true;
        dropped[i] = controller.isLost();
        const QString next = !dropped[i] ? QString()
            : awaited(i) ? QStringLiteral("; waiting for %1 to come back").arg(choices[i].label())
            : several    ? QStringLiteral("; watching the others")
                         : QString();
        warn(time + QStringLiteral(": ") + amperes.failure().message + next);
        return std::nullopt;
    }

    // Only the form that is printed is made: the row is the bulk of a tick's work.
    void addReading(Row &row, size_t i)
    {
        const auto amperes = read(row.time, i);
        row.anyRead = row.anyRead || amperes;
        QStringList values;
        for (int slot = 0; slot < Link::SlotCount; ++slot)
            values << (amperes ? Torvan::milliampsText((*amperes)[slot]) : QString());
        if (options.csv) {
            row.cells << values;
        } else if (options.json) {
            QJsonObject currents;
            for (int slot = 0; amperes && slot < Link::SlotCount; ++slot)
                currents.insert(names[slot] + QStringLiteral("_mA"), values[slot].toDouble());
            if (several)
                row.json.insert(label(i), amperes ? QJsonValue(currents) : QJsonValue());
            else
                row.json = currents;
        } else {
            for (int slot = 0; slot < Link::SlotCount; ++slot)
                values[slot] = names[slot] + u'=' + values[slot];
            row.cells << (!several ? values.join(u' ')
                                   : label(i) + QStringLiteral(": ")
                                  + (amperes ? values.join(u' ') : QStringLiteral("-")));
        }
    }

    Torvan::Controllers &controllers;
    const QList<Torvan::AdapterChoice> choices; // one for each controller
    const Options &options;
    const bool several;
    const bool rowEveryTick;
    std::vector<bool> dropped;
    const QStringList names = [] {
        QStringList names;
        for (int slot = 0; slot < Link::SlotCount; ++slot)
            names << Torvan::currentName(slot);
        return names;
    }();
};

int watchUntilDone(Torvan::Controllers &controllers, int intervalMs, int readings,
                   const Options &options)
{
    QList<Torvan::AdapterChoice> choices = options.adapters;
    if (choices.isEmpty())
        choices.append(Torvan::AdapterChoice { controllers.front()->name(), {} });
    Watch watch(controllers, choices, options);
    // Ctrl-C ends the watch between two readings, so the last line is always whole.
    bool interrupted = false;
    onInterrupt(qApp, [&interrupted] { interrupted = true; });
    if (options.csv && !watch.printHeader())
        return OutputError;
    QElapsedTimer clock;
    clock.start();
    for (int reading = 0; (readings == 0 || reading < readings) && !interrupted; ++reading) {
        // A steady rhythm: each reading is due at a multiple of the interval from the start.
        waitUntil(clock, qint64(reading) * intervalMs, interrupted);
        if (interrupted || !watch.tick())
            break;
    }
    // A log that no longer reaches its reader stops, and frees the adapters.
    if (!outputFault().isEmpty())
        return OutputError;
    return watch.anyFailed ? BadReply : Success;
}

} // namespace

Prepared watchCurrents(const QStringList &, const Options &options)
{
    const auto intervalMs = numberOption(QStringLiteral("interval"), options.interval, 50, 3600000);
    const auto readings = numberOption(QStringLiteral("count"), options.count, 0, INT_MAX);
    if (!intervalMs || !readings)
        return !intervalMs ? intervalMs.failure() : readings.failure();
    return Job { true,
                 [intervalMs = *intervalMs, readings = *readings,
                  &options](Torvan::Controllers &controllers) {
                     return watchUntilDone(controllers, intervalMs, readings, options);
                 } };
}
