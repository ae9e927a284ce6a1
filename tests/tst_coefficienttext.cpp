#include "coefficienttext.h"

#include <QRandomGenerator>
#include <QTest>

#include <cmath>
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

void tst_CoefficientText::shownAsShortestExactText_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("one") << 1.0f << English << "1";
    QTest::newRow("small") << 0.000012345f << English << "1.2345e-05";
    QTest::newRow("a million") << 1e6f << English << "1e+06";
    QTest::newRow("no group separator") << 123456.0f << English << "123456";
    QTest::newRow("needs eight digits") << 1.2345678f << English << "1.2345678";
    QTest::newRow("a tenth is not 0.100000001") << 0.1f << English << "0.1";
    QTest::newRow("needs nine digits") << 16777215.0f << English << "16777215";
    QTest::newRow("largest float")
        << std::numeric_limits<float>::max() << English << "3.4028235e+38";
    QTest::newRow("smallest subnormal")
        << std::numeric_limits<float>::denorm_min() << English << "1e-45";
    QTest::newRow("negative") << -2.5f << English << "-2.5";
    QTest::newRow("German comma") << 1.5f << German << "1,5";
    QTest::newRow("German, no group separator") << 1234.5f << German << "1234,5";
    QTest::newRow("German exponent") << 0.000012345f << German << "1,2345e-05";
}

void tst_CoefficientText::shownAsShortestExactText()
{
    QFETCH(float, value);
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QCOMPARE(Link::coefficientText(value, locale), text);
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
    QTest::newRow("empty") << "" << English << false << 0.0f;
    QTest::newRow("lone minus") << "-" << English << false << 0.0f;
    QTest::newRow("half an exponent") << "1e" << English << false << 0.0f;
    QTest::newRow("half an exponent sign") << "1e-" << German << false << 0.0f;
    QTest::newRow("letters") << "abc" << English << false << 0.0f;
    QTest::newRow("too large for a float") << "1e39" << English << false << 0.0f;
}

void tst_CoefficientText::parsesOnlyWholeNumbers()
{
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(bool, isNumber);
    QFETCH(float, value);
    const auto parsed = Link::parseCoefficient(text, locale);
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

void tst_CoefficientText::everyFloatSurvivesTheRoundTrip()
{
    QFETCH(QLocale, locale);
    QRandomGenerator random(7);
    for (int i = 0; i < 20000; ++i) {
        const quint32 bits = random.generate();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value))
            continue;
        const QString text = Link::coefficientText(value, locale);
        const auto back = Link::parseCoefficient(text, locale);
        QVERIFY2(back, qPrintable(text));
        quint32 backBits;
        std::memcpy(&backBits, &*back, sizeof backBits);
        QVERIFY2(backBits == bits,
                 qPrintable(QStringLiteral("%1 -> %2").arg(bits, 8, 16).arg(text)));
    }
}

QTEST_APPLESS_MAIN(tst_CoefficientText)
#include "tst_coefficienttext.moc"
