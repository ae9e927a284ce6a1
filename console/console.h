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

// A line on standard output, flushed at once; false once standard output
// could not be written (a full disk, a closed stream, a reader that went away).
bool printLine(const QString &line);
bool printJson(const QJsonValue &value);
// Why standard output could not be written; empty while it could.
QString outputFault();
// Called first thing in main: a standard stream the caller closed is held
// open on the null device, so the next file opened (a serial port) does not
// take its number and receive what is printed; closed standard output counts
// as unwritable.
void holdStandardStreams();

// A whole number from min to max, or none; numberFault says what is wrong.
std::optional<int> wholeNumber(const QString &text, int min, int max);
QString numberFault(const QString &option, const QString &text, int min, int max);

} // namespace Console

#endif // CONSOLE_H
