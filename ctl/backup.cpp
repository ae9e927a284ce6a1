#include "backup.h"

#include "cli.h"
#include "coefficienttext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace Backup {

namespace {

const QLatin1String FormatName("torvan-controller-backup");

QString setPointName(int slot)
{
    return Cli::slotName("Vc", "Vb", slot);
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
};

} // namespace

QByteArray toJson(const Contents &contents)
{
    QJsonArray setPoints;
    QJsonArray coefficients;
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        setPoints.append(QJsonObject { { "name", setPointName(slot) },
                                       { "volts", double(contents.setPoints[slot]) } });
        // The number for people and programs; the text, exact to the bit, is what restore uses.
        coefficients.append(QJsonObject {
            { "name", QLatin1String(Cli::CoefficientNames[slot]) },
            { "value", double(contents.coefficients[slot]) },
            { "text", Link::coefficientText(contents.coefficients[slot], QLocale::c()) } });
    }
    const QJsonObject document { { "format", FormatName },
                                 { "version", FormatVersion },
                                 { "time", contents.time.toString(Qt::ISODateWithMs) },
                                 { "port", contents.port },
                                 { "setPoints", setPoints },
                                 { "coefficients", coefficients } };
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

std::optional<Contents> fromJson(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    Reader reader;
    if (parseError.error != QJsonParseError::NoError)
        reader.fail(QStringLiteral("not a whole JSON document (%1 at byte %2)")
                        .arg(parseError.errorString())
                        .arg(parseError.offset));
    else if (!document.isObject() || document.object().value("format").toString() != FormatName)
        reader.fail(QStringLiteral("format: not a torvan controller backup"));
    const QJsonObject root = document.object();
    if (reader.ok()) {
        const QJsonValue version = root.value("version");
        if (!version.isDouble() || version.toDouble() != std::floor(version.toDouble()))
            reader.fail(QStringLiteral("version: missing, or not a whole number"));
        else if (version.toInt() != FormatVersion)
            reader.fail(QStringLiteral("version: %1, but this torvanctl reads version %2")
                            .arg(version.toInt())
                            .arg(FormatVersion));
    }

    Contents contents;
    contents.time = QDateTime::fromString(root.value("time").toString(), Qt::ISODateWithMs);
    contents.port = root.value("port").toString();
    const QJsonArray setPoints = reader.ok() ? reader.eight(root, "setPoints") : QJsonArray();
    for (int slot = 0; slot < setPoints.size() && reader.ok(); ++slot) {
        const QString name = setPointName(slot);
        const QJsonObject entry = reader.entry(setPoints, "setPoints", slot, name);
        const QString field = QStringLiteral("setPoints.%1.volts").arg(name);
        const float volts = reader.number(entry, "volts", field);
        if (reader.ok() && !(volts >= 0.0f && volts <= 2.5f))
            reader.fail(QStringLiteral("%1: %2 V is outside 0 to 2.5 V").arg(field).arg(volts));
        contents.setPoints[slot] = volts;
    }
    const QJsonArray coefficients = reader.ok() ? reader.eight(root, "coefficients") : QJsonArray();
    for (int slot = 0; slot < coefficients.size() && reader.ok(); ++slot) {
        const QString name = QLatin1String(Cli::CoefficientNames[slot]);
        const QJsonObject entry = reader.entry(coefficients, "coefficients", slot, name);
        const float value
            = reader.number(entry, "value", QStringLiteral("coefficients.%1.value").arg(name));
        // The text is exact to the bit; the number must agree with it.
        const QString text = entry.value("text").toString();
        const auto exact = Link::parseCoefficient(text, QLocale::c());
        if (!exact || !std::isfinite(*exact))
            reader.fail(QStringLiteral("coefficients.%1.text: \"%2\" is not a finite "
                                       "single-precision number")
                            .arg(name, text));
        else if (reader.ok() && *exact != value)
            reader.fail(QStringLiteral("coefficients.%1: value %2 and text \"%3\" disagree")
                            .arg(name)
                            .arg(double(value))
                            .arg(text));
        contents.coefficients[slot] = exact.value_or(0.0f);
    }

    if (!reader.ok()) {
        *error = reader.error;
        return std::nullopt;
    }
    return contents;
}

} // namespace Backup
