#include "backup.h"

#include "coefficienttext.h"
#include "quantities.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <cmath>

namespace Backup {

namespace {

const QLatin1String FormatName("torvan-controller-backup");

using Torvan::coefficientName;
using Torvan::sameBits;
using Torvan::setPointName;

Torvan::Done setPointInRange(const QString &field, float volts)
{
    if (Torvan::isSetPointInRange(volts))
        return {};
    return Torvan::Failure { Torvan::Failure::BadBackup,
                             QStringLiteral("%1: %2 V is outside %3")
                                 .arg(field)
                                 .arg(double(volts))
                                 .arg(Torvan::setPointRangeText()) };
}

std::optional<float> floatFromBytes(const QString &hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    if (hex.size() != 8 || bytes.size() != 4 || bytes.toHex() != hex.toLower().toLatin1())
        return std::nullopt;
    return qFromLittleEndian<float>(bytes.constData());
}

// Reads the document's parts, keeping the first fault it finds.
class Reader
{
public:
    QString error;

    bool ok() const { return error.isEmpty(); }

    void fail(const QString &message)
    {
        if (error.isEmpty())
            error = message;
    }

    // A list of exactly eight entries.
    QJsonArray eight(const QJsonObject &document, const QString &key)
    {
        const QJsonValue value = document.value(key);
        if (!value.isArray()) {
            fail(QStringLiteral("%1: missing, or not a list").arg(key));
            return {};
        }
        const QJsonArray array = value.toArray();
        if (array.size() != Link::SlotCount) {
            fail(QStringLiteral("%1: %2 entries, not %3")
                     .arg(key)
                     .arg(array.size())
                     .arg(Link::SlotCount));
            return {};
        }
        return array;
    }

    // The entry at slot, which must carry the slot's name.
    QJsonObject entry(const QJsonArray &array, const QString &key, int slot, const QString &name)
    {
        const QJsonObject object = array.at(slot).toObject();
        if (object.value(QLatin1String("name")).toString() != name)
            fail(QStringLiteral("%1[%2]: expected the entry named \"%3\"")
                     .arg(key)
                     .arg(slot)
                     .arg(name));
        return object;
    }

    // A finite number that fits single precision; field names it in a fault.
    float number(const QJsonObject &object, const QString &key, const QString &field)
    {
        const QJsonValue value = object.value(key);
        if (!value.isDouble()) {
            fail(QStringLiteral("%1: not a number").arg(field));
            return 0.0f;
        }
        const double number = value.toDouble();
        if (!std::isfinite(number) || std::isinf(float(number))) {
            fail(QStringLiteral("%1: %2 does not fit single precision").arg(field).arg(number));
            return 0.0f;
        }
        return float(number);
    }

    // When the entry gives the bytes (older files do not), they must hold
    // exactly the value read from its other fields.
    void sameAsBytes(const QJsonObject &object, float value, const QString &field)
    {
        if (!ok() || !object.contains(QLatin1String("bytes")))
            return;
        const auto exact = floatFromBytes(object.value(QLatin1String("bytes")).toString());
        if (!exact)
            fail(QStringLiteral("%1.bytes: not four bytes in hex").arg(field));
        else if (!sameBits(*exact, value))
            fail(QStringLiteral("%1: bytes %2 do not hold %3")
                     .arg(field, bytesText(*exact), bytesText(value)));
    }

    // The whole document, of this format and version; empty on a fault.
    QJsonObject document(const QByteArray &json)
    {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            fail(QStringLiteral("not a whole JSON document (%1 at byte %2)")
                     .arg(parseError.errorString())
                     .arg(parseError.offset));
            return {};
        }
        const QJsonObject root = document.object();
        const QJsonValue version = root.value("version");
        if (!document.isObject() || root.value("format").toString() != FormatName)
            fail(QStringLiteral("format: not a torvan controller backup"));
        else if (!version.isDouble() || version.toDouble() != std::floor(version.toDouble()))
            fail(QStringLiteral("version: missing, or not a whole number"));
        else if (version.toInt() < 1 || version.toInt() > FormatVersion)
            fail(QStringLiteral("version: %1, but only versions 1 to %2 can be read")
                     .arg(version.toInt())
                     .arg(FormatVersion));
        return ok() ? root : QJsonObject();
    }

    // From version 2 on: the adapter's serial number, empty where it had none.
    QString serialNumber(const QJsonObject &root)
    {
        if (!ok() || root.value("version").toInt() < 2)
            return {};
        const QJsonValue value = root.value("serialNumber");
        if (!value.isString())
            fail(QStringLiteral("serialNumber: missing, or not a text"));
        return value.toString();
    }

