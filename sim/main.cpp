// torvan-sim: a simulated Torvan bias controller on a pseudo-terminal, for
// trying the tool, its tests and its benchmarks without the hardware.
#include "console.h"
#include "interrupt.h"
#include "simcontroller.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMetaEnum>

#include <cstdio>

namespace {

// "delay, short-reply, ... junk or ack"
QString faultMenu()
{
    QStringList names = SimController::faultNames();
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

// The command line, read into a controller; the first bad option is kept as
// its one-line message.
class Settings
{
public:
    QCommandLineParser parser;
    QString error;

    Settings()
    {
        parser.setApplicationDescription(QStringLiteral(
            "Simulated Torvan bias controller. Opens a pseudo-terminal, prints the device path "
            "a client opens (as it would open the USB adapter) on the first line of standard "
            "output, and serves the controller's protocol until interrupted."));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({
            { "no-pacing", "Send replies at once instead of at the line rate of 115200 baud." },
            { "eeprom",
              "Keep the EEPROM image in <file> across runs (loaded at start, rewritten safely "
              "on W and C).",
              "file" },
            { "delay", "Delay every reply by <ms> milliseconds.", "ms", "0" },
            { "ignore-writes", "Take S and C frames without applying them." },
            { "fault",
              "Misbehave once, on the next request it fits: " + faultMenu() + ". May be repeated.",
              "kind" },
            { "fault-rate",
              "Misbehave on <percent> of all requests, in ways drawn from the whole "
              "menu.",
              "percent", "0" },
            { "seed", "Seed for drawn faults and current noise.", "n", "1" },
            { "hang-up-after", "Close the line after <n> requests, as an unplugged adapter.", "n" },
            { "currents",
              "Report these eight currents in amperes (Ic0,Ib0,...,Ib3) instead of the load "
              "model.",
              "list" },
            { "log", "Print every request on standard error." },
        });
    }

    void fail(const QString &message)
    {
        if (error.isEmpty())
            error = message;
    }

    int number(const QString &name, int min, int max)
    {
        const auto value = Console::wholeNumber(parser.value(name), min, max);
        if (!value)
            fail(Console::numberFault(name, parser.value(name), min, max));
        return value.value_or(min);
    }

    // Eight comma-separated numbers, in slot order.
    SimController::Block block(const QString &name)
    {
        const QStringList texts = parser.value(name).split(u',');
        SimController::Block values {};
        bool ok = texts.size() == int(values.size());
        for (qsizetype slot = 0; ok && slot < texts.size(); ++slot)
            values[size_t(slot)] = texts[slot].toFloat(&ok);
        if (!ok)
            fail(QStringLiteral("--%1 takes eight numbers separated by commas, not \"%2\"")
                     .arg(name, parser.value(name)));
        return values;
    }

    void configure(SimController &controller);
};

void Settings::configure(SimController &controller)
{
    controller.setPacing(!parser.isSet("no-pacing"));
    controller.setReplyDelay(number("delay", 0, 60000));
    controller.setApplyingWrites(!parser.isSet("ignore-writes"));
    const quint32 seed = quint32(number("seed", 0, 1 << 30));
    controller.setNoiseSeed(seed);
    controller.setRandomFaults(number("fault-rate", 0, 100) / 100.0, seed);
    for (const QString &kind : parser.values("fault")) {
        if (const auto fault = SimController::faultNamed(kind))
            controller.injectFault(*fault);
        else
            fail(QStringLiteral("unknown fault \"%1\" (%2)")
                     .arg(kind, SimController::faultNames().join(QStringLiteral(", "))));
    }
    if (parser.isSet("currents"))
        controller.setFixedCurrents(block("currents"));
    if (parser.isSet("eeprom")) {
        if (const auto loaded = controller.setEepromFile(parser.value("eeprom")); !loaded)
            fail(loaded.failure());
    }
    if (parser.isSet("hang-up-after")) {
        const int limit = number("hang-up-after", 1, 1 << 30);
        QObject::connect(&controller, &SimController::requestReceived, &controller,
                         [&controller, limit] {
                             if (controller.requestCount() >= limit)
                                 controller.hangUp();
                         });
    }
}

void logRequests(SimController &controller)
{
    QObject::connect(&controller, &SimController::requestReceived, &controller, [&controller] {
        const SimController::Request request = controller.requests().constLast();
        fprintf(stderr, "%10.3f ms  %c  %s%s\n", request.atNs / 1e6, request.command(),
                request.frame.toHex(' ').constData(), request.overlapped ? "  OVERLAP" : "");
    });
    QObject::connect(&controller, &SimController::faultApplied, &controller,
                     [](SimController::Fault kind) {
                         fprintf(stderr, "               fault: %s\n",
                                 QMetaEnum::fromType<SimController::Fault>().valueToKey(int(kind)));
                     });
}

int failWith(const QString &message)
{
    Console::warn(message);
    return Console::UsageError;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvan-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    Settings settings;
    if (!settings.parser.parse(QCoreApplication::arguments()))
        return failWith(settings.parser.errorText());
    if (settings.parser.isSet("help"))
        settings.parser.showHelp(0);
    if (settings.parser.isSet("version"))
        settings.parser.showVersion();
    if (!settings.parser.positionalArguments().isEmpty())
        return failWith(QStringLiteral("unexpected argument \"%1\"")
                            .arg(settings.parser.positionalArguments().first()));

    SimController controller;
    settings.configure(controller);
    if (!settings.error.isEmpty())
        return failWith(settings.error);
    if (const auto started = controller.start(); !started)
        return failWith(started.failure());
    if (settings.parser.isSet("log"))
        logRequests(controller);
    QObject::connect(&controller, &SimController::hungUpLine, &app, [] {
        fprintf(stderr, "torvan-sim: line closed\n");
        QCoreApplication::quit();
    });
    printf("%s\n", qPrintable(controller.devicePath()));
    fflush(stdout);
    // Ctrl-C and SIGTERM end the event loop, so the line closes cleanly.
    onInterrupt(&app, &QCoreApplication::quit);
    return app.exec();
}
