#include "formwidget.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

// The main window as the user first sees it, before any port is opened.
class tst_MainWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void opensAtFormSizeAndStaysWithinLimits();
    void onlyPortListAndUpdateAreUsableAtStart();
    void showsTheFormTexts();
    void gridPlacesEachControlInItsCell_data();
    void gridPlacesEachControlInItsCell();
    void channelOffersOnlyZeroToThree();
    void voltagesAcceptOnlyZeroToTwoAndAHalfWithThreeDecimals_data();
    void voltagesAcceptOnlyZeroToTwoAndAHalfWithThreeDecimals();

private:
    template<typename T> T *child(const char *name) { return formWidget<T>(window, name); }

    MainWindow *window = nullptr;
};

void tst_MainWindowForm::init()
{
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void tst_MainWindowForm::cleanup()
{
    delete window;
    window = nullptr;
}

void tst_MainWindowForm::opensAtFormSizeAndStaysWithinLimits()
{
    QCOMPARE(window->objectName(), QString("MainWindow"));
    QCOMPARE(window->size(), QSize(538, 198).expandedTo(window->minimumSizeHint()));

    window->resize(2000, 2000);
    QTRY_COMPARE(window->size(), QSize(600, 400));
    auto *groupBox = child<QGroupBox>("groupBox");
    QVERIFY(groupBox->width() <= 400);
    QVERIFY(groupBox->height() <= 138);
}

void tst_MainWindowForm::onlyPortListAndUpdateAreUsableAtStart()
{
    QVERIFY(child<QComboBox>("cbPorts")->isEnabled());
    QVERIFY(child<QPushButton>("pbUpdatePorts")->isEnabled());
    // Whatever adapters this machine has: "Connect" only with one to connect to.
    QCOMPARE(child<QPushButton>("pbConnect")->isEnabled(),
             child<QComboBox>("cbPorts")->count() > 0);

    for (const char *name : { "pbEeprom", "pbWriteEEPROM" })
        QVERIFY2(!child<QPushButton>(name)->isEnabled(), name);
    for (const char *name : { "pbSetVc", "pbSetVb" })
        QVERIFY2(!child<QPushButton>(name)->isEnabledTo(window), name);
    QVERIFY(!child<QSpinBox>("sbChannel")->isEnabledTo(window));
    QVERIFY(!child<QDoubleSpinBox>("dsbVc")->isEnabledTo(window));
    QVERIFY(!child<QDoubleSpinBox>("dsbVb")->isEnabledTo(window));

    // A disabled button ignores a click (on a machine without an adapter).
    if (!child<QPushButton>("pbConnect")->isEnabled()) {
        QTest::mouseClick(child<QPushButton>("pbConnect"), Qt::LeftButton);
        QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Connect"));
    }
}

void tst_MainWindowForm::showsTheFormTexts()
{
    QCOMPARE(window->windowTitle(), QString("Torvan Configurator"));
    QCOMPARE(child<QLabel>("label")->text(), QString("Serial Port"));
    QCOMPARE(child<QPushButton>("pbUpdatePorts")->text(), QString("Update..."));
    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Connect"));
    QCOMPARE(child<QGroupBox>("groupBox")->title(), QString());
    QCOMPARE(child<QLabel>("label_2")->text(), QString("Active Channel"));
    QCOMPARE(child<QPushButton>("pbSetVc")->text(), QString("Set Vc"));
    QCOMPARE(child<QPushButton>("pbSetVb")->text(), QString("Set Vb"));
    // The two placeholders really differ in spacing.
    QCOMPARE(child<QLabel>("lIc")->text(), QString("Ic(mA) = xx"));
    QCOMPARE(child<QLabel>("lIb")->text(), QString("Ib(mA)= xx"));
    QCOMPARE(child<QLabel>("label_20")->text(), QString("Vc"));
    QCOMPARE(child<QLabel>("label_18")->text(), QString("Vb"));
    QCOMPARE(child<QPushButton>("pbEeprom")->text(), QString("EEPROM Coefs"));
    QCOMPARE(child<QPushButton>("pbWriteEEPROM")->text(), QString("Write EEPROM"));
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->text(), QString("0.000"));
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->text(), QString("0.000"));
    QCOMPARE(child<QSpinBox>("sbChannel")->text(), QString("0"));
}

void tst_MainWindowForm::gridPlacesEachControlInItsCell_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::newRow("Vc label") << "label_20" << 0 << 0;
    QTest::newRow("Vc box") << "dsbVc" << 0 << 1;
    QTest::newRow("Set Vc") << "pbSetVc" << 0 << 2;
    QTest::newRow("Ic") << "lIc" << 0 << 3;
    QTest::newRow("Vb label") << "label_18" << 1 << 0;
    QTest::newRow("Vb box") << "dsbVb" << 1 << 1;
    QTest::newRow("Set Vb") << "pbSetVb" << 1 << 2;
    QTest::newRow("Ib") << "lIb" << 1 << 3;
}

void tst_MainWindowForm::gridPlacesEachControlInItsCell()
{
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(int, column);

    auto *grid = window->centralWidget()->findChild<QGridLayout *>("gridLayout");
    QVERIFY(grid);
    auto *widget = window->centralWidget()->findChild<QWidget *>(name);
    QVERIFY(widget);
    const int index = grid->indexOf(widget);
    QVERIFY(index >= 0);
    int r, c, rowSpan, columnSpan;
    grid->getItemPosition(index, &r, &c, &rowSpan, &columnSpan);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rowSpan, 1);
    QCOMPARE(columnSpan, 1);
}

void tst_MainWindowForm::channelOffersOnlyZeroToThree()
{
    auto *channel = child<QSpinBox>("sbChannel");
    channel->setValue(7);
    QCOMPARE(channel->value(), 3);
    channel->setValue(-1);
    QCOMPARE(channel->value(), 0);
}

void tst_MainWindowForm::voltagesAcceptOnlyZeroToTwoAndAHalfWithThreeDecimals_data()
{
    QTest::addColumn<double>("input");
    QTest::addColumn<QString>("shown");
    QTest::newRow("in range") << 1.25 << "1.250";
    QTest::newRow("rounded to three decimals") << 1.23456 << "1.235";
    QTest::newRow("above the range") << 2.7 << "2.500";
    QTest::newRow("below the range") << -0.5 << "0.000";
}

void tst_MainWindowForm::voltagesAcceptOnlyZeroToTwoAndAHalfWithThreeDecimals()
{
    QFETCH(double, input);
    QFETCH(QString, shown);
    for (const char *name : { "dsbVc", "dsbVb" }) {
        auto *box = child<QDoubleSpinBox>(name);
        box->setValue(input);
        QCOMPARE(box->text(), shown);
    }
}

QTEST_MAIN(tst_MainWindowForm)
#include "tst_mainwindowform.moc"
