#ifndef STATUS_H
#define STATUS_H

#include "console.h"
#include "result.h"

#include <QString>

// torvanctl's exit statuses, the failures each stands for, and the checks of
// its arguments.
namespace Torvanctl {

using Console::UsageError;

enum ExitStatus {
    Success = 0,
    // 2: UsageError, as for every program here (console.h)
    NoAdapter = 3,
    CannotOpen = 4,
    BadReply = 5,
    NotApplied = 6,
    NotRestored = 7,
    FileError = 8,
    InUse = 9,
    OutputError = 10,
};

// What ends a command early: its exit status and the line that says why.
struct Stop
{
    int status;
    QString message;
};
template<typename T> using Checked = Torvan::Result<T, Stop>;

// The exit status a failure of the controller ends torvanctl with.
Stop stopFor(const Torvan::Failure &failure);

// The reason in one line on stderr; returns the exit status that goes with it.
int report(const Stop &stop);
int report(const Torvan::Failure &failure);

// The exit-status part of the help, one status a line.
QString exitStatusHelp();

Checked<int> channelArgument(const QString &text);
// 0 to 2.5 V, rounded to the window's three decimals.
Checked<double> voltsArgument(const QString &text);
Checked<int> numberOption(const QString &name, const QString &text, int min, int max);

inline Stop usageError(const QString &message)
{
    return { UsageError, message };
}

} // namespace Torvanctl

#endif // STATUS_H
