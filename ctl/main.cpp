// torvanctl: the Torvan bias controller from scripts and terminals, through the
// same link (frames, exchange, guard, port qualification) as the window.
#include "coefficienttext.h"
#include "exchange.h"
#include "linewatch.h"
#include "seriallink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

enum ExitStatus {
    Success = 0,
    UsageError = 2,
    NoAdapter = 3,
    CannotOpen = 4,
    BadReply = 5,
    NotApplied = 6,
};

const char *const Help = R"(
Commands:
  ports [--all]                        adapters the controller may sit behind
  voltages [--channel N]               the voltage set-points, in V
  currents [--channel N]               the measured currents, in mA
  watch [--interval MS] [--count N] [--csv]
                                       all currents, timestamped, until Ctrl-C
  set CHANNEL vc|vb VOLTS [--verify]   send a set-point (0 to 2.5 V, three decimals)
  commit                               have the controller store its settings in EEPROM
  coefs                                the eight calibration coefficients
  coefs set V0 V1 V2 V3 V4 V5 V6 V7    write all eight, in the order IC0, IB0 ... IB3

Exit status: 0 done; 2 bad arguments; 3 no adapter, or more than one and no --port;
4 the port cannot be opened; 5 no reply, or a reply that is not exactly 32 bytes
(watch: some readings failed, each reported as it happened);
6 --verify found the set-point not applied.)";

struct Failure
{
    ExitStatus status;
    QString message;
};

// One clear line on stderr and a distinct status for every way a command fails.
[[noreturn]] void fail(const Failure &failure)
{
    fprintf(stderr, "torvanctl: %s\n", qPrintable(failure.message));
    exit(failure.status);
}

void printLine(const QString &line)
{
    printf("%s\n", qPrintable(line));
    fflush(stdout);
}

