#include "coefficienttext.h"

#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

// Coefficient text must carry the exact single-precision value both ways.
class tst_CoefficientText : public QObject
{
    Q_OBJECT

private slots:
    void shownAsShortestExactText_data();
    void shownAsShortestExactText();
    void parsesOnlyWholeNumbers_data();
    void parsesOnlyWholeNumbers();
    void everyFloatSurvivesTheRoundTrip_data();
    void everyFloatSurvivesTheRoundTrip();
};

static const QLocale German(QLocale::German, QLocale::Germany);
static const QLocale English(QLocale::English, QLocale::UnitedStates);
static const QLocale French(QLocale::French, QLocale::France);
static const QLocale SwissGerman(QLocale::German, QLocale::Switzerland);

void tst_CoefficientText::shownAsShortestExactText_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("one") << 1.0f << English << "1";
    QTest::newRow("twenty") << 20.0f << English << "20";
    QTest::newRow("a hundred") << 100.0f << English << "100";
    QTest::newRow("1200") << 1200.0f << English << "1200";
    QTest::newRow("5000") << 5000.0f << English << "5000";
    QTest::newRow("250000") << 250000.0f << English << "250000";
    QTest::newRow("a half") << 0.5f << English << "0.5";
    QTest::newRow("3e-05") << 3e-5f << English << "3e-05";
    QTest::newRow("small") << 0.000012345f << English << "1.2345e-05";
    QTest::newRow("a million") << 1e6f << English << "1e+06";
    QTest::newRow("no group separator") << 123456.0f << English << "123456";
    QTest::newRow("needs eight digits") << 1.2345678f << English << "1.2345678";
    QTest::newRow("a tenth is not 0.100000001") << 0.1f << English << "0.1";
    QTest::newRow("needs nine digits") << 16777215.0f << English << "16777215";
    QTest::newRow("largest float")
        << std::numeric_limits<float>::max() << English << "3.4028235e+38";
    QTest::newRow("smallest subnormal")
        << std::numeric_limits<float>::denorm_min() << English << "1.4013e-45";
    QTest::newRow("negative") << -2.5f << English << "-2.5";
    QTest::newRow("negative zero") << -0.0f << English << "-0";
    QTest::newRow("German comma") << 1.5f << German << "1,5";
    QTest::newRow("German, no group separator") << 1234.5f << German << "1234,5";
    QTest::newRow("German exponent") << 0.000012345f << German << "1,2345e-05";
}

void tst_CoefficientText::shownAsShortestExactText()
{
    QFETCH(float, value);
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QCOMPARE(Torvan::coefficientText(value, locale), text);
}

void tst_CoefficientText::parsesOnlyWholeNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<float>("value");
    QTest::newRow("plain") << "1.5" << English << true << 1.5f;
    QTest::newRow("exponent") << "-2e-3" << English << true << -0.002f;
    QTest::newRow("German comma") << "1,5" << German << true << 1.5f;
    QTest::newRow("C form under German") << "0.25" << German << true << 0.25f;
    // Never a thousands separator, in the locale's notation or in C's.
    QTest::newRow("point under German") << "0.995" << German << true << 0.995f;
    QTest::newRow("1.000 under German") << "1.000" << German << true << 1.0f;
    QTest::newRow("German grouping") << "1.000,5" << German << false << 0.0f;
    QTest::newRow("comma under English") << "0,995" << English << false << 0.0f;
    QTest::newRow("comma under C") << "1,000" << QLocale::c() << false << 0.0f;
    QTest::newRow("French comma") << "0,995" << French << true << 0.995f;
    QTest::newRow("French grouping") << "1\u202f000" << French << false << 0.0f;
    QTest::newRow("Swiss point") << "0.995" << SwissGerman << true << 0.995f;
    QTest::newRow("Swiss grouping") << "1\u2019000" << SwissGerman << false << 0.0f;
    QTest::newRow("Swiss apostrophe") << "1'000" << SwissGerman << false << 0.0f;
    QTest::newRow("empty") << "" << English << false << 0.0f;
    QTest::newRow("lone minus") << "-" << English << false << 0.0f;
    QTest::newRow("half an exponent") << "1e" << English << false << 0.0f;
    QTest::newRow("half an exponent sign") << "1e-" << German << false << 0.0f;
    QTest::newRow("letters") << "abc" << English << false << 0.0f;
    QTest::newRow("too large for a float") << "1e39" << English << false << 0.0f;
    QTest::newRow("infinity") << "inf" << English << false << 0.0f;
    QTest::newRow("minus infinity") << "-inf" << English << false << 0.0f;
    QTest::newRow("not a number") << "nan" << German << false << 0.0f;
}

void tst_CoefficientText::parsesOnlyWholeNumbers()
{
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(bool, isNumber);
    QFETCH(float, value);
    const auto parsed = Torvan::parseCoefficient(text, locale);
    QCOMPARE(parsed.has_value(), isNumber);
    if (isNumber)
        QCOMPARE(*parsed, value);
}

void tst_CoefficientText::everyFloatSurvivesTheRoundTrip_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::newRow("C") << QLocale::c();
    QTest::newRow("German") << German;
}

// What C's own "%.Ng" writes, in the locale's decimal separator.
static QString printfText(float value, int digits, const QLocale &locale)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, double(value));
    return QString::fromLatin1(buffer).replace(QLatin1Char('.'), locale.decimalPoint());
}

static bool readsBackExactly(float value, int digits)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, double(value));
    return std::strtof(buffer, nullptr) == value;
}

// The six-digit general form wherever it identifies the float, otherwise the
// shortest of seven to nine digits that does; always bit-exact when read back.
void tst_CoefficientText::everyFloatSurvivesTheRoundTrip()
{
    QFETCH(QLocale, locale);
    // Random bit patterns, and the round numbers people type (1 to 999 times a power of ten).
    QList<float> values;
    QRandomGenerator random(7);
    while (values.size() < 20000) {
        const quint32 bits = random.generate();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value))
            values << value;
    }
    for (int exponent = -8; exponent <= 9; ++exponent) {
        for (int k = 1; k < 1000; ++k)
            values << float(k * std::pow(10.0, exponent));
    }
    for (const float value : values) {
        quint32 bits;
        std::memcpy(&bits, &value, sizeof bits);
        const QString text = Torvan::coefficientText(value, locale);
        int digits = 6;
        while (!readsBackExactly(value, digits))
            ++digits;
        const QString expected = printfText(value, digits, locale);
        // A value exactly halfway between two texts may round either way; both are
        // as short and both read back exactly (checked below).
        QVERIFY2(text == expected || text.size() == expected.size(),
                 qPrintable(QStringLiteral("%1, not %2").arg(text, expected)));
        const auto back = Torvan::parseCoefficient(text, locale);
        QVERIFY2(back, qPrintable(text));
        quint32 backBits;
        std::memcpy(&backBits, &*back, sizeof backBits);
        QVERIFY2(backBits == bits,
                 qPrintable(QStringLiteral("%1 -> %2").arg(bits, 8, 16).arg(text)));
    }
}

QTEST_APPLESS_MAIN(tst_CoefficientText)
#include "tst_coefficienttext.moc"
