#include "console.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Console {

void warn(const QString &message)
{
    fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
            qPrintable(message));
    fflush(stderr);
}

namespace {
int outputError = 0; // the errno of the first failed write to standard output
} // namespace

bool printLine(const QString &line)
{
    // Flushed line by line, so a failed write shows at the line it failed on.
    errno = 0;
    if ((printf("%s\n", qPrintable(line)) < 0 || fflush(stdout) != 0 || ferror(stdout))
        && !outputError)
        outputError = errno ? errno : EIO;
    return !outputError;
}

bool printJson(const QJsonValue &value)
{
    const QJsonDocument document
        = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return printLine(QString::fromUtf8(document.toJson(QJsonDocument::Compact)));
}

void holdStandardStreams()
{
#ifndef Q_OS_WIN
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number: this one, as those below it are open by now.
        if (::open("/dev/null", O_RDWR) == STDOUT_FILENO)
            outputError = EBADF;
    }
#endif
}

QString outputFault()
{
    if (!outputError)
        return {};
    return QStringLiteral("standard output could not be written: %1")
        .arg(QString::fromLocal8Bit(strerror(outputError)));
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
