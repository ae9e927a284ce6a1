#include "backup.h"

#include <QTest>

#include <cstring>

// The backup file format on its own: a file written by hand, accepted to the
// bit, and every way a file can be refused, each by the field it names.
class tst_Backup : public QObject
{
    Q_OBJECT

private slots:
    void acceptsAHandWrittenFileToTheBit();
    void acceptsAFileWithoutBytes();
    void refusesNamingTheField_data();
    void refusesNamingTheField();
};

namespace {

// A blank EEPROM's coefficient (all ones, a NaN) in the last slot.
const QByteArray Good = R"({
    "format": "torvan-controller-backup",
    "version": 1,
    "time": "2026-12-08T09:00:00.000",
    "port": "ttyUSB0",
    "setPoints": [
        { "name": "Vc0", "volts": 1.25, "bytes": "0000a03f" },
        { "name": "Vb0", "volts": 0.5, "bytes": "0000003f" },
        { "name": "Vc1", "volts": 0.75, "bytes": "0000403f" },
        { "name": "Vb1", "volts": 1, "bytes": "0000803f" },
        { "name": "Vc2", "volts": 1.5, "bytes": "0000c03f" },
        { "name": "Vb2", "volts": 2, "bytes": "00000040" },
        { "name": "Vc3", "volts": 2.25, "bytes": "00001040" },
        { "name": "Vb3", "volts": 0.125, "bytes": "0000003e" }
    ],
    "coefficients": [
        { "name": "IC0", "value": 1.2345677614212036, "text": "1.2345678", "bytes": "51069e3f" },
        { "name": "IB0", "value": 0.9876543283462524, "text": "0.9876543", "bytes": "ead67c3f" },
        { "name": "IC1", "value": 1.0199999809265137, "text": "1.02", "bytes": "5c8f823f" },
        { "name": "IB1", "value": 0.9800000190734863, "text": "0.98", "bytes": "48e17a3f" },
        { "name": "IC2", "value": 1.0099999904632568, "text": "1.01", "bytes": "ae47813f" },
        { "name": "IB2", "value": 0.9900000095367432, "text": "0.99", "bytes": "a4707d3f" },
        { "name": "IC3", "value": 1.0049999952316284, "text": "1.005", "bytes": "d7a3803f" },
        { "name": "IB3", "value": null, "text": "nan", "bytes": "ffffffff" }
    ]
})";

QByteArray bytesOf(const Link::ValueBlock &block)
{
    QByteArray bytes(int(sizeof block), Qt::Uninitialized);
    std::memcpy(bytes.data(), block.data(), sizeof block);
    return bytes.toHex();
}

} // namespace

void tst_Backup::acceptsAHandWrittenFileToTheBit()
{
    const auto contents = Backup::fromJson(Good);
    QVERIFY2(contents, qPrintable(contents ? QString() : contents.failure().message));
    QCOMPARE(bytesOf(contents->setPoints),
             QByteArray("0000a03f0000003f0000403f0000803f0000c03f000000400000104000000"
                        "03e"));
    QCOMPARE(bytesOf(contents->coefficients),
             QByteArray("51069e3fead67c3f5c8f823f48e17a3fae47813fa4707d3fd7a3803fffffffff"));
    QCOMPARE(contents->port, QString("ttyUSB0"));
    QCOMPARE(contents->time.toString(Qt::ISODateWithMs), QString("2026-12-08T09:00:00.000"));
}

void tst_Backup::acceptsAFileWithoutBytes()
{
    // Files of earlier versions carry no bytes; the finite ones still read.
    QByteArray older = Good;
    older.replace(R"({ "name": "IB3", "value": null, "text": "nan", "bytes": "ffffffff" })",
                  R"({ "name": "IB3", "value": 0.995, "text": "0.995" })");
    older.replace(QByteArray(R"(, "bytes": "0000a03f")"), QByteArray());
    older.replace(QByteArray(R"(, "bytes": "51069e3f")"), QByteArray());
    const auto contents = Backup::fromJson(older);
    QVERIFY2(contents, qPrintable(contents ? QString() : contents.failure().message));
    QCOMPARE(contents->setPoints[0], 1.25f);
    QCOMPARE(contents->coefficients[0], 1.2345678f);
    QCOMPARE(contents->coefficients[7], 0.995f);
}

