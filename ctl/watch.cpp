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

using namespace Cli;

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

// One tick's row in each output form, filled port by port.
struct Row
{
    QString time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    QStringList fields { time };
    QStringList words;
    QJsonObject json { { "time", time } };
    bool anyRead = false;
};

class Watch
{
public:
    Watch(Torvan::Controllers &controllers, const Options &options)
        : controllers(controllers)
        , options(options)
        , several(controllers.size() > 1)
        , dropped(controllers.size(), false)
    { }

    bool anyFailed = false;

    void printHeader() const
    {
        QStringList header { QStringLiteral("time") };
        for (const auto &controller : controllers)
            for (int slot = 0; slot < Link::SlotCount; ++slot)
                header << (several ? controller->name() + ':' : QString())
                        + Torvan::currentName(slot) + QStringLiteral("_mA");
        printLine(header.join(','));
    }

    // Reads every port once and prints the row; false once no port is left.
    bool tick()
    {
        Row row;
        for (size_t i = 0; i < controllers.size(); ++i)
            addReading(row, i);
        if (std::all_of(dropped.begin(), dropped.end(), [](bool d) { return d; }))
            return false; // nothing left to watch
        if (!row.anyRead && !several)
            return true; // a single port's failed reading leaves no line
        if (options.json)
            printJson(row.json);
        else if (options.csv)
            printLine(row.fields.join(','));
        else
            printLine(row.time + QStringLiteral("  ") + row.words.join(QStringLiteral("  ")));
        return true;
    }

private:
    // A failed reading does not stop the log; the status tells a script it happened.
    std::optional<Link::ValueBlock> read(const QString &time, size_t i)
    {
        Torvan::Controller &controller = *controllers[i];
        if (dropped[i])
            return std::nullopt;
        const auto amperes = controller.readCurrents();
        if (amperes)
            return *amperes;
        anyFailed = true;
        dropped[i] = controller.isLost();
        warn(time + QStringLiteral(": ") + amperes.failure().message
             + (dropped[i] && several ? QStringLiteral("; watching the others") : QString()));
        return std::nullopt;
    }

    void addReading(Row &row, size_t i)
    {
        const auto amperes = read(row.time, i);
        row.anyRead = row.anyRead || amperes;
        QJsonObject currents;
        QStringList values;
        for (int slot = 0; slot < Link::SlotCount; ++slot) {
            const QString value = amperes ? Torvan::milliampsText((*amperes)[slot]) : QString();
            const QString name = Torvan::currentName(slot);
            row.fields << value;
            values << QStringLiteral("%1=%2").arg(name, value);
            if (amperes)
                currents.insert(name + QStringLiteral("_mA"), value.toDouble());
        }
        const QString port = controllers[i]->name();
        if (several) {
            row.json.insert(port, amperes ? QJsonValue(currents) : QJsonValue());
            row.words << port + QStringLiteral(": ")
                    + (amperes ? values.join(' ') : QStringLiteral("-"));
        } else {
            for (auto it = currents.begin(); it != currents.end(); ++it)
                row.json.insert(it.key(), it.value());
            row.words << values.join(' ');
        }
    }

    Torvan::Controllers &controllers;
    const Options &options;
    const bool several;
    std::vector<bool> dropped;
};

} // namespace

int watchCurrents(const QStringList &, const Options &options)
{
    const auto intervalMs = numberOption(QStringLiteral("interval"), options.interval, 50, 3600000);
    const auto readings = numberOption(QStringLiteral("count"), options.count, 0, INT_MAX);
    if (!intervalMs || !readings)
        return report(!intervalMs ? intervalMs.failure() : readings.failure());
    auto controllers = Torvan::openControllers(options.ports);
    if (!controllers)
        return report(controllers.failure());
    Watch watch(*controllers, options);
    // Ctrl-C ends the watch between two readings, so the last line is always whole.
    bool interrupted = false;
    onInterrupt(qApp, [&interrupted] { interrupted = true; });
    if (options.csv)
        watch.printHeader();
    QElapsedTimer clock;
    clock.start();
    for (int reading = 0; (*readings == 0 || reading < *readings) && !interrupted; ++reading) {
        // A steady rhythm: each reading is due at a multiple of the interval from the start.
        waitUntil(clock, qint64(reading) * *intervalMs, interrupted);
        if (interrupted || !watch.tick())
            break;
    }
    return watch.anyFailed ? BadReply : Success;
}
