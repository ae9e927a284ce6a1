// torvanctl: the Torvan bias controller from scripts and terminals, through the
// same link (frames, exchange, guard, port qualification) as the window.
#include "commands.h"
#include "status.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

using namespace Console;
using namespace Torvanctl;

namespace {

const char *const MoreHelp = R"(
voltages, currents and watch take --port and --serial-number more than once,
to read several controllers side by side. An adapter named by its serial number
is found wherever it is plugged in; watch waits for it to come back.
--port also takes a terminal server's address: tcp://HOST:PORT for a raw
line, rfc2217://HOST:PORT for Telnet with the Com Port Control option; watch
reconnects to it after the connection is lost.

)";

// A negative number ("-2.5") is a value, not an option: marked so the parser
// takes it as an argument, and unmarked afterwards.
const QChar NegativeMark(0x1);

QString unmarked(QString text)
{
    return text.startsWith(NegativeMark) ? text.mid(1) : text;
}

QStringList markedNegativeNumbers(QStringList arguments)
{
    static const QRegularExpression negativeNumber(QStringLiteral("^-(\\d|\\.\\d)"));
    for (QString &argument : arguments) {
        if (negativeNumber.match(argument).hasMatch())
            argument.prepend(NegativeMark);
    }
    return arguments;
}

const QList<QCommandLineOption> KnownOptions {
    { QStringLiteral("port"),
      QStringLiteral("The adapter to use (default: the only one found), or a terminal "
                     "server's tcp:// or rfc2217:// address."),
      QStringLiteral("name") },
    { QStringLiteral("serial-number"),
      QStringLiteral("The adapter with this USB serial number, wherever it is plugged in."),
      QStringLiteral("sn") },
    { QStringLiteral("json"), QStringLiteral("Machine-readable output.") },
    { QStringLiteral("all"), QStringLiteral("ports: list every serial port, with its USB ids.") },
    { QStringLiteral("channel"), QStringLiteral("voltages, currents: only channel <n> (0 to 3)."),
      QStringLiteral("n") },
    { QStringLiteral("interval"), QStringLiteral("watch: milliseconds between readings (400)."),
      QStringLiteral("ms"), QStringLiteral("400") },
    { QStringLiteral("count"), QStringLiteral("watch: stop after <n> readings."),
      QStringLiteral("n"), QStringLiteral("0") },
    { QStringLiteral("csv"), QStringLiteral("watch: CSV with a header line.") },
    { QStringLiteral("verify"),
      QStringLiteral("set: read the set-points back and fail if the controller did not "
                     "apply it (the default).") },
    { QStringLiteral("no-verify"), QStringLiteral("set, coefs set: send without reading back.") },
    { QStringLiteral("commit"),
      QStringLiteral("restore: have the controller store the restored settings in EEPROM.") },
    { QStringLiteral("dry-run"),
      QStringLiteral("restore: print the frames that would be sent, and send nothing.") },
    { QStringLiteral("any-adapter"),
      QStringLiteral("restore: also onto an adapter other than the one the backup was made of "
                     "(a replacement unit).") },
};

// The adapters named, by port and by serial number, each once.
Checked<QList<Torvan::AdapterChoice>> adaptersOf(const QCommandLineParser &parser)
{
    QList<Torvan::AdapterChoice> adapters;
    QStringList ports = parser.values(QStringLiteral("port"));
    QStringList serialNumbers = parser.values(QStringLiteral("serial-number"));
    ports.removeDuplicates();
    serialNumbers.removeDuplicates();
    for (const QString &port : ports)
        adapters.append({ port, {} });
    for (const QString &serialNumber : serialNumbers) {
        if (serialNumber.trimmed().isEmpty())
            return usageError(QStringLiteral("--serial-number needs a serial number"));
        adapters.append({ {}, serialNumber });
    }
    return adapters;
}

// The command named first, with as many arguments as it takes.
Checked<const Command *> commandOf(QStringList &arguments)
{
    if (arguments.isEmpty())
        return usageError(QStringLiteral("no command given; see --help"));
    const QString name = arguments.takeFirst();
    const Command *command = findCommand(name);
    if (!command)
        return usageError(QStringLiteral("unknown command \"%1\"; see --help").arg(name));
    if (arguments.size() < command->minArguments || arguments.size() > command->maxArguments)
        return usageError(
            QStringLiteral("wrong number of arguments to '%1'; see --help").arg(name));
    return command;
}

