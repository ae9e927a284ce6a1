#include "ioc.h"

#include "controllerlines.h"
#include "registration.h"

#include <dbAccess.h>
#include <dbLoadTemplate.h>
#include <dbStaticLib.h>
#include <errlog.h>
#include <initHooks.h>
#include <iocInit.h>
#include <iocsh.h>
#include <iocshRegisterCommon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Records scanned on I/O Intr process only from the IOC's start on: each then
// shows what its controller's bridge has read by then.
void onInitStep(initHookState state)
{
    if (state == initHookAfterIocRunning)
        processAllLines();
}

bool loadDefinition()
{
    FILE *const definition = fmemopen(const_cast<char *>(iocDatabaseDefinition),
                                      std::strlen(iocDatabaseDefinition), "r");
    // Closes the file, whatever it returns.
    return definition && dbReadDatabaseFP(&pdbbase, definition, nullptr, nullptr) == 0;
}

bool load(const Ioc::Step &step)
{
    const QByteArray file = step.file.toLocal8Bit();
    const QByteArray macros = step.macros.toUtf8();
    switch (step.kind) {
    case Ioc::Step::Database:
        return dbLoadRecords(file.constData(), macros.constData()) == 0;
    case Ioc::Step::Substitutions:
        return dbLoadTemplate(file.constData(), macros.constData()) == 0;
    case Ioc::Step::Script:
        return iocsh(file.constData()) == 0;
    }
    return false;
}

} // namespace

bool Ioc::start(const QList<Step> &steps)
{
    // Templates named without a folder are found where they are installed.
    setenv("EPICS_DB_INCLUDE_PATH", ".:" TORVAN_IOC_DB_DIR, 0);
    if (!loadDefinition()) {
        errlogPrintf("torvan-ioc: the IOC's database definition did not load\n");
        return false;
    }
    registerIocSupport(pdbbase);
    iocshRegisterCommon();
    initHookRegister(onInitStep);
    for (const Step &step : steps) {
        if (!load(step))
            return false;
    }
    return getIocState() != iocVoid || iocInit() == 0;
}

void Ioc::stop()
{
    iocShutdown();
    closeAllLines();
    errlogFlush();
}
