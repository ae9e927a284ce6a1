// Device support "Torvan": records on a controller's bridge. A record's link
// names what it serves and the adapter, as the templates write it:
//
//   field(INP, "@Ic0 serial=A50285BI port=")
//
// Readings (ai, bi, lsi) are processed by I/O Intr from the bridge's snapshot
// and show only what the controller sent, with the time of its reply; while
// the line is down every reading is in INVALID alarm, COMM. Writes (ao, bo)
// run while the record is processed and hold its lock until the controller
// has read back what was sent, so no client ever reads a set-point the
// controller did not take; a write that failed leaves the record in INVALID
// alarm, WRITE, showing what the controller holds.
#include "controllerlines.h"
#include "quantities.h"

#include <aiRecord.h>
#include <alarm.h>
#include <aoRecord.h>
#include <biRecord.h>
#include <boRecord.h>
#include <dbAccess.h>
#include <devSup.h>
#include <errlog.h>
#include <lsiRecord.h>
#include <recGbl.h>

#include <epicsExport.h>

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace {

enum class Quantity { SetPoint, Current, Coefficient, State, Status, Adapter, WriteEeprom };

// What a record serves, kept as its dpvt.
struct Served
{
    ControllerLine *line;
    Quantity quantity;
    int slot; // of the set-points, currents or coefficients
};

std::optional<std::pair<Quantity, int>> quantityNamed(const QString &name)
{
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        if (name == Torvan::setPointName(slot))
            return std::pair { Quantity::SetPoint, slot };
        if (name == Torvan::currentName(slot))
            return std::pair { Quantity::Current, slot };
        if (name == QStringLiteral("Coef") + Torvan::coefficientName(slot))
            return std::pair { Quantity::Coefficient, slot };
    }
    const std::pair<const char *, Quantity> others[] = { { "State", Quantity::State },
                                                         { "Status", Quantity::Status },
                                                         { "Adapter", Quantity::Adapter },
                                                         { "WriteEeprom", Quantity::WriteEeprom } };
    for (const auto &[text, quantity] : others) {
        if (name == QLatin1String(text))
            return std::pair { quantity, 0 };
    }
    return std::nullopt;
}

// Has the record serve its link's quantity on the line of the adapter the link
// names; a link that names what the record type does not serve, or names it
// otherwise, is an error, reported.
long serve(dbCommon *record, const DBLINK &link, std::initializer_list<Quantity> served)
{
    const auto fail = [record](const QString &why) {
        recGblRecordError(S_db_badField, record, why.toUtf8().constData());
        return S_db_badField;
    };
    if (link.type != INST_IO)
        return fail(QStringLiteral("a Torvan record's link is \"@QUANTITY serial=... port=...\""));
    const QStringList words
        = QString::fromUtf8(link.value.instio.string).split(u' ', Qt::SkipEmptyParts);
    const auto named = quantityNamed(words.value(0));
    if (!named || std::find(served.begin(), served.end(), named->first) == served.end())
        return fail(QStringLiteral("\"%1\" is not served by this record type").arg(words.value(0)));
    Torvan::AdapterChoice adapter;
    for (const QString &word : words.mid(1)) {
        if (word.startsWith(QLatin1String("serial=")))
            adapter.serialNumber = word.section(u'=', 1);
        else if (word.startsWith(QLatin1String("port=")))
            adapter.port = word.section(u'=', 1);
        else
            return fail(
                QStringLiteral("\"%1\": only serial= and port= name the adapter").arg(word));
    }
    record->dpvt = new Served { controllerLine(adapter), named->first, named->second };
    return 0;
}

const Served &servedBy(const dbCommon *record)
{
    return *static_cast<const Served *>(record->dpvt);
}

ControllerLine::Records recordsOf(Quantity quantity)
{
    switch (quantity) {
    case Quantity::SetPoint:
        return ControllerLine::SetPoints;
    case Quantity::Current:
        return ControllerLine::Currents;
    case Quantity::Coefficient:
        return ControllerLine::Coefficients;
    default:
        return ControllerLine::State;
    }
}

