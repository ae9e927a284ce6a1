#ifndef CLI_H
#define CLI_H

#include "protocol.h"

#include <QJsonValue>
#include <QString>
#include <QStringList>

// What every torvanctl command shares: exit statuses, failure, output, and
// the checks of arguments that several commands take.
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

struct Failure
{
    ExitStatus status;
    QString message;
};

// One clear line on stderr, and the failure's own exit status.
[[noreturn]] void fail(const Failure &failure);
void warn(const QString &message);

void printLine(const QString &line);
void printJson(const QJsonValue &value);

// Names of the eight slots of a value block, in slot order.
QString slotName(const char *c, const char *b, int slot); // ("Vc", "Vb", 3) -> "Vb1"
extern const char *const CoefficientNames[Link::SlotCount];

QString volts(float value); // three decimals, as the window shows them
QString milliamps(float amperes); // two decimals

int channelArgument(const QString &text);
// 0 to 2.5 V, rounded to the window's three decimals.
double voltsArgument(const QString &text);
int numberOption(const QString &name, const QString &text, int min, int max);

} // namespace Cli

#endif // CLI_H
