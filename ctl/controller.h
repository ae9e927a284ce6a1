#ifndef CONTROLLER_H
#define CONTROLLER_H

#include "protocol.h"

#include <QSerialPort>
#include <QString>
#include <QStringList>

// One controller behind one open adapter, through the same link as the window.
class Controller
{
public:
    // The ports named, or else the one qualifying adapter; ends the program
    // with a clear line when there is none, or several and none was named.
    static QStringList portNames(const QStringList &requested);

    // Opens the port, or ends the program with CannotOpen.
    explicit Controller(const QString &portName);
    Q_DISABLE_COPY_MOVE(Controller)

    QString name() const { return portName; }
    // The line went away (adapter unplugged): nothing more will come through it.
    bool isLost() const { return lost; }

    std::optional<Link::ValueBlock> tryRead(char command);
    // The reply, or the end of the program with BadReply.
    Link::ValueBlock read(char command);
    void send(const QByteArray &frame);

private:
    QSerialPort port;
    QString portName;
    bool lost = false;
};

#endif // CONTROLLER_H
