// TorvanBiasController: the Torvan bias controller as a TANGO device, so a
// facility's control system can monitor, archive, alarm on and script it.
//
//   TorvanBiasController INSTANCE                    with a TANGO database
//   TorvanBiasController INSTANCE -nodb -dlist a/b/c -ORBendPoint giop:tcp::PORT
#include "device.h"
#include "seriallink.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // For tests and demonstrations only: a pseudo-terminal (a simulated
    // controller) offered as the one adapter found, as the demo does.
    const QString simulated = qEnvironmentVariable("TORVAN_SIMULATED_ADAPTER");
    if (!simulated.isEmpty())
        Link::setPortSource(
            [simulated] { return QList<Link::PortEntry> { Link::simulatedAdapter(simulated) }; });
    return runDeviceServer(argc, argv);
}
