#ifndef CONTROLLERLINES_H
#define CONTROLLERLINES_H

#include "bridge.h"

#include <dbScan.h>

// The controllers the IOC's records serve: one bridge, on a thread of its
// own, per adapter that records name, however many records name it.
struct ControllerLine
{
    // What a snapshot's change has processed: the records of the block that
    // was read again, or, when the line's state changed, every record.
    enum Records { Currents, SetPoints, Coefficients, State, RecordsCount };

    Bridge *bridge;
    QString adapter; // as chosen: "serial number A50285BI", "port /dev/ttyUSB0", ...
    IOSCANPVT records[RecordsCount];
};

// The line of the adapter chosen, opened on first use (the first attempt
// waited for, later ones the bridge makes itself). Only while the IOC
// initialises its records.
ControllerLine *controllerLine(const Torvan::AdapterChoice &adapter);

// Once the IOC runs: every record shows what has been read so far.
void processAllLines();

// Closes every line and ends its thread. Bridges stay allocated: the IOC's
// server threads, which may still be calling them, outlive main().
void closeAllLines();

#endif // CONTROLLERLINES_H