    Link::ValueBlock setPoints(const QJsonObject &root)
    {
        Link::ValueBlock volts {};
        const QJsonArray entries = ok() ? eight(root, "setPoints") : QJsonArray();
        for (int slot = 0; slot < entries.size() && ok(); ++slot) {
            const QString name = setPointName(slot);
            const QJsonObject entry = this->entry(entries, "setPoints", slot, name);
            const QString field = QStringLiteral("setPoints.%1.volts").arg(name);
            volts[slot] = number(entry, "volts", field);
            if (const auto inRange = setPointInRange(field, volts[slot]); ok() && !inRange)
                fail(inRange.failure().message);
            sameAsBytes(entry, volts[slot], QStringLiteral("setPoints.%1").arg(name));
        }
        return volts;
    }

    Link::ValueBlock coefficients(const QJsonObject &root)
    {
        Link::ValueBlock values {};
        const QJsonArray entries = ok() ? eight(root, "coefficients") : QJsonArray();
        for (int slot = 0; slot < entries.size() && ok(); ++slot) {
            const QString name = coefficientName(slot);
            values[slot] = coefficient(entry(entries, "coefficients", slot, name), name);
        }
        return values;
    }

    // A coefficient by its text, exact to the bit, which its number must agree
    // with. NaN and infinity only where the file says so outright: the text
    // "nan", "inf" or "-inf", no number, and the bytes of such a value.
    float coefficient(const QJsonObject &entry, const QString &name)
    {
        const QString field = QStringLiteral("coefficients.%1").arg(name);
        const QString text = entry.value(QLatin1String("text")).toString();
        if (text == QLatin1String("nan") || text == QLatin1String("inf")
            || text == QLatin1String("-inf")) {
            const auto exact = floatFromBytes(entry.value(QLatin1String("bytes")).toString());
            if (!entry.value(QLatin1String("value")).isNull() || !exact
                || Torvan::coefficientText(*exact, QLocale::c()) != text)
                fail(QStringLiteral("%1.text: \"%2\" needs a null value and the bytes of %2")
                         .arg(field, text));
            return exact.value_or(0.0f);
        }
        const float value
            = number(entry, QStringLiteral("value"), field + QStringLiteral(".value"));
        const auto exact = Torvan::parseCoefficient(text, QLocale::c());
        if (!exact)
            fail(QStringLiteral("%1.text: \"%2\" is not a finite single-precision number")
                     .arg(field, text));
        else if (ok() && *exact != value)
            fail(QStringLiteral("%1: value %2 and text \"%3\" disagree")
                     .arg(field)
                     .arg(double(value))
                     .arg(text));
        sameAsBytes(entry, exact.value_or(0.0f), field);
        return exact.value_or(0.0f);
    }
};

} // namespace

QByteArray toJson(const Contents &contents)
{
    QJsonArray setPoints;
    QJsonArray coefficients;
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        setPoints.append(QJsonObject { { "name", setPointName(slot) },
                                       { "volts", double(contents.setPoints[slot]) },
                                       { "bytes", bytesText(contents.setPoints[slot]) } });
        // The number for people and programs; the text and the bytes, exact to the
        // bit, are what restore uses. JSON has no NaN or infinity: their number is null.
        const float coefficient = contents.coefficients[slot];
        coefficients.append(QJsonObject {
            { "name", coefficientName(slot) },
            { "value",
              std::isfinite(coefficient) ? QJsonValue(double(coefficient)) : QJsonValue() },
            { "text", Torvan::coefficientText(coefficient, QLocale::c()) },
            { "bytes", bytesText(coefficient) } });
    }
    const QJsonObject document { { "format", FormatName },
                                 { "version", FormatVersion },
                                 { "time", contents.time.toString(Qt::ISODateWithMs) },
                                 { "port", contents.port },
                                 { "serialNumber", contents.serialNumber },
                                 { "setPoints", setPoints },
                                 { "coefficients", coefficients } };
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

QString bytesText(float value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    return QString::fromLatin1(QByteArray(bytes, 4).toHex());
}

Torvan::Done restorable(const Contents &contents)
{
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        const QString field = QStringLiteral("setPoints.%1.volts").arg(setPointName(slot));
        if (const auto inRange = setPointInRange(field, contents.setPoints[slot]); !inRange)
            return inRange;
    }
    return {};
}

Torvan::Result<Contents> fromJson(const QByteArray &json)
{
    Reader reader;
    const QJsonObject root = reader.document(json);
    Contents contents;
    contents.time = QDateTime::fromString(root.value("time").toString(), Qt::ISODateWithMs);
    contents.port = root.value("port").toString();
    contents.serialNumber = reader.serialNumber(root);
    contents.setPoints = reader.setPoints(root);
    contents.coefficients = reader.coefficients(root);
    if (!reader.ok())
        return Torvan::Failure { Torvan::Failure::BadBackup, reader.error };
    return contents;
}

} // namespace Backup
