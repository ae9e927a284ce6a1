// torvan-bench: how fast the tool is against the limits the wire and a bare
// Qt window set. Run it from the build tree: torvan-bench [--quick]
#include "cli.h"
#include "exchange.h"
#include "mainwindow.h"
#include "seriallink.h"
#include "stats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

namespace {

// A 3-byte request and a 32-byte reply, 10 bits a byte at 115200 baud.
constexpr double WireFloorMs = 35 * 10 * 1000.0 / 115200;

// A measurement that cannot go on: main reports it in one line and ends with
// status 1, after the simulators and tools started so far are stopped.
struct Failure
{
    QString message;
};

[[noreturn]] void fail(const QString &message)
{
    throw Failure { message };
}

// A simulated controller in its own process, paced at the real line rate.
class SimProcess
{
public:
    explicit SimProcess(const QStringList &arguments = {})
    {
        process.start(TORVAN_SIM, arguments);
        if (!process.waitForStarted() || !process.waitForReadyRead(5000))
            fail(QStringLiteral("cannot start %1").arg(TORVAN_SIM));
        path = QString::fromLocal8Bit(process.readLine().trimmed());
    }
    ~SimProcess()
    {
        process.terminate();
        process.waitForFinished(3000);
    }
    QString path;

private:
    QProcess process;
};

qint64 processCpuNs()
{
    timespec cpu;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return qint64(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
}

qint64 monotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void printRow(const char *what, Stats stats, const char *unit, double floor, const char *floorName,
              double target)
{
    const double ratio = stats.median / floor;
    printf("%-34s %9.3f %9.3f %-3s %9.3f %-12s %6.2f x   %s %.2f x\n", what, stats.median,
           stats.p99, unit, floor, floorName, ratio,
           ratio <= target ? "met    <=" : "MISSED <=", target);
}

void measureRoundTrips(int repetitions)
{
    SimProcess sim;
    QSerialPort port;
    if (!Link::openLink(&port, sim.path))
        fail(QStringLiteral("cannot open %1").arg(sim.path));
    for (const auto &[command, name] :
         { std::pair { Link::Command::ReadCurrents, "R exchange round trip" },
           std::pair { Link::Command::ReadVoltages, "D exchange round trip" },
           std::pair { Link::Command::ReadCoefficients, "G exchange round trip" } }) {
        QList<double> samples;
        for (int i = -20; i < repetitions; ++i) { // the first twenty warm up
            QElapsedTimer clock;
            clock.start();
            const bool ok = Link::exchange(&port, command).has_value();
            const double ms = clock.nsecsElapsed() / 1e6;
            if (!ok)
                fail(QStringLiteral("the %1 exchange failed").arg(command));
            if (i >= 0)
                samples << ms;
        }
        printRow(name, statsOf(samples), "ms", WireFloorMs, "ms (wire)", 1.05);
    }
}

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Percent of a core used while something polls on its own, sampled in windows of
// two seconds: five polls each, so no window catches one poll more than another.
Stats cpuPercentWhile(int seconds, const std::function<qint64()> &cpuNs)
{
    QList<double> percent;
    for (int window = 0; window < seconds / 2; ++window) {
        const qint64 cpuBefore = cpuNs();
        const qint64 wallBefore = monotonicNs();
        runEventLoopFor(2000);
        percent << 100.0 * (cpuNs() - cpuBefore) / (monotonicNs() - wallBefore);
    }
    return statsOf(percent);
}

// A silent controller: the adapter is there, but no reply ever comes in time.
const QStringList SilentController { QStringLiteral("--delay"), QStringLiteral("60000") };
// The line goes dead after the connect's two reads and one poll, as if unplugged.
const QStringList HungUpLine { QStringLiteral("--hang-up-after"), QStringLiteral("3") };

void measureWindowPollingCpu(int seconds, const QStringList &simArguments, const char *what,
                             double target)
{
    SimProcess sim(simArguments);
    const QString path = sim.path;
    Link::setPortSource([path] { return QList<Link::PortEntry> { Link::simulatedAdapter(path) }; });
    MainWindow window;
    window.show();
    window.findChild<QPushButton *>("pbConnect")->click();
    if (!window.findChild<QSerialPort *>()->isOpen())
        fail(QStringLiteral("the window did not connect"));
    const Stats stats = cpuPercentWhile(seconds, processCpuNs);
    Link::setPortSource({});
    if (simArguments == HungUpLine && window.findChild<QSerialPort *>()->isOpen())
        fail(QStringLiteral("the window did not notice the hung-up line"));
    printRow(what, stats, "%", 1.0, "% of a core", target);
}

// CPU time of another process, from the scheduler's own account of it.
qint64 childCpuNs(qint64 pid)
{
    QFile schedstat(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (!schedstat.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1").arg(schedstat.fileName()));
    return schedstat.readAll().split(' ').value(0).toLongLong();
}

void measureWatchCpu(int seconds, const QStringList &simArguments, const char *what, double target)
{
    SimProcess sim(simArguments);
    QProcess watch;
    watch.start(TORVANCTL,
                { QStringLiteral("watch"), QStringLiteral("--port"), sim.path,
                  QStringLiteral("--interval"), QStringLiteral("400") });
    if (!watch.waitForStarted())
        fail(QStringLiteral("cannot start %1").arg(TORVANCTL));
    runEventLoopFor(1000); // past start-up: only the polling is measured
    if (watch.state() != QProcess::Running)
        fail(QStringLiteral("torvanctl watch ended: %1")
                 .arg(QString::fromLocal8Bit(watch.readAllStandardError().trimmed())));
    const Stats stats = cpuPercentWhile(seconds, [&] { return childCpuNs(watch.processId()); });
    watch.terminate();
    watch.waitForFinished(3000);
    printRow(what, stats, "%", 1.0, "% of a core", target);
}

void measureResponsiveness(int repetitions)
{
    SimProcess slowSim({ QStringLiteral("--delay"), QStringLiteral("150") });
    QSerialPort port;
    if (!Link::openLink(&port, slowSim.path))
        fail(QStringLiteral("cannot open %1").arg(slowSim.path));
    // A zero timer fires on every pass of the event loop: the gaps between its
    // ticks are the longest the UI goes without handling an event.
    QList<double> worstGaps;
    for (int i = 0; i < repetitions; ++i) {
        qint64 last = 0;
        qint64 worst = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
            const qint64 now = monotonicNs();
            if (last)
                worst = qMax(worst, now - last);
            last = now;
        });
        ticker.start(0);
        QCoreApplication::processEvents();
        if (!Link::exchange(&port, Link::Command::ReadVoltages))
            fail(QStringLiteral("the slow exchange failed"));
        worstGaps << worst / 1e6;
    }
    printRow("Longest UI gap during a 150 ms wait", statsOf(worstGaps), "ms", 16.0, "ms (a frame)",
             1.0);
}

struct Startup
{
    QList<double> ms;
    QList<double> rssMb;
};

Startup startOnce(const QString &program, Startup into)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(PLUGIN_DIR));
    if (!environment.contains(QStringLiteral("DISPLAY")))
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    const qint64 started = monotonicNs();
    process.start(program, { QStringLiteral("-plugin"), QStringLiteral("startupprobe") });
    if (!process.waitForFinished(30000))
        fail(QStringLiteral("%1 did not show its window").arg(program));
    const QList<QByteArray> words = process.readAllStandardOutput().trimmed().split(' ');
    if (words.size() != 3 || words[0] != "exposed")
        fail(QStringLiteral("%1 said nothing of its window").arg(program));
    into.ms << (words[1].toLongLong() - started) / 1e6;
    into.rssMb << words[2].toLongLong() / 1024.0;
    return into;
}

