#include "dialog.h"
#include "formwidget.h"
#include "mainwindow.h"
#include "modaldialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// The window on a real USB serial stack: inside the guest that
// scripts/usb-adapter boots, the port list comes from udev, ttyUSB0 is an
// emulated FT232 under the kernel's ftdi_sio driver, and an unplugged adapter
// really goes away. The controller, a simulator, is on the host; the host
// unplugs and plugs adapters when asked and tells what only it sees: the
// frames the simulator received and the line settings at its end.
namespace {

const char ControlPath[] = "/dev/virtio-ports/org.torvan.usbtest";
const QString Adapter = QStringLiteral("ttyUSB0");
const QString SecondAdapter = QStringLiteral("ttyUSB1");
constexpr int LostLineLimitMs = 2000;
constexpr int ReplugLimitMs = 20000;

// One request to the host, and its one-line answer.
QString askHost(const QString &request)
{
    QFile control(QString::fromLatin1(ControlPath));
    if (!control.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return QStringLiteral("error: ") + control.errorString();
    control.write((request + u'\n').toUtf8());
    QByteArray answer;
    char byte = 0;
    while (control.getChar(&byte) && byte != '\n')
        answer.append(byte);
    return QString::fromUtf8(answer);
}

double cpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

// The process's CPU time while its event loop runs for that long, as the
// application's own does (QTest::qWait sleeps between its passes).
double cpuSecondsOver(int ms)
{
    const double before = cpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return cpuSeconds() - before;
}

// A line's settings in the host's words: "115200 8 none 1".
QString settingsText(const termios &settings)
{
    const speed_t speed = cfgetospeed(&settings);
    const int bits = (settings.c_cflag & CSIZE) == CS8 ? 8
        : (settings.c_cflag & CSIZE) == CS7            ? 7
                                                       : 0;
    const char *parity = !(settings.c_cflag & PARENB) ? "none"
        : settings.c_cflag & PARODD                   ? "odd"
                                                      : "even";
    return QStringLiteral("%1 %2 %3 %4")
        .arg(speed == B115200     ? 115200
                 : speed == B9600 ? 9600
                                  : -1)
        .arg(bits)
        .arg(QLatin1String(parity))
        .arg(settings.c_cflag & CSTOPB ? 2 : 1);
}

QString guestSettings(int handle)
{
    termios settings {};
    if (tcgetattr(handle, &settings) != 0 || cfgetispeed(&settings) != cfgetospeed(&settings))
        return QStringLiteral("unreadable, or the two directions differ");
    return settingsText(settings);
}

// Leaves settings on the adapter that are none of the tool's, through the
// guest's own termios; what the guest's driver then holds.
QString setForeignLineSettings(const QString &name)
{
    const int handle = ::open(qPrintable("/dev/" + name), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (handle < 0)
        return QStringLiteral("cannot open");
    termios settings {};
    tcgetattr(handle, &settings);
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    settings.c_cflag = (settings.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
    tcsetattr(handle, TCSANOW, &settings);
    const QString held = guestSettings(handle);
    ::close(handle);
    return held;
}

} // namespace

class tst_UsbAdapter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // In this order: each starts where the one before it left the adapter.
    void portListIsTheQualifyingAdaptersInOrder();
    void connectOpensTheLineAt115200_8N1();
    void showsTheSelectedChannelAndSendsSetVb();
    void unplugWhilePollingShowsDisconnectedAndIdles();
    void replugListsItAgainAndConnectsWithTheSamePort();
    void unplugWithTheDialogOpenChangesNoField();

private:
    template<typename T> T *child(const char *name) { return formWidget<T>(window, name); }
    void click(QWidget *button) { QTest::mouseClick(button, Qt::LeftButton); }
    void click(const char *button) { click(child<QPushButton>(button)); }
    QStringList framesSinceMark();
    void verifyDisconnected();
    void checkDialogAcrossUnplug(Dialog *dialog);
    void connectAndExpectFirstReads();

    MainWindow *window = nullptr;
    double idleCpuSeconds = 0;
};

void tst_UsbAdapter::initTestCase()
{
    QCOMPARE(askHost(QStringLiteral("mark ftdi0")), QString("ok"));
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // The same window, idle, for comparison with the window after an unplug.
    idleCpuSeconds = cpuSecondsOver(2000);
}

void tst_UsbAdapter::cleanupTestCase()
{
    delete window;
}

QStringList tst_UsbAdapter::framesSinceMark()
{
    const QString answer = askHost(QStringLiteral("frames ftdi0"));
    return answer.isEmpty() ? QStringList() : answer.split(u';');
}

void tst_UsbAdapter::verifyDisconnected()
{
    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Connect"));
    QVERIFY(!child<QGroupBox>("groupBox")->isEnabled());
    QVERIFY(!child<QPushButton>("pbEeprom")->isEnabled());
    QVERIFY(!child<QPushButton>("pbWriteEEPROM")->isEnabled());
    QVERIFY(!window->findChild<QTimer *>()->isActive());
    QVERIFY(!window->findChild<QSerialPort *>()->isOpen());
}

void tst_UsbAdapter::connectAndExpectFirstReads()
{
    QCOMPARE(askHost(QStringLiteral("mark ftdi0")), QString("ok"));
    QCOMPARE(child<QComboBox>("cbPorts")->currentText(), Adapter);
    click("pbConnect");
    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Close"));
    QCOMPARE(framesSinceMark().mid(0, 2), QStringList({ "FF 44 FE", "FF 52 FE" }));
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), 1.25);
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->value(), 0.5);
    QCOMPARE(child<QLabel>("lIc")->text(), QString("Ic(mA) = 12.35"));
    QCOMPARE(child<QLabel>("lIb")->text(), QString("Ib(mA) = -4.57"));
    QVERIFY(window->findChild<QTimer *>()->isActive());
}

