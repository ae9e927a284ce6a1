// torvan-bench-roundtrip: the R exchange over a named port, timed, on any
// platform the tool runs on (on Windows a COM port), through the same link as
// the window. Prints the median and p99 and how many replies were taken.
#include "console.h"
#include "exchange.h"
#include "result.h"
#include "seriallink.h"
#include "stats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>

#include <cstdio>

namespace {

// The statuses torvanctl ends with for the same failures.
enum Status { CannotOpen = 4, MissedReplies = 5 };

struct RoundTrips
{
    QList<double> ms;
    int taken = 0;
};

Torvan::Result<RoundTrips, QString> timeRoundTrips(const QString &portName, int count)
{
    QSerialPort port;
    if (!Link::openLink(&port, portName))
        return QStringLiteral("cannot open %1: %2").arg(portName, port.errorString());
    RoundTrips trips;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        trips.taken += Link::exchange(&port, Link::Command::ReadCurrents) ? 1 : 0;
        trips.ms << clock.nsecsElapsed() / 1e6;
    }
    return trips;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    bool ok = arguments.size() == 1;
    const int count = arguments.size() == 2 ? arguments[1].toInt(&ok) : 200;
    if (!ok || count < 1) {
        fprintf(stderr, "usage: torvan-bench-roundtrip PORT [COUNT (default 200)]\n");
        return Console::UsageError;
    }
    const auto trips = timeRoundTrips(arguments[0], count);
    if (!trips) {
        Console::warn(trips.failure());
        return CannotOpen;
    }
    const Stats stats = statsOf(trips->ms);
    printf("R exchange over %s: median %.2f ms, p99 %.2f ms, max %.2f ms, first %.2f ms; "
           "%d of %d replies taken\n",
           qPrintable(arguments[0]), stats.median, stats.p99, stats.max, trips->ms.first(),
           trips->taken, count);
    return trips->taken == count ? 0 : MissedReplies;
}