// Has a reading serve its link's quantity, as one of its block's records.
long serveReading(dbCommon *record, const DBLINK &link, std::initializer_list<Quantity> served)
{
    if (const long status = serve(record, link, served))
        return status;
    addReading(servedBy(record).line, recordsOf(servedBy(record).quantity), record);
    return 0;
}

// Has a record that writes to the controller serve its link's quantity.
long serveWriting(dbCommon *record, const DBLINK &link, std::initializer_list<Quantity> served)
{
    if (const long status = serve(record, link, served))
        return status;
    addWriting(record);
    return 0;
}

long ioInterruptInfo(int, dbCommon *record, IOSCANPVT *records)
{
    const Served &served = servedBy(record);
    *records = served.line->records[recordsOf(served.quantity)];
    return 0;
}

const Bridge::Reading &readingOf(const Bridge::Snapshot &s, Quantity quantity)
{
    return quantity == Quantity::SetPoint ? s.setPoints
        : quantity == Quantity::Current   ? s.currents
                                          : s.coefficients;
}

// The value the controller last sent for what the record serves, in its
// unit; NaN (undefined) before any.
double heldValue(const Served &served, const Bridge::Snapshot &s)
{
    const Bridge::Reading &reading = readingOf(s, served.quantity);
    if (reading.atMs < 0)
        return NAN;
    const float raw = reading.values[served.slot];
    return served.quantity == Quantity::Current ? Torvan::milliamps(raw) : double(raw);
}

epicsTimeStamp timeOf(qint64 msSinceEpoch)
{
    const timespec since = { time_t(msSinceEpoch / 1000), long(msSinceEpoch % 1000) * 1000000 };
    epicsTimeStamp stamp;
    epicsTimeFromTimespec(&stamp, &since);
    return stamp;
}

void alarmIfDown(dbCommon *record, const Bridge::Snapshot &s)
{
    if (!s.on)
        recGblSetSevr(record, COMM_ALARM, INVALID_ALARM);
}

// ai: a set-point's or a coefficient's readback, or a current in mA.

long initAi(dbCommon *record)
{
    auto *const ai = reinterpret_cast<aiRecord *>(record);
    return serveReading(record, ai->inp,
                        { Quantity::SetPoint, Quantity::Current, Quantity::Coefficient });
}

long readAi(aiRecord *record)
{
    const Served &served = servedBy(reinterpret_cast<dbCommon *>(record));
    const Bridge::Snapshot s = served.line->bridge->snapshot();
    const Bridge::Reading &reading = readingOf(s, served.quantity);
    record->val = heldValue(served, s);
    if (reading.atMs >= 0)
        record->time = timeOf(reading.atMs);
    else
        epicsTimeGetCurrent(&record->time);
    alarmIfDown(reinterpret_cast<dbCommon *>(record), s);
    return 2; // VAL is set: no conversion
}

// ao: a set-point in V, or a coefficient.

long initAo(dbCommon *record)
{
    auto *const ao = reinterpret_cast<aoRecord *>(record);
    if (const long status
        = serveWriting(record, ao->out, { Quantity::SetPoint, Quantity::Coefficient }))
        return status;
    // Starts from what the controller holds, if it was reached by now.
    ao->val = heldValue(servedBy(record), servedBy(record).line->bridge->snapshot());
    ao->udf = std::isnan(ao->val);
    return 2;
}

// The value asked for, sent, and read back; the value the controller then
// holds (as the single-precision number it keeps), or why not.
Torvan::Result<double> sendAndReadBack(const Served &served, double asked)
{
    Bridge &bridge = *served.line->bridge;
    if (served.quantity == Quantity::SetPoint) {
        if (!Torvan::isSetPointInRange(asked))
            return Torvan::Failure { Torvan::Failure::NotSent,
                                     QStringLiteral("%1 V is outside %2; nothing was sent")
                                         .arg(asked)
                                         .arg(Torvan::setPointRangeText()) };
        const double rounded = Torvan::roundedSetPoint(asked);
        if (const auto done = bridge.setPoint(served.slot, rounded); !done)
            return done.failure();
        return double(float(rounded));
    }
    if (!std::isfinite(asked))
        return Torvan::Failure { Torvan::Failure::NotSent,
                                 QStringLiteral(
                                     "a coefficient must be a finite number; nothing was sent") };
    if (const auto done = bridge.setCoefficient(served.slot, float(asked)); !done)
        return done.failure();
    return double(float(asked));
}

