#include "cli.h"

#include "quantities.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

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

void warn(const QString &message)
{
    fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
            qPrintable(message));
    fflush(stderr);
}

void printLine(const QString &line)
{
    printf("%s\n", qPrintable(line));
    fflush(stdout);
}

void printJson(const QJsonValue &value)
{
    const QJsonDocument document
        = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    printLine(QString::fromUtf8(document.toJson(QJsonDocument::Compact)));
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
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        return Link::Failure { Link::Failure::BadInput,
                               QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                                   .arg(name)
                                   .arg(min)
                                   .arg(max)
                                   .arg(text) };
    return value;
}

} // namespace Cli
