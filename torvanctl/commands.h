#ifndef COMMANDS_H
#define COMMANDS_H

#include "controller.h"
#include "quantities.h"
#include "status.h"

#include <QString>
#include <QStringList>

#include <functional>

// The options of the command line, as given.
struct Options
{
    // --port and --serial-number, possibly several; none: the one adapter found
    QList<Torvan::AdapterChoice> adapters;
    bool json = false;
    bool all = false;
    QString channel; // empty: all four
    QString interval = QString::number(Torvan::PollIntervalMs);
    QString count = QStringLiteral("0");
    bool csv = false;
    bool readBack = true; // set, coefs set: off with --no-verify
    bool commit = false;
    bool dryRun = false;
    bool anyAdapter = false;
};

// What a command does once its arguments have checked out: run with the
// controllers of the adapters named (or the one found), which main opens for
// it, or with none.
struct Job
{
    bool needsControllers = true;
    std::function<int(Torvan::Controllers &controllers)> run;
};
using Prepared = Torvanctl::Checked<Job>;

// One torvanctl command: its lines in the help, how many arguments it takes,
// which options go with it, whether it reads several controllers at once, and
// what checks its arguments and says what to do.
struct Command
{
    const char *name;
    const char *usage; // one line of help per usage, with its summary's line
    const char *summary;
    int minArguments;
    int maxArguments;
    QStringList options; // besides --port, --serial-number and --json, which every command takes
    bool severalAdapters;
    Prepared (*prepare)(const QStringList &arguments, const Options &options);
};

const Command *findCommand(const QString &name);
// The commands' lines of the help text, one per usage.
QString commandHelp();

Prepared watchCurrents(const QStringList &arguments, const Options &options);

#endif // COMMANDS_H
