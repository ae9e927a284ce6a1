#ifndef DEVICE_H
#define DEVICE_H

// Runs the TANGO device server TorvanBiasController, a device per controller:
// TANGO's own threads serve clients, each device's controller has a thread of
// its own, and the calling thread runs the application's event loop. Returns
// the process's exit status.
int runDeviceServer(int argc, char *argv[]);

#endif // DEVICE_H
