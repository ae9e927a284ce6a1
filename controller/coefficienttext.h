#ifndef COEFFICIENTTEXT_H
#define COEFFICIENTTEXT_H

#include <QLocale>
#include <QString>

#include <optional>

// Calibration coefficients as text a person reads and edits. They are calibration
// data: the text shown for a coefficient reads back as exactly the number the
// controller holds, so reading and writing them back loses nothing.
namespace Torvan {

// The general-notation text with six significant digits when that parses back to
// exactly this single-precision value, otherwise the shortest with seven to nine
// that does; in the locale's own notation and without group separators: 1 shows
// as "1", 100 as "100", 0.000012345 as "1.2345e-05", 1.2345678 as "1.2345678".
QString coefficientText(float value, const QLocale &locale);

// The number that text holds, read as parseNumber() reads it; nothing for an
// empty, half-typed or non-numeric text, for infinity and NaN, and for a number
// too large for single precision.
std::optional<float> parseCoefficient(const QString &text, const QLocale &locale);

} // namespace Torvan

#endif // COEFFICIENTTEXT_H
