// torvan-bench: how fast the tool is, each figure against a floor measured
// beside it in the same run. Run it from the build tree: torvan-bench [--quick]
#include "barepoller.h"
#include "console.h"
#include "exchange.h"
#include "mainwindow.h"
#include "networkline.h"
#include "quantities.h"
#include "result.h"
#include "seriallink.h"
#include "stats.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <ctime>
#include <functional>
#include <iterator>
#include <memory>
#include <vector>

namespace {

// A measurement done, or why it could not be.
using Done = Torvan::Result<void, QString>;

// A 3-byte request and a 32-byte reply, 10 bits a byte at 115200 baud.
constexpr double WireFloorMs = 35 * 10 * 1000.0 / 115200;

// A simulated controller in its own process, paced at the real line rate.
class SimProcess
{
public:
    static Torvan::Result<std::unique_ptr<SimProcess>, QString> start(const QStringList &arguments)
    {
        auto sim = std::make_unique<SimProcess>();
        sim->process.start(TORVAN_SIM, arguments);
        if (!sim->process.waitForStarted() || !sim->process.waitForReadyRead(5000))
            return QStringLiteral("cannot start %1").arg(TORVAN_SIM);
        sim->path = QString::fromLocal8Bit(sim->process.readLine().trimmed());
        return sim;
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

// What a row is measured against: a floor's median and name, and the ratio to it
// the tool must stay within (none: shown for what it says, with no target).
struct Floor
{
    double median;
    const char *name;
    double target = 0;
};

void printRow(const char *what, Stats stats, const char *unit, const Floor &floor)
{
    const double ratio = stats.median / floor.median;
    printf("%-36s %9.3f %9.3f %-3s %9.3f %-14s %6.2f x   ", what, stats.median, stats.p99, unit,
           floor.median, floor.name, ratio);
    if (floor.target > 0)
        printf("%s %.2f x\n", ratio <= floor.target ? "met    <=" : "MISSED <=", floor.target);
    else
        printf("(no target)\n");
}

Torvan::Result<QList<double>, QString> toolRoundTrips(QIODevice &port, char command,
                                                      int repetitions)
{
    QList<double> samples;
    for (int i = -20; i < repetitions; ++i) { // the first twenty warm up
        QElapsedTimer clock;
        clock.start();
        const bool ok = Link::exchange(&port, command).has_value();
        const double ms = clock.nsecsElapsed() / 1e6;
        if (!ok)
            return QStringLiteral("the %1 exchange failed").arg(command);
        if (i >= 0)
            samples << ms;
    }
    return samples;
}

// The same requests from pyserial, on the same simulator, between the tool's own:
// per command its round trips, or nothing where python3-serial is not installed.
// The port is a device or a pyserial URL.
QHash<char, QList<double>> pyserialRoundTrips(const QString &port, int repetitions,
                                              const QString &commands = QStringLiteral("RDG"))
{
    QProcess python;
    python.start(
        QStringLiteral("/usr/bin/python3"),
        { QStringLiteral(PYSERIAL_ROUNDTRIP), port, QString::number(repetitions), commands });
    QHash<char, QList<double>> samples;
    // Over RFC 2217 each request's input purge waits for the server's
    // acknowledgement in steps of 50 ms: a thousand take about a minute.
    if (!python.waitForFinished(300000) || python.exitCode() != 0)
        return samples;
    for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        for (qsizetype i = 1; i < words.size(); ++i)
            samples[words[0].at(0)] << words[i].toDouble();
    }
    return samples;
}

Done measureRoundTrips(int repetitions)
{
    const auto sim = SimProcess::start({});
    if (!sim)
        return sim.failure();
    const auto peer = pyserialRoundTrips((*sim)->path, repetitions);
    QSerialPort port;
    if (!Link::openLink(&port, (*sim)->path))
        return QStringLiteral("cannot open %1").arg((*sim)->path);
    for (const auto &[command, name] :
         { std::pair { Link::Command::ReadCurrents, "R exchange round trip" },
           std::pair { Link::Command::ReadVoltages, "D exchange round trip" },
           std::pair { Link::Command::ReadCoefficients, "G exchange round trip" } }) {
        const auto samples = toolRoundTrips(port, command, repetitions);
        if (!samples)
            return samples.failure();
        // The wire is the limit; the target is the measured peer where there is one,
        // as the machine's own wake-up latency falls on both alike.
        printRow(name, statsOf(*samples), "ms",
                 { WireFloorMs, "ms (wire)", peer.contains(command) ? 0.0 : 1.05 });
        if (peer.contains(command))
            printRow("  against pyserial on the same line", statsOf(*samples), "ms",
                     { statsOf(peer[command]).median, "ms (pyserial)", 1.05 });
    }
    if (peer.isEmpty())
        printf("  (no pyserial rows: python3-serial is not installed)\n");
    return {};
}

// ser2net on loopback, a terminal server in front of a controller; each of its
// connections leads to a simulator of its own, as two on one pseudo-terminal
// would contend for the device. Raw and RFC 2217 with chardelay off, and raw
// with ser2net's default, chardelay on, which holds the line's bytes until the
// line has been quiet for a while.
class TerminalServer
{
public:
    static Torvan::Result<std::unique_ptr<TerminalServer>, QString> start(const QString &program)
    {
        auto server = std::make_unique<TerminalServer>();
        if (!server->directory.isValid())
            return QStringLiteral("cannot make a temporary directory");
        const struct
        {
            QString *address;
            const char *scheme, *accepter, *charDelay;
        } lines[] = {
            { &server->raw, "tcp", "tcp", "false" },
            { &server->rfc2217, "rfc2217", "telnet(rfc2217),tcp", "false" },
            { &server->rawCharDelay, "tcp", "tcp", "true" },
        };
        // Free ports, each held until all are chosen so that none comes twice.
        QTcpServer probes[std::size(lines)];
        QString config;
        for (size_t i = 0; i < std::size(lines); ++i) {
            auto sim = SimProcess::start({});
            if (!sim)
                return sim.failure();
            if (!probes[i].listen(QHostAddress::LocalHost))
                return QStringLiteral("no free port: %1").arg(probes[i].errorString());
            const quint16 port = probes[i].serverPort();
            *lines[i].address = QStringLiteral("%1://127.0.0.1:%2").arg(lines[i].scheme).arg(port);
            config += QStringLiteral("connection: &line%1\n"
                                     "  accepter: %2,127.0.0.1,%3\n"
                                     "  connector: serialdev,%4,115200n81,local\n"
                                     "  options:\n"
                                     "    chardelay: %5\n"
                                     "    max-connections: 1\n")
                          .arg(i)
                          .arg(lines[i].accepter)
                          .arg(port)
                          .arg((*sim)->path, lines[i].charDelay);
            server->sims.push_back(std::move(*sim));
        }
        for (QTcpServer &probe : probes)
            probe.close();
        QFile file(server->directory.filePath(QStringLiteral("ser2net.yaml")));
        if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0)
            return QStringLiteral("cannot write %1").arg(file.fileName());
        file.close();
        server->process.setWorkingDirectory(server->directory.path());
        server->process.start(program,
                              { QStringLiteral("-n"), QStringLiteral("-c"), file.fileName() });
        if (!server->process.waitForStarted())
            return QStringLiteral("cannot start %1").arg(program);
        return server;
    }
    ~TerminalServer()
    {
        process.terminate();
        process.waitForFinished(3000);
    }
    QString raw, rfc2217, rawCharDelay; // the addresses of its connections

private:
    std::vector<std::unique_ptr<SimProcess>> sims; // outlive ser2net
    QTemporaryDir directory;
    QProcess process;
};

// ser2net, installed for root, may be off an ordinary user's path.
QString ser2netProgram()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    if (!onPath.isEmpty())
        return onPath;
    return QStandardPaths::findExecutable(
        QStringLiteral("ser2net"),
        { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin") });
}

// R round trips over a terminal server's connection. It is opened once ser2net
// listens and has let go of the previous client's device: until then the
// connection is refused, or turned away as in use.
Torvan::Result<QList<double>, QString> roundTripsThrough(const QString &address, int repetitions)
{
    Link::NetworkLine line;
    const QDeadlineTimer deadline(5000);
    while (!Link::openLink(&line, address)) {
        if (deadline.hasExpired())
            return QStringLiteral("cannot connect to %1: %2").arg(address, line.errorString());
        QThread::msleep(50);
    }
    return toolRoundTrips(line, Link::Command::ReadCurrents, repetitions);
}

// The R exchange through ser2net on loopback, against the same exchange on a
// pseudo-terminal straight to a simulator, measured just before.
Done measureTerminalServer(int repetitions)
{
    const QString program = ser2netProgram();
    if (program.isEmpty()) {
        printf("  (no ser2net rows: ser2net is not installed)\n");
        return {};
    }
    const auto sim = SimProcess::start({});
    if (!sim)
        return sim.failure();
    QSerialPort port;
    if (!Link::openLink(&port, (*sim)->path))
        return QStringLiteral("cannot open %1").arg((*sim)->path);
    const auto direct = toolRoundTrips(port, Link::Command::ReadCurrents, repetitions);
    if (!direct)
        return direct.failure();
    Link::closeLink(&port);

    const auto server = TerminalServer::start(program);
    if (!server)
        return server.failure();
    // Raw first: once it answers, ser2net listens on all its ports, and
    // pyserial's loop comes to a connection no client has had before.
    const auto raw = roundTripsThrough((*server)->raw, repetitions);
    if (!raw)
        return raw.failure();
    const auto charDelay = roundTripsThrough((*server)->rawCharDelay, repetitions);
    if (!charDelay)
        return charDelay.failure();
    // A pseudo-terminal has no modem lines: ser2net never acknowledges the DTR
    // and RTS that pyserial sets when it opens, unless pyserial is told not to wait.
    const auto peer = pyserialRoundTrips((*server)->rfc2217 + QStringLiteral("?ign_set_control"),
                                         repetitions, QStringLiteral("R"));
    const auto rfc2217 = roundTripsThrough((*server)->rfc2217, repetitions);
    if (!rfc2217)
        return rfc2217.failure();

    const Floor pty { statsOf(*direct).median, "ms (pty)", 1.10 };
    printRow("R exchange on the pty (floor)", statsOf(*direct), "ms", { WireFloorMs, "ms (wire)" });
    printRow("R through ser2net, raw tcp://", statsOf(*raw), "ms", pty);
    printRow("R through ser2net, rfc2217://", statsOf(*rfc2217), "ms", pty);
    if (peer.contains(Link::Command::ReadCurrents))
        printRow("  against pyserial's rfc2217://", statsOf(*rfc2217), "ms",
                 { statsOf(peer[Link::Command::ReadCurrents]).median, "ms (pyserial)", 1.0 });
    else
        printf("  (no pyserial row: python3-serial is not installed)\n");
    // What ser2net's default costs: shown, with no target.
    printRow("R through ser2net, chardelay on", statsOf(*charDelay), "ms",
             { pty.median, "ms (pty)" });
    return {};
}

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The longest gap between two passes of the event loop while wait() runs: a
// zero timer fires on every pass.
double longestGapMs(const std::function<void()> &wait)
{
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
    wait();
    return worst / 1e6;
}

Done measureResponsiveness(int repetitions)
{
    const auto slowSim = SimProcess::start({ QStringLiteral("--delay"), QStringLiteral("150") });
    if (!slowSim)
        return slowSim.failure();
    QSerialPort port;
    if (!Link::openLink(&port, (*slowSim)->path))
        return QStringLiteral("cannot open %1").arg((*slowSim)->path);
    QList<double> during, idle;
    for (int i = 0; i < repetitions; ++i) {
        bool replied = true;
        during << longestGapMs(
            [&] { replied = Link::exchange(&port, Link::Command::ReadVoltages).has_value(); });
        if (!replied)
            return QStringLiteral("the slow exchange failed");
        // The floor: the same 150 ms spent in a plain event loop.
        idle << longestGapMs([] { runEventLoopFor(150); });
    }
    printRow("Longest UI gap during a 150 ms wait", statsOf(during), "ms",
             { statsOf(idle).median, "ms (idle loop)", 3.0 });
    return {};
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

// The floor for the window: a bare window with the two current labels, their
// texts set at every poll of a bare poller on the given line (with none, the
// window idles).
Stats bareWindowCpu(int seconds, const QString &portName, bool idle)
{
    QMainWindow window;
    auto *labels = new QWidget;
    auto *layout = new QVBoxLayout(labels);
    QLabel *ic = new QLabel, *ib = new QLabel;
    layout->addWidget(ic);
    layout->addWidget(ib);
    window.setCentralWidget(labels);
    window.resize(538, 198);
    window.show();
    std::unique_ptr<BarePoller> poller;
    if (!idle)
        poller = std::make_unique<BarePoller>(portName);
    int tick = 0;
    if (poller)
        QObject::connect(poller.get(), &BarePoller::polled, &window, [&] {
            // A text that changes at every poll, as a live controller's currents
            // do: an unchanged text is not even repainted.
            ++tick;
            ic->setText(Torvan::milliampsText(0.0123f + tick * 1e-5f) + QStringLiteral(" mA"));
            ib->setText(Torvan::milliampsText(0.0045f + tick * 1e-5f) + QStringLiteral(" mA"));
        });
    return cpuPercentWhile(seconds, processCpuNs);
}

// A silent controller: the adapter is there, but no reply ever comes in time.
const QStringList SilentController { QStringLiteral("--delay"), QStringLiteral("60000") };
// The line goes dead after the connect's two reads and one poll, as if unplugged.
const QStringList HungUpLine { QStringLiteral("--hang-up-after"), QStringLiteral("3") };

Torvan::Result<Stats, QString> windowPollingCpu(int seconds, const QStringList &simArguments)
{
    const auto sim = SimProcess::start(simArguments);
    if (!sim)
        return sim.failure();
    const QString path = (*sim)->path;
    Link::setPortSource([path] { return QList<Link::PortEntry> { Link::simulatedAdapter(path) }; });
    MainWindow window;
    window.show();
    window.findChild<QPushButton *>("pbConnect")->click();
    if (!window.findChild<QSerialPort *>()->isOpen())
        return QStringLiteral("the window did not connect");
    const Stats stats = cpuPercentWhile(seconds, processCpuNs);
    Link::setPortSource({});
    if (simArguments == HungUpLine && window.findChild<QSerialPort *>()->isOpen())
        return QStringLiteral("the window did not notice the hung-up line");
    return stats;
}

Done measureWindowCpu(int seconds)
{
    // The tool waits for each reply in an event loop of its own, checks it and
    // watches the line; the bare poller only writes, reads and times out. An
    // idle window's few thousandths of a percent are at the clock's noise: a
    // ratio of 3 is still hundredths of a percent.
    for (const auto &[arguments, what, target] :
         { std::tuple { QStringList(), "CPU polling every 400 ms", 1.5 },
           std::tuple { SilentController, "CPU polling a silent controller", 3.0 },
           std::tuple { HungUpLine, "CPU after the line hung up", 3.0 } }) {
        const bool hungUp = arguments == HungUpLine;
        const auto floorSim = SimProcess::start(arguments);
        if (!floorSim)
            return floorSim.failure();
        const Floor floor { bareWindowCpu(seconds, (*floorSim)->path, hungUp).median,
                            hungUp ? "% (bare, idle)" : "% (bare poll)", target };
        const auto stats = windowPollingCpu(seconds, arguments);
        if (!stats)
            return stats.failure();
        printRow(what, *stats, "%", floor);
    }
    return {};
}

// CPU time of another process, all its threads, from the scheduler's own
// account of them; -1 when there is none to read.
qint64 childCpuNs(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return -1;
    qint64 ns = 0;
    for (const QString &thread : threads) {
        QFile schedstat(tasks.filePath(thread + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly)) // a thread may end meanwhile
            ns += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return ns;
}

// The CPU of a program that runs until stopped, past its start-up.
Torvan::Result<Stats, QString> childCpu(int seconds, const QString &program,
                                        const QStringList &arguments)
{
    QProcess child;
    child.start(program, arguments);
    if (!child.waitForStarted())
        return QStringLiteral("cannot start %1").arg(program);
    runEventLoopFor(1000); // past start-up: only the polling is measured
    if (child.state() != QProcess::Running)
        return QStringLiteral("%1 ended: %2")
            .arg(program, QString::fromLocal8Bit(child.readAllStandardError().trimmed()));
    if (childCpuNs(child.processId()) < 0)
        return QStringLiteral("cannot read the CPU time of %1").arg(program);
    const Stats stats = cpuPercentWhile(seconds, [&] { return childCpuNs(child.processId()); });
    child.terminate();
    child.waitForFinished(3000);
    return stats;
}

Done measureWatchCpu(int seconds)
{
    for (const auto &[arguments, what, target] :
         { std::tuple { QStringList(), "torvanctl watch, polling", 1.5 },
           std::tuple { SilentController, "torvanctl watch, silent controller", 3.0 } }) {
        const auto sim = SimProcess::start(arguments);
        if (!sim)
            return sim.failure();
        const auto bare = childCpu(seconds, BARE_TIMER, { (*sim)->path });
        if (!bare)
            return bare.failure();
        const Floor floor { bare->median, "% (bare poll)", target };
        const auto stats
            = childCpu(seconds, TORVANCTL,
                       { QStringLiteral("watch"), QStringLiteral("--port"), (*sim)->path,
                         QStringLiteral("--interval"), QString::number(Torvan::PollIntervalMs) });
        if (!stats)
            return stats.failure();
        printRow(what, *stats, "%", floor);
    }
    return {};
}

#ifdef TORVAN_IOC
// The EPICS IOC polling two racks of four controllers, each on a simulator of
// its own found by its serial number, per polled controller: against its
// target, and against the bare poller on one line. What the IOC costs whatever
// it serves (its scan threads, its beacons) is shared among the controllers,
// as it is in a facility's IOC.
Done measureIocCpu(int seconds)
{
    constexpr int Units = 8;
    QTemporaryDir folder;
    QFile adapters(folder.filePath(QStringLiteral("adapters")));
    QFile rack(folder.filePath(QStringLiteral("rack.substitutions")));
    if (!adapters.open(QIODevice::WriteOnly) || !rack.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write the IOC's files in %1").arg(folder.path());
    std::vector<std::unique_ptr<SimProcess>> sims;
    rack.write("file \"torvan-bias.template\" {\n    pattern { P, SERIAL }\n");
    for (int unit = 0; unit < Units; ++unit) {
        auto sim = SimProcess::start({});
        if (!sim)
            return sim.failure();
        adapters.write(QStringLiteral("%1 BENCH%2\n").arg((*sim)->path).arg(unit).toUtf8());
        rack.write(QStringLiteral("    { \"BENCH:%1:\", \"BENCH%1\" }\n").arg(unit).toUtf8());
        sims.push_back(std::move(*sim));
    }
    rack.write("}\n");
    adapters.close();
    rack.close();

    QTcpServer anyPort; // a port of its own for Channel Access, so no other IOC answers
    anyPort.listen(QHostAddress::LocalHost);
    const QByteArray caPort = QByteArray::number(anyPort.serverPort());
    anyPort.close();
    const std::pair<const char *, QByteArray> environment[] = {
        { "TORVAN_SIMULATED_ADAPTER", adapters.fileName().toLocal8Bit() },
        { "EPICS_DB_INCLUDE_PATH", QFileInfo(TORVAN_IOC).absolutePath().toLocal8Bit() + "/db" },
        { "EPICS_CA_SERVER_PORT", caPort },
        { "EPICS_CA_AUTO_ADDR_LIST", "NO" },
        { "EPICS_CA_ADDR_LIST", "127.0.0.1" },
    };
    for (const auto &[name, value] : environment)
        qputenv(name, value);
    const auto ioc = childCpu(seconds, TORVAN_IOC, { QStringLiteral("-s"), rack.fileName() });
    for (const auto &[name, value] : environment)
        qunsetenv(name);
    if (!ioc)
        return ioc.failure();
    const Stats perController { ioc->median / Units, ioc->p99 / Units, ioc->max / Units };

    const auto sim = SimProcess::start({});
    if (!sim)
        return sim.failure();
    const auto bare = childCpu(seconds, BARE_TIMER, { (*sim)->path });
    if (!bare)
        return bare.failure();
    printRow("EPICS IOC, per polled controller", perController, "%", { 0.05, "% (target)", 1.0 });
    printRow("  against a bare poll of one line", perController, "%",
             { bare->median, "% (bare poll)" });
    return {};
}
#endif

struct Startup
{
    QList<double> ms;
    QList<double> rssMb;
};

Done startOnce(const QString &program, Startup &into)
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
        return QStringLiteral("%1 did not show its window").arg(program);
    const QList<QByteArray> words = process.readAllStandardOutput().trimmed().split(' ');
    if (words.size() != 3 || words[0] != "exposed")
        return QStringLiteral("%1 said nothing of its window").arg(program);
    into.ms << (words[1].toLongLong() - started) / 1e6;
    into.rssMb << words[2].toLongLong() / 1024.0;
    return {};
}

Done measureStartup(int runs)
{
    // Taken in turns, so that whatever else the machine does falls on all three alike.
    Startup tool, bare, form, warmUp;
    for (int i = -2; i < runs; ++i) { // two warm-up rounds fill the file cache
        for (const auto &[program, into] :
             { std::pair { CONFIGURATOR, &tool }, std::pair { BARE_WINDOW, &bare },
               std::pair { FORM_ONLY, &form } }) {
            if (const auto started = startOnce(program, i < 0 ? warmUp : *into); !started)
                return started;
        }
    }
    // The tool is held to its bare form (forms, icon, port list): what that costs
    // over an empty window is Qt's, and no target of the tool's.
    const Stats formTime = statsOf(form.ms), formRss = statsOf(form.rssMb);
    printRow("Start to first expose", statsOf(tool.ms), "ms",
             { formTime.median, "ms (form)", 1.15 });
    printRow("Peak RSS at first expose", statsOf(tool.rssMb), "MB",
             { formRss.median, "MB (form)", 1.10 });
    printRow("  the bare form: start", formTime, "ms", { statsOf(bare.ms).median, "ms (empty)" });
    printRow("  the bare form: RSS", formRss, "MB", { statsOf(bare.rssMb).median, "MB (empty)" });
    return {};
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

Done measureAll(bool quick)
{
    const int cpuSeconds = quick ? 6 : 20;
    for (const auto &measure : std::initializer_list<std::function<Done()>> {
             [&] { return measureRoundTrips(quick ? 100 : 1000); },
             [&] { return measureTerminalServer(quick ? 100 : 1000); },
             [&] { return measureResponsiveness(quick ? 5 : 30); },
             [&] { return measureStartup(quick ? 5 : 30); },
             [&] { return measureWindowCpu(cpuSeconds); },
             [&] { return measureWatchCpu(cpuSeconds); },
#ifdef TORVAN_IOC
             [&] { return measureIocCpu(cpuSeconds); },
#endif
         }) {
        if (const auto done = measure(); !done)
            return done;
    }
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    const bool quick = argc > 1 && qstrcmp(argv[1], "--quick") == 0;
    if (argc > 1 && !quick) {
        fprintf(stderr, "usage: torvan-bench [--quick]\n");
        return Console::UsageError;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    printf("torvan-bench on %s, %d cores, %s, Qt %s%s\n", qPrintable(cpuModel()),
           QThread::idealThreadCount(), qPrintable(QSysInfo::prettyProductName()), qVersion(),
           quick ? " (quick run)" : "");
    printf("%-36s %9s %9s %-3s %9s %-14s %8s   %s\n", "measure", "median", "p99", "", "floor", "",
           "ratio", "target");
    if (const auto done = measureAll(quick); !done) {
        Console::warn(done.failure());
        return 1;
    }
    return 0;
}
