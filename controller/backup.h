#ifndef BACKUP_H
#define BACKUP_H

#include "protocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// A controller's settings as a JSON document a lab keeps: the eight voltage
// set-points and the eight calibration coefficients, each exact to the bit.
namespace Backup {

constexpr int FormatVersion = 1;

struct Contents
{
    QDateTime time;
    QString port;
    Link::ValueBlock setPoints {};
    Link::ValueBlock coefficients {};
};

QByteArray toJson(const Contents &contents);

// Why restore would refuse these contents (a set-point out of range,
// the field named), or nothing: backup writes no file that cannot be restored.
std::optional<QString> unrestorable(const Contents &contents);

// The value's four bytes as the controller sends them, in hex: exact to the
// bit for every value, NaN and infinity included.
QString bytesText(float value);

// The whole document checked before anything is used: on the first fault,
// nothing, and error names the field and what is wrong with it.
std::optional<Contents> fromJson(const QByteArray &json, QString *error);

} // namespace Backup

#endif // BACKUP_H