void tst_UsbAdapter::portListIsTheQualifyingAdaptersInOrder()
{
    // The guest's built-in ttyS0 has no USB ids and is not offered.
    QCOMPARE(listedPorts(window), QStringList({ Adapter }));
    QVERIFY(child<QPushButton>("pbConnect")->isEnabled());

    // The second adapter is ttyUSB1 on the lower USB port: udev enumerates it
    // first, and the list keeps that order.
    QCOMPARE(askHost(QStringLiteral("plug ftdi1")), QString("ok"));
    QTRY_COMPARE_WITH_TIMEOUT((click("pbUpdatePorts"), listedPorts(window)),
                              QStringList({ SecondAdapter, Adapter }), ReplugLimitMs);
    QCOMPARE(child<QComboBox>("cbPorts")->currentText(), SecondAdapter);

    QCOMPARE(askHost(QStringLiteral("unplug ftdi1")), QString("ok"));
    QTRY_COMPARE_WITH_TIMEOUT((click("pbUpdatePorts"), listedPorts(window)),
                              QStringList({ Adapter }), ReplugLimitMs);
}

void tst_UsbAdapter::connectOpensTheLineAt115200_8N1()
{
    // Settings of another program first, so that the tool's open must change
    // them. QEMU passes the adapter's baud rate and stop bits on to the host's
    // end of the line, not its data bits or parity: those are read here, from
    // the guest's driver.
    QCOMPARE(setForeignLineSettings(Adapter), QString("9600 7 even 2"));
    QTRY_COMPARE(askHost(QStringLiteral("line ftdi0")), QString("9600 8 none 2"));

    connectAndExpectFirstReads();
    QCOMPARE(askHost(QStringLiteral("line ftdi0")), QString("115200 8 none 1"));
    QCOMPARE(guestSettings(int(window->findChild<QSerialPort *>()->handle())),
             QString("115200 8 none 1"));
}

void tst_UsbAdapter::showsTheSelectedChannelAndSendsSetVb()
{
    child<QSpinBox>("sbChannel")->setValue(2);
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), 1.5);
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->value(), 2.0);
    QCOMPARE(child<QLabel>("lIc")->text(), QString("Ic(mA) = 3.14"));
    QCOMPARE(child<QLabel>("lIb")->text(), QString("Ib(mA) = -27.18"));

    QCOMPARE(askHost(QStringLiteral("mark ftdi0")), QString("ok"));
    child<QDoubleSpinBox>("dsbVb")->setValue(1.25);
    click("pbSetVb");
    QTRY_VERIFY(framesSinceMark().contains("FF 53 05 00 00 A0 3F FE"));
    QCOMPARE(framesSinceMark().filter(QStringLiteral("FF 53")),
             QStringList({ "FF 53 05 00 00 A0 3F FE" }));
    child<QSpinBox>("sbChannel")->setValue(0);
}

