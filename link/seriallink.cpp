#include "seriallink.h"
#include "linewatch.h"
#include "networkline.h"
#include "requestguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QUrl>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <utility>

namespace Link {

namespace {
PortSource &currentSource()
{
    static PortSource source;
    return source;
}

// Whether this program may open the device: the claim comes before Qt's open,
// so that a refused open never touches a line another program holds.
enum class Claim {
    Ours, // locked for this port until it closes
    HeldElsewhere,
    Unchecked, // the device cannot be looked at; Qt's open says why
};

#ifdef Q_OS_WIN
// Windows opens a COM port for one handle at a time and refuses a second open
// with "access denied".
Claim claimDevice(QSerialPort *, QObject **)
{
    return Claim::Unchecked;
}

bool refusedAsHeld(const QSerialPort *port, Claim)
{
    return port->error() == QSerialPort::PermissionError;
}
#else
// A lock on the device itself, shared by all its names: Qt's lock file is
// keyed by the name the port is opened by, and TIOCEXCL does not stop root.
// It is held on a descriptor of its own, a child of the port, until the port
// closes.
class DeviceLock : public QObject
{
public:
    DeviceLock(QSerialPort *port, int fd)
        : QObject(port)
        , fd(fd)
    {
        connect(port, &QIODevice::aboutToClose, this, &DeviceLock::release);
    }
    ~DeviceLock() override { release(); }

    void release()
    {
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
    }

private:
    int fd;
};

Claim claimDevice(QSerialPort *port, QObject **lock)
{
    const QByteArray device = QFile::encodeName(resolvedDevice(port->portName()));
    const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) // busy: another program set TIOCEXCL on it
        return errno == EBUSY ? Claim::HeldElsewhere : Claim::Unchecked;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd); // not the line's last descriptor: the holder's line stays as it is
        return Claim::HeldElsewhere;
    }
    *lock = new DeviceLock(port, fd);
    return Claim::Ours;
}

// With the device claimed, Qt refuses a line only where another program holds
// it by a lock file or TIOCEXCL; without, a refusal may just be permissions.
bool refusedAsHeld(const QSerialPort *port, Claim claim)
{
    return claim == Claim::Ours && port->error() == QSerialPort::PermissionError;
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
    QObject *lock = nullptr; // the claim's, where the system has one
    const Claim claim = claimDevice(port, &lock);
    const bool opened = claim != Claim::HeldElsewhere && port->open(QIODevice::ReadWrite);
    if (!opened)
        delete lock;
    if (inUse)
        *inUse = claim == Claim::HeldElsewhere || (!opened && refusedAsHeld(port, claim));
    if (!port->isOpen())
        return false;
    LineWatch::of(port)->arm();
    RequestGuard::of(port)->unsettle(QuietGapMs);
    return true;
}

bool isNetworkAddress(const QString &name)
{
    return name.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive)
        || name.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive);
}

QString normalizedAddress(const QString &name)
{
    if (!isNetworkAddress(name))
        return {};
    const QUrl url(name, QUrl::StrictMode);
    const bool plain = url.isValid() && !url.host().isEmpty() && url.port() > 0
        && url.path().isEmpty() && !url.hasQuery() && !url.hasFragment()
        && url.userInfo().isEmpty();
    return plain ? url.toString() : QString();
}

bool openLink(NetworkLine *line, const QString &address)
{
    if (!line->connectTo(address))
        return false;
    LineWatch::of(line)->arm();
    RequestGuard::of(line)->unsettle(QuietGapMs);
    return true;
}

void closeLink(QSerialPort *port)
{
    port->close();
}

} // namespace Link
