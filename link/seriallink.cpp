#include "seriallink.h"
#include "linewatch.h"

#include <QSerialPort>
#include <QSerialPortInfo>

namespace Link {

namespace {
PortSource &currentSource()
{
    static PortSource source;
    return source;
}
} // namespace

void setPortSource(PortSource source)
{
    currentSource() = std::move(source);
}

QList<PortEntry> systemPorts()
{
    QList<PortEntry> ports;
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        ports.append({ info.portName(), info.vendorIdentifier(), info.productIdentifier() });
    return ports;
}

PortEntry simulatedAdapter(const QString &devicePath)
{
    return { devicePath, AdapterVendorId, AdapterProductId };
}

QStringList qualifyingPortNames(const QList<PortEntry> &ports)
{
    QStringList names;
    for (const PortEntry &port : ports) {
        if (port.vendorId == AdapterVendorId && port.productId == AdapterProductId)
            names.append(port.name);
    }
    return names;
}

QStringList qualifyingPortNames()
{
    return qualifyingPortNames(currentSource() ? currentSource()() : systemPorts());
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
