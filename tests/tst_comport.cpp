#include "formwidget.h"
#include "mainwindow.h"
#include "seriallink.h"

#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSerialPort>
#include <QSpinBox>
#include <QTest>

// The main window on a real serial port, named by TORVAN_TEST_PORT (on
// Windows a COM port), with the controller on the far side in another
// process that reports the fixed currents TORVAN_TEST_CURRENTS lists (eight
// amperes in slot order). The window sets voltages of its own, connects
// again and must show them at once, and the channel's currents within one
// poll. The far side checks the bytes it received.
class tst_ComPort : public QObject
{
    Q_OBJECT

private slots:
    void setsAndReadsOverTheNamedPort();

private:
    template<typename T> T *child(const char *name) { return formWidget<T>(window, name); }
    void click(const char *button)
    {
        QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
    }

    MainWindow *window = nullptr;
};

void tst_ComPort::setsAndReadsOverTheNamedPort()
{
    const QString name = qEnvironmentVariable("TORVAN_TEST_PORT");
    QVERIFY2(!name.isEmpty(), "TORVAN_TEST_PORT names no port");
    const QStringList currents = qEnvironmentVariable("TORVAN_TEST_CURRENTS").split(u',');
    QVERIFY2(currents.size() == 8, "TORVAN_TEST_CURRENTS lists no eight currents");
    Link::setPortSource([name] {
        return QList<Link::PortEntry> { { name, Link::AdapterVendorId, Link::AdapterProductId } };
    });
    MainWindow mainWindow;
    window = &mainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));

    click("pbConnect");
    const QSerialPort *port = window->findChild<QSerialPort *>();
    QVERIFY2(port->isOpen(), qPrintable(name + ": " + port->errorString()));
    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Close"));
    child<QSpinBox>("sbChannel")->setValue(3);
    child<QDoubleSpinBox>("dsbVc")->setValue(1.375);
    click("pbSetVc");
    child<QDoubleSpinBox>("dsbVb")->setValue(0.625);
    click("pbSetVb");
    QTest::qWait(100);
    click("pbConnect");
    QVERIFY(!port->isOpen());

    // Read back on connecting again, from the controller rather than the boxes.
    child<QDoubleSpinBox>("dsbVc")->setValue(0);
    child<QDoubleSpinBox>("dsbVb")->setValue(0);
    click("pbConnect");
    QVERIFY(port->isOpen());
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), 1.375);
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->value(), 0.625);
    const auto milliamps = [](const QString &amperes) {
        return QString::number(amperes.toFloat() * 1000.0, 'f', 2);
    };
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("lIc")->text(), "Ic(mA) = " + milliamps(currents[6]),
                              600);
    QCOMPARE(child<QLabel>("lIb")->text(), "Ib(mA) = " + milliamps(currents[7]));
    click("pbConnect");
}

QTEST_MAIN(tst_ComPort)
#include "tst_comport.moc"
