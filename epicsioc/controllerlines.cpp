#include "controllerlines.h"

#include "quantities.h"

#include <QThread>

#include <callback.h>
#include <dbLock.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

namespace {

// Never destroyed: see closeAllLines().
std::map<QString, ControllerLine *> &lines()
{
    static auto *const opened = new std::map<QString, ControllerLine *>;
    return *opened;
}

QString adapterText(const Torvan::AdapterChoice &adapter)
{
    if (!adapter.serialNumber.isEmpty())
        return QStringLiteral("serial number %1").arg(adapter.serialNumber);
    if (!adapter.port.isEmpty())
        return QStringLiteral("port %1").arg(adapter.port);
    return QStringLiteral("the one adapter with USB id %1").arg(Torvan::adapterIdText());
}

std::vector<dbCommon *> &writings()
{
    static auto *const records = new std::vector<dbCommon *>;
    return *records;
}

void process(ControllerLine *line, ControllerLine::Records block)
{
    if (!line->onBridgeThread[block]) {
        scanIoRequest(line->records[block]);
        return;
    }
    for (int priority = 0; priority < NUM_CALLBACK_PRIORITIES; ++priority)
        scanIoImmediate(line->records[block], priority);
}

void processAll(ControllerLine *line)
{
    for (int block = 0; block < ControllerLine::RecordsCount; ++block)
        process(line, ControllerLine::Records(block));
}

bool sharesLockWithAWriting(const std::vector<dbCommon *> &readings)
{
    std::set<unsigned long> locks;
    for (dbCommon *writing : writings())
        locks.insert(dbLockGetLockId(writing));
    return std::any_of(readings.begin(), readings.end(),
                       [&](dbCommon *reading) { return locks.count(dbLockGetLockId(reading)); });
}

// On the bridge's thread: each new reading processes its own block's
// records; a change of state processes them all, so that every reading
// takes its alarm at once. The bridge calls a copy of its observer, so what
// was seen last is kept apart from it.
void observe(ControllerLine *line)
{
    auto last = std::make_shared<Bridge::Snapshot>();
    line->bridge->setObserver([line, last](const Bridge::Snapshot &s) {
        if (s.on != last->on || s.status != last->status) {
            processAll(line);
        } else {
            if (s.currents.atMs != last->currents.atMs)
                process(line, ControllerLine::Currents);
            if (s.setPoints.atMs != last->setPoints.atMs)
                process(line, ControllerLine::SetPoints);
            if (s.coefficients.atMs != last->coefficients.atMs)
                process(line, ControllerLine::Coefficients);
        }
        *last = s;
    });
}

} // namespace

ControllerLine *controllerLine(const Torvan::AdapterChoice &adapter)
{
    const QString text = adapterText(adapter);
    ControllerLine *&line = lines()[text];
    if (line)
        return line;
    const QString howToChoose = QStringLiteral("the macros SERIAL and PORT choose the adapter");
    line = new ControllerLine;
    line->bridge = new Bridge(howToChoose);
    line->adapter = text;
    for (IOSCANPVT &records : line->records)
        scanIoInit(&records);
    auto *const thread = new QThread;
    thread->setObjectName(adapter.label().isEmpty() ? QStringLiteral("torvan") : adapter.label());
    thread->start();
    line->bridge->moveToThread(thread);
    observe(line);
    // A failure shows in the state and status, and the bridge keeps trying.
    line->bridge->open(adapter);
    return line;
}

void addReading(ControllerLine *line, ControllerLine::Records block, dbCommon *record)
{
    line->readings[block].push_back(record);
}

void addWriting(dbCommon *record)
{
    writings().push_back(record);
}

void processAllLines()
{
    for (const auto &[text, line] : lines()) {
        for (int block = 0; block < ControllerLine::RecordsCount; ++block)
            line->onBridgeThread[block] = !sharesLockWithAWriting(line->readings[block]);
        processAll(line);
    }
}

void closeAllLines()
{
    for (const auto &[text, line] : lines()) {
        line->bridge->setObserver(nullptr);
        line->bridge->finish();
    }
}
