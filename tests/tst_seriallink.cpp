#include "exchange.h"
#include "linewatch.h"
#include "seriallink.h"
#include "simcontroller.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/ioctl.h>

// Which ports qualify, and opening and reopening the one port object.
class tst_SerialLink : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void qualifyingPorts_data();
    void qualifyingPorts();
    void installedSourceIsFiltered();
    void oneSerialNumberOnEverySystem_data();
    void oneSerialNumberOnEverySystem();
    void reopensTheSamePortObjectUnderANewName();
    void failedOpenLeavesThePortClosed();
    void heldLineIsRefusedUnderAnyName();
    void lostLineIsClosedAndReportedOncePerOpening();
};

using Ports = QList<Link::PortEntry>;

void tst_SerialLink::cleanup()
{
    Link::setPortSource({});
}

void tst_SerialLink::qualifyingPorts_data()
{
    QTest::addColumn<Ports>("ports");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("none") << Ports() << QStringList();
    QTest::newRow("the adapter") << Ports { { "ttyUSB0", 0x0403, 0x6001, "A50285BI" } }
                                 << QStringList { "ttyUSB0" };
    QTest::newRow("same vendor, other product")
        << Ports { { "ttyUSB0", 0x0403, 0x6015, {} } } << QStringList();
    QTest::newRow("other vendor, same product")
        << Ports { { "ttyACM0", 0x2341, 0x6001, {} } } << QStringList();
    QTest::newRow("no USB ids") << Ports { { "ttyS0", 0, 0, {} } } << QStringList();
    QTest::newRow("two adapters keep their order")
        << Ports { { "ttyUSB3", 0x0403, 0x6001, {} },
                   { "ttyS0", 0, 0, {} },
                   { "ttyUSB1", 0x0403, 0x6001, "A50285BI" } }
        << QStringList { "ttyUSB3", "ttyUSB1" };
}

void tst_SerialLink::qualifyingPorts()
{
    QFETCH(Ports, ports);
    QFETCH(QStringList, expected);
    QCOMPARE(Link::qualifyingPortNames(ports), expected);
}

void tst_SerialLink::installedSourceIsFiltered()
{
    Link::setPortSource([] {
        return Ports { { "/dev/pts/9", 0x0403, 0x6001, {} }, { "/dev/pts/8", 0x1234, 0x6001, {} } };
    });
    QCOMPARE(Link::qualifyingPortNames(), QStringList { "/dev/pts/9" });
}

// Linux reports udev's ID_SERIAL_SHORT as it is; Windows what Qt parses from
// the instance id of FTDI's driver.
void tst_SerialLink::oneSerialNumberOnEverySystem_data()
{
    QTest::addColumn<QString>("reported");
    QTest::addColumn<bool>("fromFtdiDriver");
    QTest::addColumn<QString>("serialNumber");
    QTest::newRow("Linux") << "A50285BI" << false << "A50285BI";
    QTest::newRow("Linux, none") << "" << false << "";
    QTest::newRow("Windows, the channel letter") << "A50285BIA" << true << "A50285BI";
    QTest::newRow("Windows, a USB location instead") << "5&2A3F1B&0&2" << true << "";
    QTest::newRow("Windows, none") << "" << true << "";
}

void tst_SerialLink::oneSerialNumberOnEverySystem()
{
    QFETCH(QString, reported);
    QFETCH(bool, fromFtdiDriver);
    QFETCH(QString, serialNumber);
    QCOMPARE(Link::adapterSerialNumber(reported, fromFtdiDriver), serialNumber);
}

void tst_SerialLink::reopensTheSamePortObjectUnderANewName()
{
    SimController first, second;
    first.setPacing(false);
    second.setPacing(false);
    QVERIFY(first.start());
    QVERIFY(second.start());
    first.setSetPoint(0, 0.5f);
    second.setSetPoint(0, 2.0f);

    QSerialPort port;
    QVERIFY(Link::openLink(&port, first.devicePath()));
    QCOMPARE(port.baudRate(QSerialPort::Input), 115200);
    QCOMPARE(port.baudRate(QSerialPort::Output), 115200);
    QCOMPARE(port.dataBits(), QSerialPort::Data8);
    QCOMPARE(port.parity(), QSerialPort::NoParity);
    QCOMPARE(port.stopBits(), QSerialPort::OneStop);
    QCOMPARE(port.flowControl(), QSerialPort::NoFlowControl);
    QCOMPARE((*Link::exchange(&port, Link::Command::ReadVoltages))[0], 0.5f);

    Link::closeLink(&port);
    QVERIFY(!port.isOpen());
    QVERIFY(Link::openLink(&port, second.devicePath()));
    QCOMPARE((*Link::exchange(&port, Link::Command::ReadVoltages))[0], 2.0f);
    QCOMPARE(first.requests().size(), 1);
}

void tst_SerialLink::failedOpenLeavesThePortClosed()
{
    QSerialPort port;
    QVERIFY(!Link::openLink(&port, "/dev/no-such-adapter"));
    QVERIFY(!port.isOpen());
}

// A second open of a held device, by another name, is refused as in use
// before it touches the line: the holder keeps its exclusive mode (which
// root's opens pass through, and Qt's close would clear), and the device is
// free again once the holder closes it.
void tst_SerialLink::heldLineIsRefusedUnderAnyName()
{
    SimController controller;
    QVERIFY(controller.start());
    QTemporaryDir scratch;
    const QString link = scratch.filePath("TVA00001");
    QVERIFY(QFile::link(controller.devicePath(), link));
    QSerialPort holder, other;
    QVERIFY(Link::openLink(&holder, controller.devicePath()));

    bool inUse = false;
    QVERIFY(!Link::openLink(&other, link, &inUse));
    QVERIFY(inUse);
    QVERIFY(!other.isOpen());
    int exclusive = 0;
    QCOMPARE(::ioctl(int(holder.handle()), TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 1);

    holder.close();
    QVERIFY(Link::openLink(&other, link, &inUse));
    QVERIFY(!inUse);
}

void tst_SerialLink::lostLineIsClosedAndReportedOncePerOpening()
{
    QSerialPort port;
    QSignalSpy lost(Link::LineWatch::of(&port), &Link::LineWatch::lost);
    for (int opening = 1; opening <= 2; ++opening) {
        SimController controller;
        controller.setPacing(false);
        QVERIFY(controller.start());
        QVERIFY(Link::openLink(&port, controller.devicePath()));
        QVERIFY(Link::exchange(&port, Link::Command::ReadCurrents)); // traffic is no loss
        QCOMPARE(lost.count(), opening - 1);

        controller.hangUp();
        QTRY_COMPARE(lost.count(), opening);
        QVERIFY(!port.isOpen()); // the watch closed it, and says nothing more
        QTest::qWait(100);
        QCOMPARE(lost.count(), opening);
    }
}

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_seriallink.moc"
