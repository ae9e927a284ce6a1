// torvan-bench-roundtrip: the R exchange over a named port, timed, on any
// platform the tool runs on (on Windows a COM port), through the same link as
// the window. Prints the median and p99 and how many replies were taken.
#include "exchange.h"
#include "seriallink.h"
#include "stats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>

#include <algorithm>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    bool ok = arguments.size() == 1;
    const int count = arguments.size() == 2 ? arguments[1].toInt(&ok) : 200;
    if (!ok || count < 1) {
        fprintf(stderr, "usage: torvan-bench-roundtrip PORT [COUNT (default 200)]\n");
        return 2;
    }
    QSerialPort port;
    if (!Link::openLink(&port, arguments[0])) {
        fprintf(stderr, "torvan-bench-roundtrip: cannot open %s: %s\n", qPrintable(arguments[0]),
                qPrintable(port.errorString()));
        return 4;
    }

    QList<double> ms;
    int taken = 0;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        taken += Link::exchange(&port, Link::Command::ReadCurrents) ? 1 : 0;
        ms << clock.nsecsElapsed() / 1e6;
    }
    const Stats stats = statsOf(ms);
    printf("R exchange over %s: median %.2f ms, p99 %.2f ms, max %.2f ms, first %.2f ms; "
           "%d of %d replies taken\n",
           qPrintable(arguments[0]), stats.median, stats.p99, stats.max, ms.first(), taken, count);
    return taken == count ? 0 : 5;
}