void tst_UsbAdapter::unplugWhilePollingShowsDisconnectedAndIdles()
{
    QVERIFY(window->findChild<QTimer *>()->isActive());
    QElapsedTimer sinceUnplug;
    sinceUnplug.start();
    QCOMPARE(askHost(QStringLiteral("unplug ftdi0")), QString("ok"));
    QTRY_VERIFY_WITH_TIMEOUT(!window->findChild<QSerialPort *>()->isOpen(), LostLineLimitMs);
    // The window follows the port in the same turn of the event loop.
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("pbConnect")->text(), QString("Connect"), 100);
    QVERIFY2(sinceUnplug.elapsed() <= LostLineLimitMs,
             qPrintable(QString::number(sinceUnplug.elapsed())));
    verifyDisconnected();
    QVERIFY(!QApplication::activeModalWidget()); // no message box

    // A port that still reports its vanished line would keep the loop busy.
    // Emulation inflates both figures alike, so their ratio counts; idle is
    // often a few milliseconds, so up to 50 ms (2.5 % of a core) are allowed
    // on top. A spinning loop takes the whole 2 s.
    const double afterUnplug = cpuSecondsOver(2000);
    qInfo("CPU over 2 s: idle %.3f s, after the unplug %.3f s", idleCpuSeconds, afterUnplug);
    QVERIFY2(afterUnplug <= 3 * idleCpuSeconds + 0.05,
             qPrintable(QString("%1 s against %2 s idle").arg(afterUnplug).arg(idleCpuSeconds)));
}

void tst_UsbAdapter::replugListsItAgainAndConnectsWithTheSamePort()
{
    QSerialPort *port = window->findChild<QSerialPort *>();
    click("pbUpdatePorts");
    QCOMPARE(listedPorts(window), QStringList());
    QVERIFY(!child<QPushButton>("pbConnect")->isEnabled());

    QCOMPARE(askHost(QStringLiteral("plug ftdi0")), QString("ok"));
    QTRY_COMPARE_WITH_TIMEOUT((click("pbUpdatePorts"), listedPorts(window)),
                              QStringList({ Adapter }), ReplugLimitMs);
    QVERIFY(child<QPushButton>("pbConnect")->isEnabled());
    connectAndExpectFirstReads();
    QCOMPARE(window->findChild<QSerialPort *>(), port);
    QVERIFY(port->isOpen());
}

void tst_UsbAdapter::unplugWithTheDialogOpenChangesNoField()
{
    bool ran = false;
    whenModal<Dialog>(this, [&](Dialog *dialog) {
        ran = true;
        checkDialogAcrossUnplug(dialog);
        click(dialog->findChild<QPushButton *>("pushButton")); // "Close"
    });
    click("pbEeprom");
    QVERIFY(ran);
    QVERIFY(!QApplication::activeModalWidget());
    verifyDisconnected();

    QCOMPARE(askHost(QStringLiteral("plug ftdi0")), QString("ok"));
}

void tst_UsbAdapter::checkDialogAcrossUnplug(Dialog *dialog)
{
    static const char *const fields[]
        = { "leIc0", "leIb0", "leIc1", "leIb1", "leIc2", "leIb2", "leIc3", "leIb3" };
    auto texts = [dialog] {
        QStringList all;
        for (const char *name : fields)
            all.append(dialog->findChild<QLineEdit *>(name)->text());
        return all;
    };
    click(dialog->findChild<QPushButton *>("pbRead"));
    QCOMPARE(texts(),
             QStringList(
                 { "1.2345678", "0.9876543", "1.02", "0.98", "1.01", "0.99", "1.005", "0.995" }));
    dialog->findChild<QLineEdit *>("leIc1")->setText(QStringLiteral("7"));

    QElapsedTimer sinceUnplug;
    sinceUnplug.start();
    QCOMPARE(askHost(QStringLiteral("unplug ftdi0")), QString("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("pbConnect")->text(), QString("Connect"),
                              LostLineLimitMs);
    QVERIFY(sinceUnplug.elapsed() <= LostLineLimitMs);

    const QStringList before = texts();
    QElapsedTimer clicked;
    clicked.start();
    click(dialog->findChild<QPushButton *>("pbRead"));
    // No wait for a reply that cannot come, and the dialog stays.
    QVERIFY2(clicked.elapsed() < 150, qPrintable(QString::number(clicked.elapsed())));
    QCOMPARE(texts(), before);
    QCOMPARE(QApplication::activeModalWidget(), dialog);
}

int main(int argc, char *argv[])
{
    if (!QFile::exists(QString::fromLatin1(ControlPath))) {
        fprintf(stderr,
                "tst_usbadapter: no emulated adapter here; it runs in the guest of "
                "scripts/usb-adapter test\n");
        return 77;
    }
    QApplication app(argc, argv);
    tst_UsbAdapter test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_usbadapter.moc"
