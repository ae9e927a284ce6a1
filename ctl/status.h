#ifndef STATUS_H
#define STATUS_H

#include "cli.h"
#include "controller.h"

#include <QString>

// torvanctl's exit statuses, the failure each stands for, and the checks of
// its arguments.
namespace Cli {

enum ExitStatus {
    Success = 0,
    // 2: UsageError, as for every program here (cli.h)
    NoAdapter = 3,
    CannotOpen = 4,
    BadReply = 5,
    NotApplied = 6,
    NotRestored = 7,
    FileError = 8,
};

// The failure in one line on stderr; returns the exit status that goes with it.
int report(const Torvan::Failure &failure);

Torvan::Result<int> channelArgument(const QString &text);
// 0 to 2.5 V, rounded to the window's three decimals.
Torvan::Result<double> voltsArgument(const QString &text);
Torvan::Result<int> numberOption(const QString &name, const QString &text, int min, int max);

} // namespace Cli

#endif // STATUS_H
