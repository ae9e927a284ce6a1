#include "cli.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstdlib>

namespace Cli {

const char *const CoefficientNames[Link::SlotCount]
    = { "IC0", "IB0", "IC1", "IB1", "IC2", "IB2", "IC3", "IB3" };

void fail(const Failure &failure)
{
    warn(failure.message);
    exit(failure.status);
}

void warn(const QString &message)
{
    fprintf(stderr, "torvanctl: %s\n", qPrintable(message));
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

QString slotName(const char *c, const char *b, int slot)
{
    return QLatin1String(slot % 2 ? b : c) + QString::number(slot / 2);
}

QString volts(float value)
{
    return QString::number(double(value), 'f', 3);
}

QString milliamps(float amperes)
{
    return QString::number(double(amperes) * 1000, 'f', 2);
}

int channelArgument(const QString &text)
{
    bool ok = false;
    const int channel = text.toInt(&ok);
    if (!ok || channel < 0 || channel > 3)
        fail({ UsageError, QStringLiteral("channel must be 0, 1, 2 or 3, not \"%1\"").arg(text) });
    return channel;
}

double voltsArgument(const QString &text)
{
    bool ok = false;
    const double requested = text.toDouble(&ok);
    if (!ok || !(requested >= 0.0 && requested <= 2.5))
        fail({ UsageError,
               QStringLiteral("VOLTS must be a number from 0 to 2.5, not \"%1\"").arg(text) });
    return QString::number(requested, 'f', 3).toDouble();
}

int numberOption(const QString &name, const QString &text, int min, int max)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        fail({ UsageError,
               QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                   .arg(name)
                   .arg(min)
                   .arg(max)
                   .arg(text) });
    return value;
}

} // namespace Cli
