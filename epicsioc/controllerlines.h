#ifndef CONTROLLERLINES_H
#define CONTROLLERLINES_H

#include "bridge.h"

#include <dbScan.h>

#include <atomic>
#include <vector>

// The controllers the IOC's records serve: one bridge, on a thread of its
// own, per adapter that records name, however many records name it.
struct ControllerLine
{
    // What a snapshot's change has processed: the records of the block that
    // was read again, or, when the line's state changed, every record.
    enum Records { Currents, SetPoints, Coefficients, State, RecordsCount };

    Bridge *bridge = nullptr;
    QString adapter; // as chosen: "serial number A50285BI", "port /dev/ttyUSB0", ...
    IOSCANPVT records[RecordsCount] {};
    std::vector<dbCommon *> readings[RecordsCount]; // the records of each block
    // Whether a block's records are processed on the bridge's own thread.
    std::atomic_bool onBridgeThread[RecordsCount] {};
};

// Each record that reads a block, and each that writes to a controller, as
// the IOC initialises them.
void addReading(ControllerLine *line, ControllerLine::Records block, dbCommon *record);
void addWriting(dbCommon *record);

// The line of the adapter chosen, opened on first use (the first attempt
// waited for, later ones the bridge makes itself). Only while the IOC
// initialises its records.
ControllerLine *controllerLine(const Torvan::AdapterChoice &adapter);

// Once the IOC runs: every record shows what has been read so far, and from
// then on each block's records are processed on its bridge's thread, sparing
// a handoff to EPICS's callback thread at every poll; but not where one of
// them shares a lock set with a record that writes (linked by a facility's
// own records): a write holds its lock while it waits for a bridge, which
// would then wait for it. (A lock set joined later, by a link changed while
// the IOC runs, delays such a write until its wait runs out, and it fails.)
void processAllLines();

// Closes every line and ends its thread. Bridges stay allocated: the IOC's
// server threads, which may still be calling them, outlive main().
void closeAllLines();

#endif // CONTROLLERLINES_H
