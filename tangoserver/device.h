#ifndef DEVICE_H
#define DEVICE_H

class Bridge;

// Runs the TANGO device server TorvanBiasController for the bridge's
// controller: TANGO's own threads serve clients, the calling (Qt) thread runs
// the event loop. Returns the process's exit status.
int runDeviceServer(int argc, char *argv[], Bridge &bridge);

#endif // DEVICE_H
