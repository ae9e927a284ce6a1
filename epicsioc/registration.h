#ifndef REGISTRATION_H
#define REGISTRATION_H

struct dbBase;

// Generated at build time from torvan-ioc.dbd: EPICS Base's soft IOC's
// database definition with the controller's device support, includes read in.
extern const char iocDatabaseDefinition[];

// Hands the IOC's registries every record type, device support, link type,
// registrar and variable that the definition names.
void registerIocSupport(dbBase *database);

#endif // REGISTRATION_H
