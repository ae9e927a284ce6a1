// torvan-sim: a simulated Torvan bias controller on a pseudo-terminal, for
// trying the tool, its tests and its benchmarks without the hardware.
#include "simcontroller.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMetaEnum>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}

[[noreturn]] void fail(const QString &message)
{
    fprintf(stderr, "torvan-sim: %s\n", qPrintable(message));
    exit(2);
}

int intOption(const QCommandLineParser &parser, const QCommandLineOption &option, int min, int max)
{
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < min || value > max)
        fail(QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                 .arg(option.names().constLast())
                 .arg(min)
                 .arg(max)
                 .arg(parser.value(option)));
    return value;
}

SimController::Fault faultNamed(const QString &name)
{
    // Option names are the enumerators in kebab case: short-reply, late-reply, ...
    const QMetaEnum faults = QMetaEnum::fromType<SimController::Fault>();
    for (int i = 0; i < faults.keyCount(); ++i) {
        QString key = QString::fromLatin1(faults.key(i));
        QString kebab;
        for (QChar c : key) {
            if (c.isUpper() && !kebab.isEmpty())
                kebab += u'-';
            kebab += c.toLower();
        }
        if (kebab == name)
            return SimController::Fault(faults.value(i));
    }
    fail(QStringLiteral("unknown fault \"%1\" (delay, short-reply, long-reply, no-reply, "
                        "late-reply, late-whole, junk, ack)")
             .arg(name));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvan-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated Torvan bias controller. Opens a pseudo-terminal, prints the device path "
        "a client opens (as it would open the USB adapter) on the first line of standard "
        "output, and serves the controller's protocol until interrupted."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption noPacing(QStringLiteral("no-pacing"),
                                      QStringLiteral("Send replies at once instead of at the "
                                                     "line rate of 115200 baud."));
    const QCommandLineOption eeprom(
        QStringLiteral("eeprom"),
        QStringLiteral("Keep the EEPROM image in <file> across runs "
                       "(loaded at start, rewritten safely on W and C)."),
        QStringLiteral("file"));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Delay every reply by <ms> milliseconds."),
                                   QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("Misbehave once, on the next request it fits: "
                                                  "delay, short-reply, long-reply, no-reply, "
                                                  "late-reply, late-whole, junk or ack. May be "
                                                  "repeated."),
                                   QStringLiteral("kind"));
    const QCommandLineOption faultRate(QStringLiteral("fault-rate"),
                                       QStringLiteral("Misbehave on <percent> of all requests, "
                                                      "in ways drawn from the whole menu."),
                                       QStringLiteral("percent"), QStringLiteral("0"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed for drawn faults and current noise."),
                                  QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption hangUpAfter(QStringLiteral("hang-up-after"),
                                         QStringLiteral("Close the line after <n> requests, as "
                                                        "an unplugged adapter."),
                                         QStringLiteral("n"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Print every request on standard error."));
    parser.addOptions({ noPacing, eeprom, delay, fault, faultRate, seed, hangUpAfter, log });

    if (!parser.parse(QCoreApplication::arguments()))
        fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        fail(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    SimController controller;
    controller.setPacing(!parser.isSet(noPacing));
    controller.setReplyDelay(intOption(parser, delay, 0, 60000));
    const int seedValue = intOption(parser, seed, 0, 1 << 30);
    controller.setNoiseSeed(quint32(seedValue));
    controller.setRandomFaults(intOption(parser, faultRate, 0, 100) / 100.0, quint32(seedValue));
    for (const QString &kind : parser.values(fault))
        controller.injectFault(faultNamed(kind));
    QString error;
    if (parser.isSet(eeprom) && !controller.setEepromFile(parser.value(eeprom), &error))
        fail(error);
    if (parser.isSet(hangUpAfter)) {
        const int limit = intOption(parser, hangUpAfter, 1, 1 << 30);
        QObject::connect(&controller, &SimController::requestReceived, &controller, [&, limit] {
            if (controller.requestCount() >= limit)
                controller.hangUp();
        });
    }
    if (parser.isSet(log)) {
        QObject::connect(&controller, &SimController::requestReceived, &controller, [&] {
            const SimController::Request request = controller.requests().constLast();
            fprintf(stderr, "%10.3f ms  %c  %s%s\n", request.atNs / 1e6, request.command(),
                    request.frame.toHex(' ').constData(), request.overlapped ? "  OVERLAP" : "");
        });
        QObject::connect(
            &controller, &SimController::faultApplied, &controller, [](SimController::Fault kind) {
                fprintf(stderr, "               fault: %s\n",
                        QMetaEnum::fromType<SimController::Fault>().valueToKey(int(kind)));
            });
    }
    QObject::connect(&controller, &SimController::hungUpLine, &app, [] {
        fprintf(stderr, "torvan-sim: line closed\n");
        QCoreApplication::quit();
    });

    if (!controller.start(&error))
        fail(error);
    printf("%s\n", qPrintable(controller.devicePath()));
    fflush(stdout);

    // Ctrl-C and SIGTERM end the event loop, so the line closes cleanly.
    if (::pipe(signalPipe) != 0)
        fail(QStringLiteral("cannot create a pipe"));
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    return app.exec();
}
