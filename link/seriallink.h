#ifndef SERIALLINK_H
#define SERIALLINK_H

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QSerialPort;

namespace Link {
class NetworkLine;
}

// Which serial ports the tool offers, and how it opens the one it talks through.
namespace Link {

constexpr quint16 AdapterVendorId = 0x0403; // FTDI
constexpr quint16 AdapterProductId = 0x6001; // its single-channel USB-UART bridge
constexpr qint32 BaudRate = 115200;

struct PortEntry
{
    QString name;
    quint16 vendorId = 0; // 0: the port reports no USB identifiers
    quint16 productId = 0;
    QString serialNumber; // the adapter's USB serial number; empty where it has none
};

// The serial number as the adapter carries it, whichever system reported it.
// Windows knows an FTDI adapter by an instance id of FTDI's driver, from which
// Qt takes the serial number with the driver's channel letter appended
// ("A50285BIA" for A50285BI), or, for an adapter without one, the USB
// location ("5&2a3f1b&0&2").
QString adapterSerialNumber(const QString &reported, bool fromFtdiDriver);

// Where the port list comes from. The default enumerates the system's serial
// ports; the demo and the tests install a source that adds a simulated
// controller's pseudo-terminal. An empty function restores the default.
using PortSource = std::function<QList<PortEntry>()>;
// A simulated controller's pseudo-terminal, listed as the adapter it stands in for.
PortEntry simulatedAdapter(const QString &devicePath, const QString &serialNumber = {});
void setPortSource(PortSource source);
// For tests and demonstrations: what TORVAN_SIMULATED_ADAPTER names, if set,
// becomes the port source. Either one pseudo-terminal, listed as an adapter
// without a serial number, or a file of lines "DEVICE [SERIAL]", read afresh at
// every enumeration, so a test can unplug and plug adapters by editing it.
void offerSimulatedAdapters();
QList<PortEntry> systemPorts();
// The ports as the current source lists them.
QList<PortEntry> ports();

bool qualifies(const PortEntry &port);
// Names of the adapters the controller sits behind, in enumeration order.
QStringList qualifyingPortNames(const QList<PortEntry> &ports);
QStringList qualifyingPortNames();
// The qualifying adapters that report this serial number: one, or a fault.
QStringList portsWithSerialNumber(const QList<PortEntry> &ports, const QString &serialNumber);
// The device a port name stands for, as QSerialPort finds it: "ttyUSB0",
// "/dev/ttyUSB0", a udev link such as /dev/torvan/SERIAL or one under
// /dev/serial/by-id/, and "./link" all name the device node they lead to.
QString resolvedDevice(const QString &portName);
// The serial number of the port with this name (or any name of its device),
// if listed.
QString serialNumberOf(const QList<PortEntry> &ports, const QString &portName);

// Name, 115200 baud both ways, then open read-write; returns the open's result.
// One adapter has one owner, whatever name each uses for it: the open fails,
// with inUse set, where another program of this project holds the line.
// An open port's LineWatch (linewatch.h) tells when its line is lost.
bool openLink(QSerialPort *port, const QString &portName, bool *inUse = nullptr);
void closeLink(QSerialPort *port);

// A controller behind a serial-to-Ethernet terminal server, reached by its
// address: "tcp://HOST:PORT" is a raw connection, whose bytes are the line's;
// "rfc2217://HOST:PORT" speaks Telnet with the Com Port Control option, which
// sets the line to 115200 8N1 at the far end. The address names the
// instrument as a USB serial number does.
bool isNetworkAddress(const QString &name);
// The address in one spelling (scheme and host in lower case), or empty if
// name is none, or is malformed.
QString normalizedAddress(const QString &name);
// Connects and, for rfc2217://, negotiates (networkline.h); then watched as a
// serial port is. False, with the line's errorString() saying why, if it cannot.
bool openLink(NetworkLine *line, const QString &address);

} // namespace Link

#endif // SERIALLINK_H
