#ifndef QUANTITIES_H
#define QUANTITIES_H

#include "protocol.h"

#include <QLocale>
#include <QString>

#include <optional>

// What the controller's numbers are: the set-points' range and precision, the
// names of the eight slots of each kind, and how a person reads them.
namespace Torvan {

constexpr double SetPointMinVolts = 0.0;
constexpr double SetPointMaxVolts = 2.5;
constexpr int SetPointDecimals = 3; // as the window's spin boxes show them

QString adapterIdText(); // the adapter's USB id, "0403:6001"

// How often every front end reads the currents while it watches a controller.
constexpr int PollIntervalMs = 400;

bool isSetPointInRange(double volts); // false for NaN too
QString setPointRangeText(); // "0 to 2.5 V"
double roundedSetPoint(double volts); // to the window's three decimals

QString setPointName(int slot); // Vc0, Vb0, ... Vb3
QString currentName(int slot); // Ic0, Ib0, ... Ib3
QString coefficientName(int slot); // IC0, IB0, ... IB3

// Calibration and set-points are compared exactly: NaN payloads and the sign
// of zero count, as they do on the wire.
bool sameBits(float a, float b);

// Two current readings taken moments apart agree when every slot is the same
// to within the drift of a load (5 %, and 10 uA near zero). Set-points and
// coefficients, a hundredfold and more above any current, never pass for them.
bool currentsAgree(const Link::ValueBlock &first, const Link::ValueBlock &second);

// A number as a person types it: in the locale's notation or with a plain
// point, and never with a thousands separator, which would turn the other
// notation's decimal mark into one ("0.995" read as 995 in German). Nothing
// for text that is not a whole number.
std::optional<double> parseNumber(const QString &text, const QLocale &locale);

QString voltsText(float volts); // "1.250"
double milliamps(float amperes);
QString milliampsText(float amperes); // "12.35", from amperes

} // namespace Torvan

#endif // QUANTITIES_H
