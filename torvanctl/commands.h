#ifndef COMMANDS_H
#define COMMANDS_H

#include "controller.h"
#include "quantities.h"

#include <QString>
#include <QStringList>

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
    bool verify = false;
    bool commit = false;
    bool dryRun = false;
    bool anyAdapter = false;
};

// One torvanctl command: its line in the help, how many arguments it takes,
// which options go with it, and the function that runs it and returns the
// exit status.
struct Command
{
    const char *name; // nothing for a further line of help of the command above
    const char *usage;
    const char *summary;
    int minArguments;
    int maxArguments;
    QStringList options; // besides --port, --serial-number and --json, which every command takes
    bool severalAdapters;
    int (*run)(const QStringList &arguments, const Options &options);
};

const Command *findCommand(const QString &name);
// The commands' lines of the help text, one (or two) per command.
QString commandHelp();

int watchCurrents(const QStringList &arguments, const Options &options);

#endif // COMMANDS_H
