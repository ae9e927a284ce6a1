#include "seriallink.h"
#include "linewatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace Link {

namespace {
PortSource &currentSource()
{
    static PortSource source;
    return source;
}

#ifdef Q_OS_WIN
// Windows opens a COM port for one handle at a time and refuses a second open
// with "access denied": the port is held exclusively once it is open.
bool holdExclusively(QSerialPort *)
{
    return true;
}

bool heldElsewhere(const QSerialPort *port)
{
    return port->error() == QSerialPort::PermissionError;
}
#else
// Qt's lock file is keyed by the name the port was opened by, and TIOCEXCL
// does not stop root: a lock on the device itself is shared by all its names.
bool holdExclusively(QSerialPort *port)
{
    return ::flock(port->handle(), LOCK_EX | LOCK_NB) == 0;
}

// Whether a refused open met a line another program holds: busy under its
// TIOCEXCL, or locked as holdExclusively locks it (as root, where Qt's lock
// file of the same name refused it). Only asked after Qt's open was refused,
// so the line is already open elsewhere and this open changes nothing on it.
bool heldElsewhere(const QSerialPort *port)
{
    if (port->error() != QSerialPort::PermissionError)
        return false;
    const QByteArray device = QFile::encodeName(resolvedDevice(port->portName()));
    const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}
#endif

QList<PortEntry> simulatedAdaptersListedIn(const QString &path)
{
    QList<PortEntry> ports;
    QFile list(path);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text))
        return ports;
    while (!list.atEnd()) {
        const QStringList words = QString::fromUtf8(list.readLine()).simplified().split(u' ');
        if (!words.first().isEmpty())
            ports.append(simulatedAdapter(words.first(), words.value(1)));
    }
    return ports;
}
} // namespace

QString adapterSerialNumber(const QString &reported, bool fromFtdiDriver)
{
    if (!fromFtdiDriver)
        return reported;
    if (reported.contains(QLatin1Char('&')) || reported.size() < 2)
        return {};
    return reported.chopped(1);
}

void setPortSource(PortSource source)
{
    currentSource() = std::move(source);
}

QList<PortEntry> systemPorts()
{
    QList<PortEntry> ports;
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
#ifdef Q_OS_WIN
    constexpr bool windows = true;
#else
    constexpr bool windows = false;
#endif
    for (const QSerialPortInfo &info : available) {
        const bool ftdi = windows && info.vendorIdentifier() == AdapterVendorId;
        ports.append({ info.portName(), info.vendorIdentifier(), info.productIdentifier(),
                       adapterSerialNumber(info.serialNumber(), ftdi) });
    }
    return ports;
}

PortEntry simulatedAdapter(const QString &devicePath, const QString &serialNumber)
{
    return { devicePath, AdapterVendorId, AdapterProductId, serialNumber };
}

void offerSimulatedAdapters()
{
    const QString named = qEnvironmentVariable("TORVAN_SIMULATED_ADAPTER");
    if (named.isEmpty())
        return;
    if (QFileInfo(named).isFile())
        setPortSource([named] { return simulatedAdaptersListedIn(named); });
    else
        setPortSource([named] { return QList<PortEntry> { simulatedAdapter(named) }; });
}

QList<PortEntry> ports()
{
    return currentSource() ? currentSource()() : systemPorts();
}

bool qualifies(const PortEntry &port)
{
    return port.vendorId == AdapterVendorId && port.productId == AdapterProductId;
}

QStringList qualifyingPortNames(const QList<PortEntry> &ports)
{
    QStringList names;
    for (const PortEntry &port : ports) {
        if (qualifies(port))
            names.append(port.name);
    }
    return names;
}

QStringList qualifyingPortNames()
{
    return qualifyingPortNames(ports());
}

QStringList portsWithSerialNumber(const QList<PortEntry> &ports, const QString &serialNumber)
{
    QStringList names;
    for (const PortEntry &port : ports) {
        if (qualifies(port) && !serialNumber.isEmpty() && port.serialNumber == serialNumber)
            names.append(port.name);
    }
    return names;
}

QString resolvedDevice(const QString &portName)
{
#ifdef Q_OS_WIN
    return portName.toUpper();
#else
    // QSerialPort's own rule: a path from the root or from ".", else a name in /dev.
    const bool path = portName.startsWith(QLatin1Char('/'))
        || portName.startsWith(QLatin1String("./")) || portName.startsWith(QLatin1String("../"));
    const QFileInfo file(path ? portName : QStringLiteral("/dev/") + portName);
    const QString canonical = file.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(file.absoluteFilePath()) : canonical;
#endif
}

QString serialNumberOf(const QList<PortEntry> &ports, const QString &portName)
{
    const QString device = resolvedDevice(portName);
    for (const PortEntry &port : ports) {
        if (resolvedDevice(port.name) == device)
            return port.serialNumber;
    }
    return {};
}

bool openLink(QSerialPort *port, const QString &portName, bool *inUse)
{
    // Data bits, parity, stop bits and flow control stay at 8N1, no flow control.
    port->setPortName(portName);
    port->setBaudRate(BaudRate, QSerialPort::AllDirections);
    bool held = false;
    if (!port->open(QIODevice::ReadWrite)) {
        held = heldElsewhere(port);
    } else if (!holdExclusively(port)) {
        held = true;
        port->close();
    }
    if (inUse)
        *inUse = held;
    if (!port->isOpen())
        return false;
    LineWatch::of(port)->arm();
    return true;
}

void closeLink(QSerialPort *port)
{
    port->close();
}

} // namespace Link
