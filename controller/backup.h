#ifndef BACKUP_H
#define BACKUP_H

#include "protocol.h"
#include "result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// A controller's settings as a JSON document a lab keeps: the eight voltage
// set-points and the eight calibration coefficients, each exact to the bit.
namespace Backup {

// Version 2 added the adapter's serial number; version 1 files still restore.
constexpr int FormatVersion = 2;

struct Contents
{
    QDateTime time;
    QString port;
    QString serialNumber; // the adapter's USB serial number; empty where it had none
    Link::ValueBlock setPoints {};
    Link::ValueBlock coefficients {};
};

QByteArray toJson(const Contents &contents);

// Whether restore would take these contents, or why not (a set-point out of
// range, the field named): backup writes no file that cannot be restored.
Torvan::Done restorable(const Contents &contents);

// The value's four bytes as the controller sends them, in hex: exact to the
// bit for every value, NaN and infinity included.
QString bytesText(float value);

// The whole document checked before anything is used: on the first fault,
// a BadBackup failure that names the field and what is wrong with it.
Torvan::Result<Contents> fromJson(const QByteArray &json);

} // namespace Backup

#endif // BACKUP_H
