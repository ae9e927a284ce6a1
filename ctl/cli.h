#ifndef CLI_H
#define CLI_H

#include "controller.h"

#include <QJsonValue>
#include <QString>

// What the command-line programs share: exit statuses, one-line failures,
// output, and the checks of arguments and number options.
namespace Cli {

enum ExitStatus {
    Success = 0,
    UsageError = 2,
    NoAdapter = 3,
    CannotOpen = 4,
    BadReply = 5,
    NotApplied = 6,
    NotRestored = 7,
    FileError = 8,
};

// One clear line on stderr, named after the program; returns the exit status
// that goes with the failure.
int report(const Link::Failure &failure);
void warn(const QString &message);

void printLine(const QString &line);
void printJson(const QJsonValue &value);

Link::Result<int> channelArgument(const QString &text);
// 0 to 2.5 V, rounded to the window's three decimals.
Link::Result<double> voltsArgument(const QString &text);
Link::Result<int> numberOption(const QString &name, const QString &text, int min, int max);

} // namespace Cli

#endif // CLI_H