void measureStartup(int runs)
{
    // Taken in turns, so that whatever else the machine does falls on all three alike.
    Startup tool, bare, form;
    for (int i = -2; i < runs; ++i) { // two warm-up rounds fill the file cache
        const Startup t = startOnce(CONFIGURATOR, {});
        const Startup b = startOnce(BARE_WINDOW, {});
        const Startup f = startOnce(FORM_ONLY, {});
        if (i < 0)
            continue;
        tool.ms << t.ms;
        tool.rssMb << t.rssMb;
        bare.ms << b.ms;
        bare.rssMb << b.rssMb;
        form.ms << f.ms;
        form.rssMb << f.rssMb;
    }
    const Stats bareTime = statsOf(bare.ms), bareRss = statsOf(bare.rssMb);
    const Stats formTime = statsOf(form.ms), formRss = statsOf(form.rssMb);
    printRow("Start to first expose", statsOf(tool.ms), "ms", bareTime.median, "ms (bare)", 1.15);
    printRow("Peak RSS at first expose", statsOf(tool.rssMb), "MB", bareRss.median, "MB (bare)",
             1.10);
    printRow("  the same form, no logic: start", formTime, "ms", bareTime.median, "ms (bare)",
             1.15);
    printRow("  the same form, no logic: RSS", formRss, "MB", bareRss.median, "MB (bare)", 1.10);
    printRow("  the tool against its bare form", statsOf(tool.ms), "ms", formTime.median,
             "ms (form)", 1.15);
}

QString cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QSysInfo::currentCpuArchitecture();
}

} // namespace

int main(int argc, char *argv[])
{
    const bool quick = argc > 1 && qstrcmp(argv[1], "--quick") == 0;
    if (argc > 1 && !quick) {
        fprintf(stderr, "usage: torvan-bench [--quick]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    printf("torvan-bench on %s, %d cores, %s, Qt %s%s\n", qPrintable(cpuModel()),
           QThread::idealThreadCount(), qPrintable(QSysInfo::prettyProductName()), qVersion(),
           quick ? " (quick run)" : "");
    printf("%-34s %9s %9s %-3s %9s %-12s %8s   %s\n", "measure", "median", "p99", "", "floor", "",
           "ratio", "target");
    try {
        measureRoundTrips(quick ? 100 : 1000);
        measureResponsiveness(quick ? 5 : 30);
        measureStartup(quick ? 5 : 30);
        const int cpuSeconds = quick ? 6 : 20;
        measureWindowPollingCpu(cpuSeconds, {}, "CPU polling every 400 ms", 0.5);
        measureWindowPollingCpu(cpuSeconds, SilentController, "CPU polling a silent controller",
                                1.0);
        measureWindowPollingCpu(cpuSeconds, HungUpLine, "CPU after the line hung up", 1.0);
        measureWatchCpu(cpuSeconds, {}, "torvanctl watch, polling", 0.5);
        measureWatchCpu(cpuSeconds, SilentController, "torvanctl watch, silent controller", 1.0);
    } catch (const Failure &failure) {
        Cli::warn(failure.message);
        return 1;
    }
    return 0;
}
