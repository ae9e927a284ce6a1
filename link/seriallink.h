#ifndef SERIALLINK_H
#define SERIALLINK_H

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QSerialPort;

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
};

// Where the port list comes from. The default enumerates the system's serial
// ports; the demo and the tests install a source that adds a simulated
// controller's pseudo-terminal. An empty function restores the default.
using PortSource = std::function<QList<PortEntry>()>;
// A simulated controller's pseudo-terminal, listed as the adapter it stands in for.
PortEntry simulatedAdapter(const QString &devicePath);
void setPortSource(PortSource source);
QList<PortEntry> systemPorts();

// Names of the adapters the controller sits behind, in enumeration order.
QStringList qualifyingPortNames(const QList<PortEntry> &ports);
QStringList qualifyingPortNames();

// Name, 115200 baud both ways, then open read-write; returns the open's result.
// An open port's LineWatch (linewatch.h) tells when its line is lost.
bool openLink(QSerialPort *port, const QString &portName);
void closeLink(QSerialPort *port);

} // namespace Link

#endif // SERIALLINK_H
