// TorvanBiasController: the Torvan bias controller as a TANGO device, so a
// facility's control system can monitor, archive, alarm on and script it.
//
//   TorvanBiasController INSTANCE                    with a TANGO database
//   TorvanBiasController INSTANCE -nodb -dlist a/b/c -ORBendPoint giop:tcp::PORT
#include "controller.h"
#include "device.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // For tests and demonstrations only: simulated controllers offered as the
    // adapters found, as the demo does.
    Torvan::offerSimulatedAdapters();
    return runDeviceServer(argc, argv);
}
