#include "protocol.h"

#include <QTest>

#include <cmath>
#include <cstring>

// Expected bytes are written out by hand from the wire format.
class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void requestFrames_data();
    void requestFrames();
    void setPointFrames_data();
    void setPointFrames();
    void coefficientFrameCarriesEightValuesInSlotOrder();
    void coefficientFrameIsAlways35Bytes_data();
    void coefficientFrameIsAlways35Bytes();
    void valueBlockDecodesOnlyExactly32Bytes_data();
    void valueBlockDecodesOnlyExactly32Bytes();
    void valueBlockDecodesLittleEndianSlots();
};

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

static float floatFromBits(quint32 bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void tst_Protocol::requestFrames_data()
{
    QTest::addColumn<char>("command");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("read voltages") << Link::Command::ReadVoltages << hex("FF44FE");
    QTest::newRow("read currents") << Link::Command::ReadCurrents << hex("FF52FE");
    QTest::newRow("write EEPROM") << Link::Command::WriteEeprom << hex("FF57FE");
    QTest::newRow("read coefficients") << Link::Command::ReadCoefficients << hex("FF47FE");
}

void tst_Protocol::requestFrames()
{
    QFETCH(char, command);
    QFETCH(QByteArray, expected);
    QCOMPARE(Link::buildFrame(command), expected);
}

void tst_Protocol::setPointFrames_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("channel 3 Vb 1.5") << 7 << 1.5 << hex("FF530700 00C03FFE");
    QTest::newRow("channel 2 Vb 1.25") << 5 << 1.25 << hex("FF530500 00A03FFE");
    QTest::newRow("channel 0 Vc 0") << 0 << 0.0 << hex("FF530000 000000FE");
    // 0.1 lies between two floats; the nearer is ...CD, truncation would give ...CC.
    QTest::newRow("0.1 rounds to nearest") << 2 << 0.1 << hex("FF5302CD CCCC3DFE");
    // 1 + 3 * 2^-25 is nearer to 1 + 2^-23 than to 1.
    QTest::newRow("rounds up, not down")
        << 1 << 1.0 + 3 * std::ldexp(1.0, -25) << hex("FF530101 00803FFE");
    // The largest float is FF FF 7F 7F on the wire: markers inside the payload go out as they are.
    QTest::newRow("marker bytes unescaped")
        << 6 << double(floatFromBits(0x7F7FFFFF)) << hex("FF5306FF FF7F7FFE");
}

void tst_Protocol::setPointFrames()
{
    QFETCH(int, index);
    QFETCH(double, value);
    QFETCH(QByteArray, expected);
    QCOMPARE(Link::setPointFrame(index, value).toHex(' '), expected.toHex(' '));
}

void tst_Protocol::coefficientFrameCarriesEightValuesInSlotOrder()
{
    const QByteArray frame = Link::coefficientFrame({ 1.0, -1.0, 0.5, 2.0, 0.0, 1.5, -2.0, 0.25 });
    const QByteArray expected = hex("FF43"
                                    "0000803F"
                                    "000080BF"
                                    "0000003F"
                                    "00000040"
                                    "00000000"
                                    "0000C03F"
                                    "000000C0"
                                    "0000803E"
                                    "FE");
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
}

void tst_Protocol::coefficientFrameIsAlways35Bytes_data()
{
    QTest::addColumn<double>("value");
    QTest::newRow("zero") << 0.0;
    QTest::newRow("payload full of FE bytes") << double(floatFromBits(0xFEFEFEFE));
    QTest::newRow("payload full of FF-ish bytes") << double(floatFromBits(0x7F7FFFFF));
    QTest::newRow("NaN") << std::nan("");
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity();
}

void tst_Protocol::coefficientFrameIsAlways35Bytes()
{
    QFETCH(double, value);
    Link::ValueBlock values;
    values.fill(float(value));
    const QByteArray frame = Link::coefficientFrame(values);
    QCOMPARE(frame.size(), 35);
    QCOMPARE(frame.left(2), hex("FF43"));
    QCOMPARE(frame.right(1), hex("FE"));
}

void tst_Protocol::valueBlockDecodesOnlyExactly32Bytes_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("none") << 0 << false;
    QTest::newRow("short") << 31 << false;
    QTest::newRow("exact") << 32 << true;
    QTest::newRow("long") << 33 << false;
    QTest::newRow("two blocks") << 64 << false;
}

void tst_Protocol::valueBlockDecodesOnlyExactly32Bytes()
{
    QFETCH(int, length);
    QFETCH(bool, accepted);
    QCOMPARE(Link::decodeValueBlock(QByteArray(length, '\0')).has_value(), accepted);
}

void tst_Protocol::valueBlockDecodesLittleEndianSlots()
{
    const QByteArray reply = hex("0000803F" // 1
                                 "000080BF" // -1
                                 "0000C03F" // 1.5
                                 "00000000" // 0
                                 "0000807F" // +infinity
                                 "0000C07F" // NaN
                                 "01000000" // smallest subnormal
                                 "FFFF7F7F"); // largest float
    const auto block = Link::decodeValueBlock(reply);
    QVERIFY(block);
    QCOMPARE((*block)[0], 1.0f);
    QCOMPARE((*block)[1], -1.0f);
    QCOMPARE((*block)[2], 1.5f);
    QCOMPARE((*block)[3], 0.0f);
    QVERIFY(std::isinf((*block)[4]) && (*block)[4] > 0);
    QVERIFY(std::isnan((*block)[5]));
    QCOMPARE((*block)[6], floatFromBits(1));
    QCOMPARE((*block)[7], floatFromBits(0x7F7FFFFF));
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
