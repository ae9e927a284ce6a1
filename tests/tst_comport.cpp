#include "formwidget.h"
#include "mainwindow.h"
#include "seriallink.h"

#include <QDoubleSpinBox>
#include <QPushButton>
#include <QSerialPort>
#include <QSpinBox>
#include <QTest>

// The main window on a real serial port, named by TORVAN_TEST_PORT (on
// Windows a COM port), with the controller on the far side in another
// process: the window must connect, and its Set must leave on the port. The
// far side checks the bytes it received.
class tst_ComPort : public QObject
{
    Q_OBJECT

private slots:
    void setLeavesOnTheNamedPort();
};

void tst_ComPort::setLeavesOnTheNamedPort()
{
    const QString name = qEnvironmentVariable("TORVAN_TEST_PORT");
    QVERIFY2(!name.isEmpty(), "TORVAN_TEST_PORT names no port");
    Link::setPortSource([name] {
        return QList<Link::PortEntry> { { name, Link::AdapterVendorId, Link::AdapterProductId } };
    });
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTest::mouseClick(formWidget<QPushButton>(&window, "pbConnect"), Qt::LeftButton);
    const QSerialPort *port = window.findChild<QSerialPort *>();
    QVERIFY2(port->isOpen(), qPrintable(name + ": " + port->errorString()));
    QCOMPARE(formWidget<QPushButton>(&window, "pbConnect")->text(), QString("Close"));

    formWidget<QSpinBox>(&window, "sbChannel")->setValue(2);
    formWidget<QDoubleSpinBox>(&window, "dsbVb")->setValue(1.25);
    QTest::mouseClick(formWidget<QPushButton>(&window, "pbSetVb"), Qt::LeftButton);
    QTest::qWait(100);
    QTest::mouseClick(formWidget<QPushButton>(&window, "pbConnect"), Qt::LeftButton);
    QVERIFY(!port->isOpen());
}

QTEST_MAIN(tst_ComPort)
#include "tst_comport.moc"
