#include "status.h"

#include "quantities.h"

namespace Cli {

int report(const Link::Failure &failure)
{
    warn(failure.message);
    switch (failure.kind) {
    case Link::Failure::BadInput:
        return UsageError;
    case Link::Failure::NoAdapter:
        return NoAdapter;
    case Link::Failure::CannotOpen:
        return CannotOpen;
    case Link::Failure::NoReply:
    case Link::Failure::LineLost:
        return BadReply;
    case Link::Failure::NotApplied:
        return NotApplied;
    case Link::Failure::NotRestored:
        return NotRestored;
    case Link::Failure::FileError:
        return FileError;
    }
    return UsageError;
}

Link::Result<int> channelArgument(const QString &text)
{
    bool ok = false;
    const int channel = text.toInt(&ok);
    if (!ok || channel < 0 || channel >= Link::ChannelCount)
        return Link::Failure {
            Link::Failure::BadInput,
            QStringLiteral("channel must be 0, 1, 2 or 3, not \"%1\"").arg(text)
        };
    return channel;
}

Link::Result<double> voltsArgument(const QString &text)
{
    bool ok = false;
    const double requested = text.toDouble(&ok);
    if (!ok || !Link::isSetPointInRange(requested))
        return Link::Failure { Link::Failure::BadInput,
                               QStringLiteral("VOLTS must be a number from %1 to %2, not \"%3\"")
                                   .arg(Link::SetPointMinVolts)
                                   .arg(Link::SetPointMaxVolts)
                                   .arg(text) };
    return Link::roundedSetPoint(requested);
}

Link::Result<int> numberOption(const QString &name, const QString &text, int min, int max)
{
    if (const auto value = wholeNumber(text, min, max))
        return *value;
    return Link::Failure { Link::Failure::BadInput, numberFault(name, text, min, max) };
}

} // namespace Cli
