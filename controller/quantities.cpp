#include "quantities.h"

#include "seriallink.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Torvan {

using namespace Link;

QString adapterIdText()
{
    return QStringLiteral("%1:%2")
        .arg(Link::AdapterVendorId, 4, 16, QLatin1Char('0'))
        .arg(Link::AdapterProductId, 4, 16, QLatin1Char('0'));
}

namespace {

QString slotName(const char *c, const char *b, int slot)
{
    return QLatin1String(slot % 2 ? b : c) + QString::number(slot / 2);
}

} // namespace

bool isSetPointInRange(double volts)
{
    return volts >= SetPointMinVolts && volts <= SetPointMaxVolts;
}

QString setPointRangeText()
{
    return QStringLiteral("%1 to %2 V").arg(SetPointMinVolts).arg(SetPointMaxVolts);
}

double roundedSetPoint(double volts)
{
    return QString::number(volts, 'f', SetPointDecimals).toDouble();
}

QString setPointName(int slot)
{
    return slotName("Vc", "Vb", slot);
}

QString currentName(int slot)
{
    return slotName("Ic", "Ib", slot);
}

QString coefficientName(int slot)
{
    return slotName("IC", "IB", slot);
}

bool currentsAgree(const Link::ValueBlock &first, const Link::ValueBlock &second)
{
    constexpr double Drift = 0.05;
    constexpr double NearZeroAmperes = 1e-5; // the last digit the window shows
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        const double a = first[slot];
        const double b = second[slot];
        if (!sameBits(first[slot], second[slot])
            && !(std::abs(a - b) <= Drift * std::max(std::abs(a), std::abs(b)) + NearZeroAmperes))
            return false;
    }
    return true;
}

bool sameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::optional<double> parseNumber(const QString &text, const QLocale &locale)
{
    for (QLocale reading : { locale, QLocale::c() }) {
        reading.setNumberOptions(reading.numberOptions() | QLocale::RejectGroupSeparator);
        bool ok = false;
        const double number = reading.toDouble(text, &ok);
        if (ok)
            return number;
    }
    return std::nullopt;
}

QString voltsText(float volts)
{
    return QString::number(double(volts), 'f', SetPointDecimals);
}

double milliamps(float amperes)
{
    return double(amperes) * 1000;
}

QString milliampsText(float amperes)
{
    return QString::number(milliamps(amperes), 'f', 2);
}

} // namespace Torvan