void tst_Backup::refusesNamingTheField_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("error");
    auto row = [](const char *name, const char *from, const char *to, const char *error) {
        QTest::newRow(name) << QByteArray(from) << QByteArray(to) << QString(error);
    };
    // Qt words the parse error itself: only what is the tool's own is compared.
    row("not JSON", R"("version": 1,)", R"("version": 1)", "not a whole JSON document (");
    row("another format", "torvan-controller-backup", "something-else",
        "format: not a torvan controller backup");
    row("no version", R"("version": 1,)", "", "version: missing, or not a whole number");
    row("fractional version", R"("version": 1,)", R"("version": 1.5,)",
        "version: missing, or not a whole number");
    row("later version", R"("version": 1,)", R"("version": 3,)",
        "version: 3, but only versions 1 to 2 can be read");
    row("version 2 without the serial number", R"("version": 1,)", R"("version": 2,)",
        "serialNumber: missing, or not a text");
    row("a serial number that is no text", R"("version": 1,)",
        R"("version": 2, "serialNumber": 7,)", "serialNumber: missing, or not a text");
    row("no set-points", R"("setPoints")", R"("setpoints")", "setPoints: missing, or not a list");
    row("seven set-points", R"({ "name": "Vc3", "volts": 2.25, "bytes": "00001040" },)", "",
        "setPoints: 7 entries, not 8");
    row("nine set-points", R"({ "name": "Vb3", "volts": 0.125, "bytes": "0000003e" })",
        R"({ "name": "Vb3", "volts": 0.125, "bytes": "0000003e" }, 1)",
        "setPoints: 9 entries, not 8");
    row("set-points out of order", R"("name": "Vb0")", R"("name": "Vc1")",
        R"(setPoints[1]: expected the entry named "Vb0")");
    row("set-point not a number", R"("volts": 1.25,)", R"("volts": "1.25",)",
        "setPoints.Vc0.volts: not a number");
    row("set-point above the range", R"("volts": 1.25, "bytes": "0000a03f")",
        R"("volts": 3, "bytes": "00004040")", "setPoints.Vc0.volts: 3 V is outside 0 to 2.5 V");
    row("set-point below the range", R"("volts": 1.25, "bytes": "0000a03f")",
        R"("volts": -0.5, "bytes": "000000bf")",
        "setPoints.Vc0.volts: -0.5 V is outside 0 to 2.5 V");
    row("set-point beyond single precision", R"("volts": 1.25,)", R"("volts": 1e39,)",
        "setPoints.Vc0.volts: 1e+39 does not fit single precision");
    row("set-point bytes not hex", R"("bytes": "0000a03f")", R"("bytes": "0000a03")",
        "setPoints.Vc0.bytes: not four bytes in hex");
    row("set-point bytes of another value", R"("bytes": "0000a03f")", R"("bytes": "0000c03f")",
        "setPoints.Vc0: bytes 0000c03f do not hold 0000a03f");
    row("no coefficients", R"("coefficients")", R"("coefs")",
        "coefficients: missing, or not a list");
    row("coefficients out of order", R"("name": "IB0")", R"("name": "IC1")",
        R"(coefficients[1]: expected the entry named "IB0")");
    row("coefficient text not a number", R"("text": "1.02")", R"("text": "one")",
        R"(coefficients.IC1.text: "one" is not a finite single-precision number)");
    row("coefficient value and text disagree", R"("value": 1.0199999809265137)", R"("value": 1.03)",
        R"(coefficients.IC1: value 1.03 and text "1.02" disagree)");
    row("coefficient value not a number", R"("value": 1.0199999809265137)", R"("value": "1.02")",
        "coefficients.IC1.value: not a number");
    row("coefficient bytes of another value", R"("bytes": "5c8f823f")", R"("bytes": "5d8f823f")",
        "coefficients.IC1: bytes 5d8f823f do not hold 5c8f823f");
    row("NaN with a number", R"("value": null, "text": "nan")", R"("value": 1, "text": "nan")",
        R"(coefficients.IB3.text: "nan" needs a null value and the bytes of nan)");
    row("NaN with the bytes of a number", R"("bytes": "ffffffff")", R"("bytes": "0000803f")",
        R"(coefficients.IB3.text: "nan" needs a null value and the bytes of nan)");
    row("infinity named, NaN's bytes", R"("text": "nan")", R"("text": "inf")",
        R"(coefficients.IB3.text: "inf" needs a null value and the bytes of inf)");
}

void tst_Backup::refusesNamingTheField()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, error);
    QVERIFY2(Good.count(from) == 1, "the change must hit exactly one place");
    const auto contents = Backup::fromJson(QByteArray(Good).replace(from, to));
    QVERIFY(!contents);
    QCOMPARE(contents.failure().kind, Torvan::Failure::BadBackup);
    const QString refusal = contents.failure().message;
    if (error.endsWith(u'('))
        QVERIFY2(refusal.startsWith(error), qPrintable(refusal));
    else
        QCOMPARE(refusal, error);
}

QTEST_APPLESS_MAIN(tst_Backup)
#include "tst_backup.moc"
