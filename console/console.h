#ifndef CONSOLE_H
#define CONSOLE_H

#include <QJsonValue>
#include <QString>

#include <optional>

// What the command-line programs share (torvanctl, torvan-sim, torvan-bench):
// one-line failures, output, number options. Qt Core only: the simulator
// shares no code with what it stands in for.
namespace Console {

// Bad arguments, the status every one of them ends with for a usage error.
constexpr int UsageError = 2;

// One clear line on stderr, named after the program.
void warn(const QString &message);

void printLine(const QString &line);
void printJson(const QJsonValue &value);

// A whole number from min to max, or none; numberFault says what is wrong.
std::optional<int> wholeNumber(const QString &text, int min, int max);
QString numberFault(const QString &option, const QString &text, int min, int max);

} // namespace Console

#endif // CONSOLE_H
