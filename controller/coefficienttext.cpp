#include "coefficienttext.h"

#include "quantities.h"

#include <cmath>

namespace Torvan {

QString coefficientText(float value, const QLocale &locale)
{
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    // Six significant digits is the plain general format people expect ("100",
    // "1e+06"); where six do not identify the single-precision value, the first of
    // seven, eight or nine that does (nine always do). Fewer than six would turn
    // round numbers into exponents: 100 at one digit is "1e+02".
    // QLocale drops the sign of a negative zero; C's general format keeps it.
    if (value == 0.0f && std::signbit(value))
        return QStringLiteral("-0");
    QString text;
    for (int digits = 6; digits <= 9; ++digits) {
        // The exponent is written "e" as in C, whatever the locale's own symbol.
        text = plain.toString(double(value), 'g', digits)
                   .replace(plain.exponential(), QStringLiteral("e"));
        if (!std::isfinite(value) || parseCoefficient(text, locale) == value)
            break;
    }
    return text;
}

std::optional<float> parseCoefficient(const QString &text, const QLocale &locale)
{
    const std::optional<double> number = parseNumber(text, locale);
    // Infinity and NaN are no calibration; nor is a number too large for single
    // precision, which would go out as infinity.
    if (!number || !std::isfinite(*number) || std::isinf(float(*number)))
        return std::nullopt;
    return float(*number);
}

} // namespace Torvan
