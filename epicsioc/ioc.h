#ifndef IOC_H
#define IOC_H

#include <QList>
#include <QString>

// EPICS Base's side of torvan-ioc: its database of records, on the
// controllers' lines, and its Channel Access server.
namespace Ioc {

// What the IOC loads, in the order given.
struct Step
{
    enum Kind {
        Database, // a database or template (dbLoadRecords), with the macros
        Substitutions, // a substitutions file (dbLoadTemplate), with the macros as defaults
        Script, // an iocsh startup script (st.cmd)
    };
    Kind kind;
    QString file;
    QString macros; // "P=LAB:BIAS1:,SERIAL=A50285BI"
};

// Registers what the IOC's database definition names, loads the steps and
// starts the IOC (unless a script did, with iocInit). False once a step or
// the start failed; EPICS has said why.
bool start(const QList<Step> &steps);

// Stops scanning, then closes every controller's line.
void stop();

} // namespace Ioc

#endif // IOC_H
