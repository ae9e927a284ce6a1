#include "controller.h"

#include "cli.h"
#include "exchange.h"
#include "linewatch.h"
#include "seriallink.h"

using namespace Cli;

QStringList Controller::portNames(const QStringList &requested)
{
    if (!requested.isEmpty())
        return requested;
    const QStringList adapters = Link::qualifyingPortNames();
    if (adapters.isEmpty())
        fail({ NoAdapter,
               QStringLiteral("no adapter found (USB 0403:6001); "
                              "'torvanctl ports --all' lists every port") });
    if (adapters.size() > 1)
        fail({ NoAdapter,
               QStringLiteral("%1 adapters found (%2); choose with --port")
                   .arg(adapters.size())
                   .arg(adapters.join(QStringLiteral(", "))) });
    return adapters;
}

Controller::Controller(const QString &portName)
    : portName(portName)
{
    if (!Link::openLink(&port, portName))
        fail(
            { CannotOpen, QStringLiteral("cannot open %1: %2").arg(portName, port.errorString()) });
    QObject::connect(Link::LineWatch::of(&port), &Link::LineWatch::lost, &port,
                     [this] { lost = true; });
}

std::optional<Link::ValueBlock> Controller::tryRead(char command)
{
    if (lost)
        return std::nullopt;
    return Link::exchange(&port, command);
}

Link::ValueBlock Controller::read(char command)
{
    const auto block = tryRead(command);
    if (lost)
        fail({ BadReply,
               QStringLiteral("the line to %1 was lost (adapter unplugged?)").arg(portName) });
    if (!block)
        fail({ BadReply,
               QStringLiteral("%1: no valid reply to the %2 request")
                   .arg(portName, QString(QLatin1Char(command))) });
    return *block;
}

void Controller::send(const QByteArray &frame)
{
    Link::sendCommand(&port, frame);
    port.flush();
}