void reportFailure(dbCommon *record, const Torvan::Failure &failure)
{
    errlogPrintf("%s: %s\n", record->name, failure.message.toUtf8().constData());
    recGblSetSevr(record, WRITE_ALARM, INVALID_ALARM);
}

long writeAo(aoRecord *record)
{
    auto *const common = reinterpret_cast<dbCommon *>(record);
    const Served &served = servedBy(common);
    const auto held = sendAndReadBack(served, record->oval);
    if (held) {
        record->val = *held;
    } else {
        reportFailure(common, held.failure());
        record->val = heldValue(served, served.line->bridge->snapshot());
    }
    record->oval = record->val;
    record->udf = std::isnan(record->val);
    return 0;
}

// bi: whether replies come.

long initBi(dbCommon *record)
{
    return serveReading(record, reinterpret_cast<biRecord *>(record)->inp, { Quantity::State });
}

long readBi(biRecord *record)
{
    const Served &served = servedBy(reinterpret_cast<dbCommon *>(record));
    record->val = served.line->bridge->snapshot().on ? 1 : 0;
    record->udf = false;
    return 2;
}

// bo: WriteEeprom; 1 has the controller store its settings, and the record
// goes back to 0 once the frame is sent.

long initBo(dbCommon *record)
{
    auto *const bo = reinterpret_cast<boRecord *>(record);
    if (const long status = serveWriting(record, bo->out, { Quantity::WriteEeprom }))
        return status;
    bo->val = 0;
    bo->udf = false;
    return 2;
}

long writeBo(boRecord *record)
{
    if (record->val == 0)
        return 0;
    const Served &served = servedBy(reinterpret_cast<dbCommon *>(record));
    if (const auto done = served.line->bridge->commit(); !done)
        reportFailure(reinterpret_cast<dbCommon *>(record), done.failure());
    record->val = 0;
    return 0;
}

// lsi: the status in words, or the adapter as chosen.

long initLsi(dbCommon *record)
{
    return serveReading(record, reinterpret_cast<lsiRecord *>(record)->inp,
                        { Quantity::Status, Quantity::Adapter });
}

long readLsi(lsiRecord *record)
{
    const Served &served = servedBy(reinterpret_cast<dbCommon *>(record));
    const QString text = served.quantity == Quantity::Status
        ? served.line->bridge->snapshot().status
        : served.line->adapter;
    const QByteArray utf8 = text.toUtf8().left(record->sizv - 1);
    std::memcpy(record->val, utf8.constData(), size_t(utf8.size()) + 1);
    record->len = epicsUInt32(utf8.size()) + 1;
    record->udf = false;
    return 0;
}

aidset devTorvanAi = { { 6, nullptr, nullptr, initAi, ioInterruptInfo }, readAi, nullptr };
aodset devTorvanAo = { { 6, nullptr, nullptr, initAo, nullptr }, writeAo, nullptr };
bidset devTorvanBi = { { 5, nullptr, nullptr, initBi, ioInterruptInfo }, readBi };
bodset devTorvanBo = { { 5, nullptr, nullptr, initBo, nullptr }, writeBo };
lsidset devTorvanLsi = { { 5, nullptr, nullptr, initLsi, ioInterruptInfo }, readLsi };

} // namespace

extern "C" {
epicsExportAddress(dset, devTorvanAi);
epicsExportAddress(dset, devTorvanAo);
epicsExportAddress(dset, devTorvanBi);
epicsExportAddress(dset, devTorvanBo);
epicsExportAddress(dset, devTorvanLsi);
}
