#include "status.h"

#include "quantities.h"

#include <initializer_list>

namespace Torvanctl {

using namespace Console;

namespace {

using Torvan::Failure;

struct StatusRow
{
    int status;
    std::initializer_list<Failure::Kind> kinds; // the controller's failures that end with it
    const char *meaning;
};

const StatusRow ExitStatuses[] = {
    { Success, {}, "done" },
    { UsageError,
      { Failure::BadBackup, Failure::OtherInstrument },
      "bad arguments, or a backup file that does not check out or belongs to another adapter "
      "(nothing was sent)" },
    { NoAdapter,
      { Failure::NoAdapter, Failure::SeveralAdapters },
      "no adapter found, or several and none chosen; none or several with the serial number" },
    { CannotOpen, { Failure::CannotOpen }, "a port cannot be opened" },
    { BadReply,
      { Failure::NoReply, Failure::Unconfirmed, Failure::LineLost, Failure::NotSent,
        Failure::CannotBackUp },
      "no reply, one that is not exactly 32 bytes, or a lost line (watch goes on and exits "
      "with 5 at the end); a frame that could not be sent; backup of a set-point outside 0 to "
      "2.5 V" },
    { NotApplied,
      { Failure::NotApplied },
      "set or coefs set read back other values than were sent" },
    { NotRestored, { Failure::NotRestored }, "restore read back other values than the file holds" },
    { FileError, {}, "a file cannot be read or written" },
    { InUse, { Failure::InUse }, "the adapter is in use by another program" },
    { OutputError, {}, "standard output could not be written (watch stops)" },
};

// What a user of torvanctl can do about it, after what happened.
QString wayOut(Failure::Kind kind)
{
    switch (kind) {
    case Failure::NoAdapter:
        return QStringLiteral("; 'torvanctl ports --all' lists every port");
    case Failure::SeveralAdapters:
        return QStringLiteral("; choose with --port or --serial-number");
    case Failure::OtherInstrument:
        return QStringLiteral("; nothing was sent (--any-adapter restores it all the same)");
    default:
        return {};
    }
}

} // namespace

Stop stopFor(const Failure &failure)
{
    for (const StatusRow &row : ExitStatuses) {
        for (const Failure::Kind kind : row.kinds) {
            if (kind == failure.kind)
                return { row.status, failure.message + wayOut(kind) };
        }
    }
    Q_ASSERT_X(false, "stopFor", "a failure without an exit status");
    return { BadReply, failure.message };
}

int report(const Stop &stop)
{
    warn(stop.message);
    return stop.status;
}

int report(const Failure &failure)
{
    return report(stopFor(failure));
}

QString exitStatusHelp()
{
    // Wrapped to the width of the rest of the help, each meaning indented under its first line.
    constexpr int Width = 80;
    const QString continuation(4, u' '); // a word's own space makes it five
    QStringList lines { QStringLiteral("Exit status:") };
    for (const StatusRow &row : ExitStatuses) {
        QString line = QStringLiteral("  %1 ").arg(row.status);
        for (const QString &word : QString::fromLatin1(row.meaning).split(u' ')) {
            if (line.size() + 1 + word.size() > Width) {
                lines << line;
                line = continuation;
            }
            line += u' ' + word;
        }
        lines << line;
    }
    return lines.join(u'\n');
}

Checked<int> channelArgument(const QString &text)
{
    bool ok = false;
    const int channel = text.toInt(&ok);
    if (!ok || channel < 0 || channel >= Link::ChannelCount)
        return usageError(QStringLiteral("channel must be 0, 1, 2 or 3, not \"%1\"").arg(text));
    return channel;
}

Checked<double> voltsArgument(const QString &text)
{
    const double requested = Torvan::parseNumber(text, QLocale()).value_or(qQNaN());
    if (!Torvan::isSetPointInRange(requested))
        return usageError(QStringLiteral("VOLTS must be a number from %1 to %2, not \"%3\"")
                              .arg(Torvan::SetPointMinVolts)
                              .arg(Torvan::SetPointMaxVolts)
                              .arg(text));
    return Torvan::roundedSetPoint(requested);
}

Checked<int> numberOption(const QString &name, const QString &text, int min, int max)
{
    if (const auto value = wholeNumber(text, min, max))
        return *value;
    return usageError(numberFault(name, text, min, max));
}

} // namespace Torvanctl
