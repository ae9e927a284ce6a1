#include "linewatch.h"
#include "networkline.h"

#include <QSerialPort>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <unistd.h>
#endif

namespace Link {

LineWatch *LineWatch::of(QIODevice *port)
{
    if (auto *watch = port->findChild<LineWatch *>(QString(), Qt::FindDirectChildrenOnly))
        return watch;
    return new LineWatch(port);
}

LineWatch::LineWatch(QIODevice *port)
    : QObject(port)
    , port(port)
{
    connect(port, &QIODevice::aboutToClose, this, &LineWatch::disarm);
    if (auto *networkLine = qobject_cast<NetworkLine *>(port)) {
        connect(networkLine, &NetworkLine::lost, this, &LineWatch::report);
        return;
    }
    auto *serialPort = qobject_cast<QSerialPort *>(port);
    if (!serialPort)
        return;
    // An unplugged adapter reports a resource error; on some Qt versions a
    // hung-up line reports read errors instead. On Windows a removed adapter's
    // driver may fail its I/O with ERROR_ACCESS_DENIED, which Qt reports as a
    // permission error for a pending read and a write error for the next
    // write. Any of them on an open port means the line is gone.
    connect(serialPort, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) {
                switch (error) {
                case QSerialPort::ResourceError:
                case QSerialPort::ReadError:
                case QSerialPort::WriteError:
                case QSerialPort::PermissionError:
                    report();
                    break;
                default:
                    break;
                }
            });
}

void LineWatch::arm()
{
    disarm();
    reported = false;
#ifdef Q_OS_UNIX
    // A hung-up tty (unplugged USB adapter, closed pseudo-terminal master) polls
    // as readable with POLLHUP and reads end-of-file forever. Newer Qt takes that
    // as "no data" and reports nothing, so the port's own notifier would spin.
    // A second notifier, on a duplicate of the descriptor so it never competes
    // with the port's, looks at the poll result itself.
    auto *serialPort = qobject_cast<QSerialPort *>(port);
    if (!serialPort)
        return;
    watchedHandle = ::dup(int(serialPort->handle()));
    if (watchedHandle < 0)
        return;
    hangUpNotifier = new QSocketNotifier(watchedHandle, QSocketNotifier::Read, this);
    connect(hangUpNotifier, &QSocketNotifier::activated, this, &LineWatch::checkForHangUp);
#endif
}

void LineWatch::disarm()
{
    delete hangUpNotifier;
    hangUpNotifier = nullptr;
#ifdef Q_OS_UNIX
    if (watchedHandle >= 0)
        ::close(watchedHandle);
#endif
    watchedHandle = -1;
}

void LineWatch::checkForHangUp()
{
#ifdef Q_OS_UNIX
    pollfd line { watchedHandle, POLLIN, 0 };
    if (::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // Nothing more will come: stop watching, so this notifier cannot spin either.
        hangUpNotifier->setEnabled(false);
        report();
    }
#endif
}

void LineWatch::report()
{
    if (reported || !port->isOpen())
        return;
    reported = true;
    // Closed from the event loop, never inside the port's own notification; the
    // close ends an exchange that waits on the port at once.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (port->isOpen())
                port->close();
            emit lost();
        },
        Qt::QueuedConnection);
}

} // namespace Link
