#include "console.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace Console {

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

std::optional<int> wholeNumber(const QString &text, int min, int max)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

QString numberFault(const QString &option, const QString &text, int min, int max)
{
    return QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
        .arg(option)
        .arg(min)
        .arg(max)
        .arg(text);
}

} // namespace Console