void printJson(const QJsonObject &object)
{
    printLine(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

QString milliamps(float amperes)
{
    return QString::number(double(amperes) * 1000, 'f', 2);
}

QString volts(float value)
{
    return QString::number(double(value), 'f', 3);
}

int channelArgument(const QString &text)
{
    bool ok = false;
    const int channel = text.toInt(&ok);
    if (!ok || channel < 0 || channel > 3)
        fail({ UsageError, QStringLiteral("channel must be 0, 1, 2 or 3, not \"%1\"").arg(text) });
    return channel;
}

class Controller
{
public:
    explicit Controller(const QString &requestedPort)
    {
        QString name = requestedPort;
        if (name.isEmpty()) {
            const QStringList adapters = Link::qualifyingPortNames();
            if (adapters.isEmpty())
                fail({ NoAdapter,
                       QStringLiteral("no adapter found (USB 0403:6001); "
                                      "'torvanctl ports --all' lists every port") });
            if (adapters.size() > 1)
                fail({ NoAdapter,
                       QStringLiteral("%1 adapters found (%2); choose one with --port")
                           .arg(adapters.size())
                           .arg(adapters.join(QStringLiteral(", "))) });
            name = adapters.first();
        }
        if (!Link::openLink(&port, name))
            fail(
                { CannotOpen, QStringLiteral("cannot open %1: %2").arg(name, port.errorString()) });
        // Nothing more can come through a line that is gone; say so instead of failing on.
        QObject::connect(Link::LineWatch::of(&port), &Link::LineWatch::lost, &port, [name] {
            fail({ BadReply,
                   QStringLiteral("the line to %1 was lost (adapter unplugged?)").arg(name) });
        });
    }

    std::optional<Link::ValueBlock> tryRead(char command) { return Link::exchange(&port, command); }

    Link::ValueBlock read(char command, const char *what)
    {
        const auto block = tryRead(command);
        if (!block)
            fail({ BadReply, QStringLiteral("no valid reply to the %1 request").arg(what) });
        return *block;
    }

    void send(const QByteArray &frame)
    {
        Link::sendCommand(&port, frame);
        port.flush();
    }

private:
    QSerialPort port;
};

void listPorts(bool all, bool json)
{
    const QList<Link::PortEntry> ports = Link::systemPorts();
    const QStringList qualifying = Link::qualifyingPortNames(ports);
    QJsonArray array;
    for (const Link::PortEntry &entry : ports) {
        const bool qualifies = qualifying.contains(entry.name);
        if (!all && !qualifies)
            continue;
        if (json) {
            array.append(QJsonObject { { "port", entry.name },
                                       { "vendorId", entry.vendorId },
                                       { "productId", entry.productId },
                                       { "qualifies", qualifies } });
        } else if (all) {
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
    if (json)
        printLine(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
    // The list itself stays empty for scripts; a person is told why.
    if (!all && qualifying.isEmpty())
        fprintf(stderr,
                "torvanctl: no adapter with USB id 0403:6001 found; "
                "'torvanctl ports --all' lists every serial port\n");
}

void showPairs(const Link::ValueBlock &block, int onlyChannel, bool json, bool voltages)
{
    const QString c = voltages ? QStringLiteral("Vc") : QStringLiteral("Ic");
    const QString b = voltages ? QStringLiteral("Vb") : QStringLiteral("Ib");
    const QString unit = voltages ? QStringLiteral("V") : QStringLiteral("mA");
    const auto text
        = [voltages](float value) { return voltages ? volts(value) : milliamps(value); };
    // Numbers carry the precision the window shows: 3 decimals for volts, 2 for milliamperes.
    const auto number = [&text](float value) { return text(value).toDouble(); };
    QJsonArray array;
    for (int channel = 0; channel < 4; ++channel) {
        if (onlyChannel >= 0 && channel != onlyChannel)
            continue;
        const float cValue = block[Link::cSlot(channel)];
        const float bValue = block[Link::bSlot(channel)];
        if (json) {
            array.append(QJsonObject { { "channel", channel },
                                       { c + '_' + unit, number(cValue) },
                                       { b + '_' + unit, number(bValue) } });
        } else {
            printLine(QStringLiteral("channel %1: %2 = %3 %4, %5 = %6 %4")
                          .arg(channel)
                          .arg(c, text(cValue), unit, b, text(bValue)));
        }
    }
    if (json)
        printLine(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
}

int signalPipe[2] = { -1, -1 };

void onInterrupt(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}

// Returns how many readings failed; each is reported on stderr as it happens.
int watchCurrents(Controller &controller, int intervalMs, int count, bool csv, bool json)
{
    int failed = 0;
    // Ctrl-C ends the watch between two readings, so the last line is always whole.
    bool interrupted = false;
    if (::pipe(signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
        QObject::connect(notifier, &QSocketNotifier::activated, qApp, [&] { interrupted = true; });
        std::signal(SIGINT, onInterrupt);
        std::signal(SIGTERM, onInterrupt);
    }
    if (csv)
        printLine(QStringLiteral("time,Ic0_mA,Ib0_mA,Ic1_mA,Ib1_mA,Ic2_mA,Ib2_mA,Ic3_mA,Ib3_mA"));
    QElapsedTimer clock;
    clock.start();
    for (int reading = 0; (count == 0 || reading < count) && !interrupted; ++reading) {
        // A steady rhythm: each reading is due at a multiple of the interval from the start.
        const qint64 due = qint64(reading) * intervalMs;
        while (clock.elapsed() < due && !interrupted) {
            QEventLoop wait;
            QTimer::singleShot(int(due - clock.elapsed()), &wait, &QEventLoop::quit);
            QObject::connect(qApp, &QCoreApplication::aboutToQuit, &wait, &QEventLoop::quit);
            wait.processEvents(QEventLoop::WaitForMoreEvents);
        }
        if (interrupted)
            break;
        const QString time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
        const auto amperes = controller.tryRead(Link::Command::ReadCurrents);
        if (!amperes) {
            fprintf(stderr, "torvanctl: %s: no valid reply to the R request\n", qPrintable(time));
            ++failed;
            continue;
        }
        QStringList fields;
        QJsonObject object { { "time", time } };
        for (int slot = 0; slot < Link::SlotCount; ++slot) {
            const QString name
                = QStringLiteral("%1%2_mA").arg(slot % 2 ? "Ib" : "Ic").arg(slot / 2);
            fields << (csv ? milliamps((*amperes)[slot])
                           : QStringLiteral("%1=%2").arg(name.left(3),
                                                         milliamps((*amperes)[slot])));
            object.insert(name, milliamps((*amperes)[slot]).toDouble());
        }
        if (json)
            printJson(object);
        else
            printLine(time + (csv ? QStringLiteral(",") : QStringLiteral("  "))
                      + fields.join(csv ? QStringLiteral(",") : QStringLiteral(" ")));
    }
    return failed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvanctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Set up and watch the Torvan bias controller from scripts and terminals.")
        + QLatin1String(Help));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("What to do (see Commands above)."),
                                 QStringLiteral("command [arguments]"));
    const QCommandLineOption port(
        QStringLiteral("port"), QStringLiteral("The adapter to use (default: the only one found)."),
        QStringLiteral("name"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Machine-readable output."));
    const QCommandLineOption all(
        QStringLiteral("all"), QStringLiteral("ports: list every serial port, with its USB ids."));
    const QCommandLineOption channel(
        QStringLiteral("channel"), QStringLiteral("voltages, currents: only channel <n> (0 to 3)."),
        QStringLiteral("n"));
    const QCommandLineOption interval(QStringLiteral("interval"),
                                      QStringLiteral("watch: milliseconds between readings (400)."),
                                      QStringLiteral("ms"), QStringLiteral("400"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("watch: stop after <n> readings."),
                                   QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("watch: CSV with a header line."));
    const QCommandLineOption verify(QStringLiteral("verify"),
                                    QStringLiteral("set: read the set-points back and fail if the "
                                                   "controller did not apply it."));
    parser.addOptions({ port, json, all, channel, interval, count, csv, verify });

    // A negative number ("-2.5") is a value, not an option: mark it so the parser
    // takes it as an argument, and unmark it afterwards.
    const QChar mark(0x1);
    const auto unmarked
        = [mark](QString text) { return text.startsWith(mark) ? text.mid(1) : text; };
    QStringList arguments = QCoreApplication::arguments();
    static const QRegularExpression negativeNumber(QStringLiteral("^-(\\d|\\.\\d)"));
    for (QString &argument : arguments) {
        if (negativeNumber.match(argument).hasMatch())
            argument.prepend(mark);
    }
    if (!parser.parse(arguments))
        fail({ UsageError, parser.errorText() });
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(Success);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    QStringList args;
    for (const QString &argument : parser.positionalArguments())
        args << unmarked(argument);
    const auto valueOf
        = [&](const QCommandLineOption &option) { return unmarked(parser.value(option)); };
    const QString command = args.value(0);
    const auto expectArguments = [&](qsizetype n) {
        if (args.size() != n)
            fail({ UsageError,
                   QStringLiteral("'%1' takes %2 argument(s); see --help")
                       .arg(command)
                       .arg(n - 1) });
    };
    const auto onlyFor = [&](const QCommandLineOption &option, const QStringList &commands) {
        if (parser.isSet(option) && !commands.contains(command))
            fail({ UsageError,
                   QStringLiteral("--%1 does not go with '%2'")
                       .arg(option.names().first(), command) });
    };
    onlyFor(all, { "ports" });
    onlyFor(channel, { "voltages", "currents" });
    onlyFor(interval, { "watch" });
    onlyFor(count, { "watch" });
    onlyFor(csv, { "watch" });
    onlyFor(verify, { "set" });
    if (parser.isSet(csv) && parser.isSet(json))
        fail({ UsageError, QStringLiteral("--csv and --json exclude each other") });

    if (command == QLatin1String("ports")) {
        expectArguments(1);
        listPorts(parser.isSet(all), parser.isSet(json));
        return Success;
    }
    if (command == QLatin1String("voltages") || command == QLatin1String("currents")) {
        expectArguments(1);
        const int only = parser.isSet(channel) ? channelArgument(valueOf(channel)) : -1;
        Controller controller(parser.value(port));
        const bool voltages = command == QLatin1String("voltages");
        const auto block
            = controller.read(voltages ? Link::Command::ReadVoltages : Link::Command::ReadCurrents,
                              voltages ? "D" : "R");
        showPairs(block, only, parser.isSet(json), voltages);
        return Success;
    }
    if (command == QLatin1String("watch")) {
        expectArguments(1);
        bool intervalOk = false, countOk = false;
        const int intervalMs = valueOf(interval).toInt(&intervalOk);
        const int readings = valueOf(count).toInt(&countOk);
        if (!intervalOk || intervalMs < 50 || intervalMs > 3600000)
            fail(
                { UsageError, QStringLiteral("--interval takes milliseconds from 50 to 3600000") });
        if (!countOk || readings < 0)
            fail({ UsageError, QStringLiteral("--count takes a whole number (0: until Ctrl-C)") });
        Controller controller(parser.value(port));
        // A failed reading does not stop the log; the status tells a script it happened.
        const int failed = watchCurrents(controller, intervalMs, readings, parser.isSet(csv),
                                         parser.isSet(json));
        return failed ? BadReply : Success;
    }
    if (command == QLatin1String("set")) {
        expectArguments(4);
        const int n = channelArgument(args[1]);
        const QString which = args[2].toLower();
        if (which != QLatin1String("vc") && which != QLatin1String("vb"))
            fail({ UsageError, QStringLiteral("say vc or vb, not \"%1\"").arg(args[2]) });
        bool ok = false;
        const double requested = args[3].toDouble(&ok);
        if (!ok || !(requested >= 0.0 && requested <= 2.5))
            fail({ UsageError,
                   QStringLiteral("VOLTS must be a number from 0 to 2.5, not \"%1\"")
                       .arg(args[3]) });
        // The window's precision: three decimals.
        const double value = QString::number(requested, 'f', 3).toDouble();
        const int index = which == QLatin1String("vc") ? Link::cSlot(n) : Link::bSlot(n);
        Controller controller(parser.value(port));
        controller.send(Link::setPointFrame(index, value));
        if (parser.isSet(verify)) {
            const float applied = controller.read(Link::Command::ReadVoltages, "D")[index];
            if (applied != float(value))
                fail({ NotApplied,
                       QStringLiteral(
                           "channel %1 %2 reads %3 V, not %4 V: the controller did not apply it")
                           .arg(n)
                           .arg(which, volts(applied), volts(float(value))) });
        }
        if (parser.isSet(json))
            printJson({ { "channel", n },
                        { which == QLatin1String("vc") ? "Vc_V" : "Vb_V", value },
                        { "verified", parser.isSet(verify) } });
        else
            printLine(QStringLiteral("channel %1 %2 set to %3 V%4")
                          .arg(n)
                          .arg(which == QLatin1String("vc") ? "Vc" : "Vb", volts(float(value)),
                               parser.isSet(verify) ? QStringLiteral(" (verified)") : QString()));
        return Success;
    }
    if (command == QLatin1String("commit")) {
        expectArguments(1);
        Controller controller(parser.value(port));
        controller.send(Link::buildFrame(Link::Command::WriteEeprom));
        if (parser.isSet(json))
            printJson({ { "committed", true } });
        else
            printLine(QStringLiteral("asked the controller to store its settings in EEPROM"));
        return Success;
    }
    if (command == QLatin1String("coefs")) {
        static const char *const Names[]
            = { "IC0", "IB0", "IC1", "IB1", "IC2", "IB2", "IC3", "IB3" };
        if (args.value(1) == QLatin1String("set")) {
            if (args.size() != 10)
                fail({ UsageError,
                       QStringLiteral("'coefs set' takes all eight values, IC0 IB0 IC1 IB1 "
                                      "IC2 IB2 IC3 IB3; nothing was sent") });
            std::array<double, Link::SlotCount> values;
            for (int slot = 0; slot < Link::SlotCount; ++slot) {
                const auto value = Link::parseCoefficient(args[2 + slot], QLocale::c());
                if (!value)
                    fail({ UsageError,
                           QStringLiteral("%1: \"%2\" is not a number; nothing was sent")
                               .arg(Names[slot], args[2 + slot]) });
                values[slot] = *value;
            }
            Controller controller(parser.value(port));
            controller.send(Link::coefficientFrame(values));
            if (parser.isSet(json))
                printJson({ { "written", true } });
            else
                printLine(QStringLiteral("wrote the eight coefficients"));
            return Success;
        }
        expectArguments(1);
        Controller controller(parser.value(port));
        const auto block = controller.read(Link::Command::ReadCoefficients, "G");
        QJsonObject object;
        for (int slot = 0; slot < Link::SlotCount; ++slot) {
            const QString text = Link::coefficientText(block[slot], QLocale::c());
            if (parser.isSet(json))
                object.insert(QLatin1String(Names[slot]), double(block[slot]));
            else
                printLine(QStringLiteral("%1 = %2").arg(QLatin1String(Names[slot]), text));
        }
        if (parser.isSet(json))
            printJson(object);
        return Success;
    }
    if (command.isEmpty())
        fail({ UsageError, QStringLiteral("no command given; see --help") });
    fail({ UsageError, QStringLiteral("unknown command \"%1\"; see --help").arg(command) });
}
