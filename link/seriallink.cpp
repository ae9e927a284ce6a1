#include "seriallink.h"
#include "linewatch.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

namespace Link {

namespace {
PortSource &currentSource()
{
    static PortSource source;
    return source;
}

// The device a port name stands for: "ttyUSB0" and "/dev/ttyUSB0" are one port.
QString deviceOf(const QString &portName)
{
#ifdef Q_OS_WIN
    return portName.toUpper();
#else
    return portName.contains(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName;
#endif
}

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

QString serialNumberOf(const QList<PortEntry> &ports, const QString &portName)
{
    for (const PortEntry &port : ports) {
        if (deviceOf(port.name) == deviceOf(portName))
            return port.serialNumber;
    }
    return {};
}

bool openLink(QSerialPort *port, const QString &portName)
{
    // Data bits, parity, stop bits and flow control stay at 8N1, no flow control.
    port->setPortName(portName);
    port->setBaudRate(BaudRate, QSerialPort::AllDirections);
    if (!port->open(QIODevice::ReadWrite))
        return false;
    LineWatch::of(port)->arm();
    return true;
}

void closeLink(QSerialPort *port)
{
    port->close();
}

} // namespace Link
