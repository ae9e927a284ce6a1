#include "status.h"

#include "quantities.h"

namespace Cli {

int report(const Torvan::Failure &failure)
{
    warn(failure.message);
    switch (failure.kind) {
    case Torvan::Failure::BadInput:
        return UsageError;
    case Torvan::Failure::NoAdapter:
        return NoAdapter;
    case Torvan::Failure::CannotOpen:
        return CannotOpen;
    case Torvan::Failure::NoReply:
    case Torvan::Failure::LineLost:
        return BadReply;
    case Torvan::Failure::NotApplied:
        return NotApplied;
    case Torvan::Failure::NotRestored:
        return NotRestored;
    case Torvan::Failure::FileError:
        return FileError;
    }
    return UsageError;
}

Torvan::Result<int> channelArgument(const QString &text)
{
    bool ok = false;
    const int channel = text.toInt(&ok);
    if (!ok || channel < 0 || channel >= Link::ChannelCount)
        return Torvan::Failure {
            Torvan::Failure::BadInput,
            QStringLiteral("channel must be 0, 1, 2 or 3, not \"%1\"").arg(text)
        };
    return channel;
}

Torvan::Result<double> voltsArgument(const QString &text)
{
    bool ok = false;
    const double requested = text.toDouble(&ok);
    if (!ok || !Torvan::isSetPointInRange(requested))
        return Torvan::Failure { Torvan::Failure::BadInput,
                                 QStringLiteral("VOLTS must be a number from %1 to %2, not \"%3\"")
                                     .arg(Torvan::SetPointMinVolts)
                                     .arg(Torvan::SetPointMaxVolts)
                                     .arg(text) };
    return Torvan::roundedSetPoint(requested);
}

Torvan::Result<int> numberOption(const QString &name, const QString &text, int min, int max)
{
    if (const auto value = wholeNumber(text, min, max))
        return *value;
    return Torvan::Failure { Torvan::Failure::BadInput, numberFault(name, text, min, max) };
}

} // namespace Cli