// The options given, each checked to go with the command.
Checked<Options> optionsOf(const QCommandLineParser &parser, const Command &command)
{
    const QLatin1String name(command.name);
    for (const QString &option : parser.optionNames()) {
        if (option != QLatin1String("port") && option != QLatin1String("serial-number")
            && option != QLatin1String("json") && !command.options.contains(option))
            return usageError(QStringLiteral("--%1 does not go with '%2'").arg(option, name));
    }
    const auto adapters = adaptersOf(parser);
    if (!adapters)
        return adapters.failure();
    Options options;
    options.adapters = *adapters;
    if (options.adapters.size() > 1 && !command.severalAdapters)
        return usageError(QStringLiteral("'%1' takes one --port or --serial-number").arg(name));
    options.json = parser.isSet(QStringLiteral("json"));
    options.all = parser.isSet(QStringLiteral("all"));
    options.channel = unmarked(parser.value(QStringLiteral("channel")));
    options.interval = unmarked(parser.value(QStringLiteral("interval")));
    options.count = unmarked(parser.value(QStringLiteral("count")));
    options.csv = parser.isSet(QStringLiteral("csv"));
    options.readBack = !parser.isSet(QStringLiteral("no-verify"));
    options.commit = parser.isSet(QStringLiteral("commit"));
    options.dryRun = parser.isSet(QStringLiteral("dry-run"));
    options.anyAdapter = parser.isSet(QStringLiteral("any-adapter"));
    if (options.csv && options.json)
        return usageError(QStringLiteral("--csv and --json exclude each other"));
    if (!options.readBack && parser.isSet(QStringLiteral("verify")))
        return usageError(QStringLiteral("--verify and --no-verify exclude each other"));
    return options;
}

void setUp(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Set up and watch the Torvan bias controller from scripts and terminals.")
        + QStringLiteral("\nCommands:\n") + commandHelp() + QLatin1String(MoreHelp)
        + exitStatusHelp());
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("What to do (see Commands above)."),
                                 QStringLiteral("command [arguments]"));
    parser.addOptions(KnownOptions);
}

// The command named, checked with its arguments and options, then run with the
// controllers it needs, opened here for every command alike.
int runCommand(const QCommandLineParser &parser)
{
    QStringList arguments;
    for (const QString &argument : parser.positionalArguments())
        arguments << unmarked(argument);
    const auto command = commandOf(arguments);
    if (!command)
        return report(command.failure());
    const auto options = optionsOf(parser, **command);
    if (!options)
        return report(options.failure());
    const auto job = (*command)->prepare(arguments, *options);
    if (!job)
        return report(job.failure());
    Torvan::Controllers controllers;
    if (job->needsControllers) {
        auto opened = Torvan::openControllers(options->adapters);
        if (!opened)
            return report(opened.failure());
        controllers = std::move(*opened);
    }
    return job->run(controllers);
}

// What was printed must have reached standard output for a command to be done.
int outputChecked(int status)
{
    const QString fault = outputFault();
    if (fault.isEmpty() || (status != Success && status != OutputError))
        return status;
    return report(Stop { OutputError, fault });
}

} // namespace

int main(int argc, char *argv[])
{
    holdStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvanctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    Torvan::offerSimulatedAdapters();

    QCommandLineParser parser;
    setUp(parser);
    if (!parser.parse(markedNegativeNumbers(QCoreApplication::arguments())))
        return report(usageError(parser.errorText()));
    // Printed here rather than by the parser, which on Windows shows a message box
    // when no console is attached, as when a script runs the tool.
    if (parser.isSet(QStringLiteral("help"))) {
        printLine(parser.helpText().chopped(1));
        return outputChecked(Success);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printLine(QStringLiteral("torvanctl ") + QCoreApplication::applicationVersion());
        return outputChecked(Success);
    }
    return outputChecked(runCommand(parser));
}
