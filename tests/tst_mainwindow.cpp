#include "exchange.h"
#include "formwidget.h"
#include "mainwindow.h"
#include "simulatedadapter.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <cstdio>

using Fault = SimController::Fault;
using Block = SimController::Block;

// The main window end to end: real widgets, a real pseudo-terminal, the
// simulated controller at the far end.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectReadsVoltagesThenCurrentsThenPolls();
    void placeholdersStayUntilTheFirstGoodReading();
    void channelChangeShowsThatChannelAndSendsNothing();
    void setAndCommitSendTheirFrames();
    void failedRepliesChangeNothing_data();
    void failedRepliesChangeNothing();
    void lateReplyNeverAnswersTheNextRequest_data();
    void lateReplyNeverAnswersTheNextRequest();
    void refreshWhileConnectedKeepsTheLinkOpen();
    void failedOpenEndsWithStatusOne();
    void clicksDuringAWaitTakeEffectAfterIt_data();
    void clicksDuringAWaitTakeEffectAfterIt();
    void setClickedAroundAChannelChange_data();
    void setClickedAroundAChannelChange();
    void nothingOverlapsUnderRandomUse();
    void voltageThatIsNotANumberLeavesItsBox();
    void unpluggedAdapterReturnsToDisconnected();
    void unplugDuringAPollEndsTheWaitAtOnce();
    void typedPointOrCommaIsTheDecimalSeparator_data();
    void typedPointOrCommaIsTheDecimalSeparator();

private:
    template<typename T> T *child(const char *name) { return formWidget<T>(window, name); }
    void click(const char *button)
    {
        QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
    }
    void connectToController();
    QSerialPort *port() { return window->findChild<QSerialPort *>(); }

    SimulatedAdapter *adapter = nullptr;
    MainWindow *window = nullptr;
};

void tst_MainWindow::init()
{
    // A form object renamed by mistake silently loses its slot.
    QTest::failOnWarning(QRegularExpression("connectSlotsByName"));
    adapter = new SimulatedAdapter;
    QVERIFY(adapter->started);
    adapter->controller.setAllSetPoints({ 1.25f, 0.5f, 0.75f, 1.0f, 1.5f, 2.0f, 2.7f, 1.23456f });
    adapter->controller.setFixedCurrents(
        Block { 0.0123456f, -0.0045678f, 0.001f, 0.002f, 0.003f, 0.004f, 0.0255f, -0.0001f });
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void tst_MainWindow::cleanup()
{
    delete window;
    delete adapter;
}

void tst_MainWindow::connectToController()
{
    QCOMPARE(child<QComboBox>("cbPorts")->currentText(), adapter->controller.devicePath());
    click("pbConnect");
    QVERIFY(port()->isOpen());
}

void tst_MainWindow::connectReadsVoltagesThenCurrentsThenPolls()
{
    QCOMPARE(child<QComboBox>("cbPorts")->count(), 1); // the port without USB ids is not offered
    QVERIFY(child<QPushButton>("pbConnect")->isEnabled());
    connectToController();

    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Close"));
    QVERIFY(child<QGroupBox>("groupBox")->isEnabled());
    QVERIFY(child<QPushButton>("pbEeprom")->isEnabled());
    QVERIFY(child<QPushButton>("pbWriteEEPROM")->isEnabled());
    QCOMPARE(adapter->frames(), QStringList({ "FF 44 FE", "FF 52 FE" }));
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), 1.25);
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->value(), 0.5);
    QCOMPARE(child<QLabel>("lIc")->text(), QString("Ic(mA) = 12.35"));
    QCOMPARE(child<QLabel>("lIb")->text(), QString("Ib(mA) = -4.57"));

    // Polling reads only the currents, about every 400 ms.
    QTRY_COMPARE_WITH_TIMEOUT(adapter->controller.requests().size(), 5, 3000);
    QCOMPARE(adapter->commands(), QString("DRRRR"));
    const auto requests = adapter->controller.requests();
    const double meanGapMs = (requests[4].atNs - requests[1].atNs) / 3 / 1e6;
    // Not faster than the 400 ms period; slower only as far as a loaded machine delays ticks.
    QVERIFY2(meanGapMs > 350 && meanGapMs < 800, qPrintable(QString::number(meanGapMs)));

    click("pbConnect");
    QVERIFY(!port()->isOpen());
    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Connect"));
    QVERIFY(!child<QGroupBox>("groupBox")->isEnabled());
    QVERIFY(!child<QPushButton>("pbEeprom")->isEnabled());
    QVERIFY(!child<QPushButton>("pbWriteEEPROM")->isEnabled());
    const qsizetype sent = adapter->controller.requests().size();
    QTest::qWait(900);
    QCOMPARE(adapter->controller.requests().size(), sent);
}

void tst_MainWindow::placeholdersStayUntilTheFirstGoodReading()
{
    adapter->controller.injectFault(Fault::NoReply); // the D at connect
    adapter->controller.injectFault(Fault::ShortReply); // the R at connect
    connectToController();
    QCOMPARE(child<QLabel>("lIc")->text(), QString("Ic(mA) = xx"));
    QCOMPARE(child<QLabel>("lIb")->text(), QString("Ib(mA)= xx"));
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), 0.0);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("lIc")->text(), QString("Ic(mA) = 12.35"), 2000);
}

void tst_MainWindow::channelChangeShowsThatChannelAndSendsNothing()
{
    connectToController();
    adapter->controller.clearRequests();

    child<QSpinBox>("sbChannel")->setValue(3);

    QCOMPARE(adapter->commands(), QString("DR"));
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->text(), QString("2.500")); // 2.7 reported
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->text(), QString("1.235")); // 1.23456 reported
    QCOMPARE(child<QLabel>("lIc")->text(), QString("Ic(mA) = 25.50"));
    QCOMPARE(child<QLabel>("lIb")->text(), QString("Ib(mA) = -0.10"));
    // Showing a reported value sets nothing on the controller, then or a
    // little later: a poll after that arrives alone, behind anything on its way.
    QTest::qWait(100);
    QVERIFY(QMetaObject::invokeMethod(window, "timerTimeOut"));
    QTRY_COMPARE(adapter->commands(), QString("DRR"));
    QCOMPARE(adapter->controller.setPoint(6), 2.7f);
}

void tst_MainWindow::setAndCommitSendTheirFrames()
{
    connectToController();
    child<QSpinBox>("sbChannel")->setValue(2);
    auto *vb = child<QDoubleSpinBox>("dsbVb");
    vb->selectAll();
    QTest::keyClicks(vb, "1.25");
    adapter->controller.clearRequests();

    click("pbSetVb");
    click("pbWriteEEPROM");
    child<QDoubleSpinBox>("dsbVc")->setValue(0.1);
    click("pbSetVc");

    QTRY_COMPARE(adapter->controller.requests().size(), 3);
    QCOMPARE(adapter->frames(),
             QStringList({ "FF 53 05 00 00 A0 3F FE", "FF 57 FE", "FF 53 04 CD CC CC 3D FE" }));
    QCOMPARE(adapter->controller.eepromSetPoints()[5], 1.25f);
    QCOMPARE(vb->value(), 1.25); // nothing is read back
}

void tst_MainWindow::failedRepliesChangeNothing_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("31 bytes") << Fault::ShortReply;
    QTest::newRow("33 bytes") << Fault::LongReply;
    QTest::newRow("no reply") << Fault::NoReply;
    QTest::newRow("late reply") << Fault::LateReply;
    QTest::newRow("whole reply, late") << Fault::LateWhole;
    QTest::newRow("junk in front") << Fault::Junk;
}

void tst_MainWindow::failedRepliesChangeNothing()
{
    QFETCH(Fault, fault);
    connectToController();
    // Polls are driven by hand here, so that each fault meets the read it is meant for.
    window->findChild<QTimer *>()->stop();
    const auto poll = [this] { QVERIFY(QMetaObject::invokeMethod(window, "timerTimeOut")); };
    adapter->controller.setAllSetPoints({ 0.25f, 0.125f, 0.375f, 0.625f, 0, 0, 0, 0 });

    // A failed D on a channel change leaves the voltages.
    adapter->controller.injectFault(fault);
    child<QSpinBox>("sbChannel")->setValue(1);
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), 1.25);
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->value(), 0.5);
    QTest::qWait(100); // a late reply arrives meanwhile, and answers nothing

    // A failed R leaves the currents.
    poll();
    adapter->controller.setFixedCurrents(Block { 0, 0, 0.003f, 0.004f, 0, 0, 0, 0 });
    const QString icBefore = child<QLabel>("lIc")->text();
    const QString ibBefore = child<QLabel>("lIb")->text();
    adapter->controller.injectFault(fault);
    poll();
    QCOMPARE(child<QLabel>("lIc")->text(), icBefore);
    QCOMPARE(child<QLabel>("lIb")->text(), ibBefore);

    // The next good poll shows them.
    QTest::qWait(100);
    poll();
    QCOMPARE(child<QLabel>("lIc")->text(), QString("Ic(mA) = 3.00"));
    QCOMPARE(child<QLabel>("lIb")->text(), QString("Ib(mA) = 4.00"));
}

void tst_MainWindow::lateReplyNeverAnswersTheNextRequest_data()
{
    QTest::addColumn<int>("lateMs");
    for (const int late : { 30, 100, 500 })
        QTest::addRow("%d ms late", late) << late;
}

// A poll answered whole but after its window, with a channel change pressed
// during it: the boxes only ever show set-points, the new channel's in the
// end, never the late currents, and polls stay in step.
void tst_MainWindow::lateReplyNeverAnswersTheNextRequest()
{
    QFETCH(int, lateMs);
    connectToController();
    window->findChild<QTimer *>()->stop();
    QList<double> shown;
    for (auto *box : { child<QDoubleSpinBox>("dsbVc"), child<QDoubleSpinBox>("dsbVb") })
        connect(box, &QDoubleSpinBox::valueChanged, this,
                [&shown](double volts) { shown << volts; });
    adapter->controller.setPacing(true); // the next reply follows the late one, not with it
    adapter->controller.holdNextReply(lateMs);
    QTimer::singleShot(50, this, [this] { child<QSpinBox>("sbChannel")->setValue(1); });
    QVERIFY(QMetaObject::invokeMethod(window, "timerTimeOut"));

    // A controller that answers in turn keeps the set-points behind the late
    // reply, past the D's own window: then that read fails, and the boxes
    // keep what they showed.
    const auto channelRead = [this] {
        return adapter->commands().lastIndexOf('D') > 0 && !adapter->controller.isReplying()
            && !Link::isBusy(port());
    };
    QTRY_VERIFY(channelRead());
    // (On a busy machine any read may fail; a shown value is always right.)
    if (!shown.isEmpty())
        QCOMPARE(shown, QList<double>({ 0.75, 1.0 }));
    adapter->controller.setFixedCurrents(Block { 0, 0, 0.0031f, 0.0042f, 0, 0, 0, 0 });
    QVERIFY(QTest::qWaitFor([this] {
        QMetaObject::invokeMethod(window, "timerTimeOut");
        return child<QLabel>("lIc")->text() == "Ic(mA) = 3.10";
    }));
    QCOMPARE(child<QLabel>("lIb")->text(), QString("Ib(mA) = 4.20"));
}

void tst_MainWindow::refreshWhileConnectedKeepsTheLinkOpen()
{
    connectToController();
    adapter->setPlugged(false);
    click("pbUpdatePorts");
    QCOMPARE(child<QComboBox>("cbPorts")->count(), 0);
    QVERIFY(!child<QPushButton>("pbConnect")->isEnabled());
    QVERIFY(port()->isOpen());
    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Close"));
    const qsizetype sent = adapter->controller.requests().size();
    QTRY_VERIFY_WITH_TIMEOUT(adapter->controller.requests().size() > sent, 2000); // still polling

    adapter->setPlugged(true);
    click("pbUpdatePorts");
    QCOMPARE(child<QComboBox>("cbPorts")->count(), 1);
    QVERIFY(child<QPushButton>("pbConnect")->isEnabled());
}

// Runs in a child process: the window ends the process after the error box.
static int failedOpenChild(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Link::setPortSource([] {
        return QList<Link::PortEntry> {
            { "/dev/torvan-unplugged", Link::AdapterVendorId, Link::AdapterProductId, {} }
        };
    });
    MainWindow window;
    window.show();
    QTimer::singleShot(200, &app, [] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        printf("%s|%s|%d\n", qPrintable(box->windowTitle()), qPrintable(box->text()),
               int(box->standardButtons()));
        fflush(stdout);
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    QTimer::singleShot(100, &window, [&window] {
        QTest::mouseClick(window.findChild<QPushButton *>("pbConnect"), Qt::LeftButton);
    });
    app.exec();
    return 0; // only reached if the window did not end the process
}

void tst_MainWindow::failedOpenEndsWithStatusOne()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), { "--failed-open-child" });
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 1);
    QCOMPARE(child.readAllStandardOutput(),
             QByteArray("Error|Can't open Serial Port|") + QByteArray::number(int(QMessageBox::Ok))
                 + "\n");
}

void tst_MainWindow::clicksDuringAWaitTakeEffectAfterIt_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<QString>("framesAfter"); // what reaches the wire after the poll's R
    QTest::newRow("Write EEPROM") << QByteArray("pbWriteEEPROM") << "FF 57 FE";
    QTest::newRow("Set Vc") << QByteArray("pbSetVc") << "FF 53 00 00 00 A0 3F FE";
    QTest::newRow("Close") << QByteArray("pbConnect") << "";
    QTest::newRow("Update...") << QByteArray("pbUpdatePorts") << "";
}

void tst_MainWindow::clicksDuringAWaitTakeEffectAfterIt()
{
    QFETCH(QByteArray, button);
    QFETCH(QString, framesAfter);
    connectToController();
    window->findChild<QTimer *>()->stop();
    adapter->controller.setReplyDelay(120);
    adapter->controller.setFixedCurrents(Block { 0.001f, 0.002f, 0, 0, 0, 0, 0, 0 });
    adapter->controller.clearRequests();
    adapter->setPlugged(false); // so that a refresh shows
    bool clickedInsideTheWait = false;
    QTimer::singleShot(20, this, [&] {
        clickedInsideTheWait = Link::isBusy(port());
        click(button.constData());
    });

    QVERIFY(QMetaObject::invokeMethod(window, "timerTimeOut"));
    QVERIFY(clickedInsideTheWait);
    // The poll's reply was read whole and shown: nothing came between.
    QCOMPARE(child<QLabel>("lIc")->text(), QString("Ic(mA) = 1.00"));
    QTest::qWait(50);

    QStringList expected { "FF 52 FE" };
    if (!framesAfter.isEmpty())
        expected << framesAfter;
    QCOMPARE(adapter->frames(), expected);
    QCOMPARE(port()->isOpen(), button != "pbConnect");
    QCOMPARE(child<QComboBox>("cbPorts")->count(), button == "pbUpdatePorts" ? 0 : 1);
    QCOMPARE(adapter->controller.overlapCount(), 0);
}

void tst_MainWindow::setClickedAroundAChannelChange_data()
{
    QTest::addColumn<bool>("setFirst");
    QTest::addColumn<QString>("expectedFrame");
    // Channel 1 shown, its Vc 0.75 (3F400000); channel 2's Vc is 1.5 (3FC00000).
    QTest::newRow("Set, then channel change") << true << "FF 53 02 00 00 40 3F FE";
    QTest::newRow("channel change, then Set") << false << "FF 53 04 00 00 C0 3F FE";
}

void tst_MainWindow::setClickedAroundAChannelChange()
{
    QFETCH(bool, setFirst);
    QFETCH(QString, expectedFrame);
    connectToController();
    child<QSpinBox>("sbChannel")->setValue(1);
    window->findChild<QTimer *>()->stop();
    adapter->controller.setReplyDelay(100);
    adapter->controller.clearRequests();

    // Both land inside the wait of one poll.
    QTimer::singleShot(20, this, [&] {
        if (setFirst)
            click("pbSetVc");
        child<QSpinBox>("sbChannel")->setValue(2);
        if (!setFirst)
            click("pbSetVc");
    });
    QVERIFY(QMetaObject::invokeMethod(window, "timerTimeOut"));
    QTRY_VERIFY_WITH_TIMEOUT(adapter->commands().count('R') == 2, 2000);
    QTRY_VERIFY(adapter->commands().contains('S'));

    const QStringList frames = adapter->frames();
    QCOMPARE(frames.filter("FF 53"), QStringList { expectedFrame });
    QCOMPARE(adapter->controller.overlapCount(), 0);
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), 1.5);
}

void tst_MainWindow::nothingOverlapsUnderRandomUse()
{
    // Each channel's set-points are distinct: a value shown for one channel and
    // sent to another would show up as a changed set-point at the end.
    const Block initial { 0.125f, 0.25f, 0.5f, 0.625f, 1.0f, 1.125f, 1.5f, 1.625f };
    adapter->controller.setAllSetPoints(initial);
    adapter->controller.setReplyDelay(60);
    connectToController();

    QRandomGenerator random(20261207);
    auto *channel = child<QSpinBox>("sbChannel");
    int actions = 0;
    while (actions < 250) {
        const int delay = random.bounded(30);
        const int kind = random.bounded(10);
        QTimer::singleShot(delay, this, [&, kind] {
            if (kind < 4)
                channel->setValue(random.bounded(4));
            else if (kind < 6)
                click("pbSetVc");
            else if (kind < 8)
                click("pbSetVb");
            else if (kind < 9)
                click("pbWriteEEPROM");
            else
                click("pbUpdatePorts");
        });
        QTest::qWait(delay + 1);
        ++actions;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!Link::isBusy(port()), 30000);
    QTest::qWait(300);
    QTRY_VERIFY_WITH_TIMEOUT(!Link::isBusy(port()), 5000);

    QCOMPARE(adapter->controller.overlapCount(), 0);
    QCOMPARE(adapter->controller.allSetPoints(), initial);
    const int n = channel->value();
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), double(initial[2 * n]));
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->value(), double(initial[2 * n + 1]));
    QVERIFY(adapter->commands().count('S') > 20);
}

void tst_MainWindow::voltageThatIsNotANumberLeavesItsBox()
{
    connectToController();
    adapter->controller.setAllSetPoints({ NAN, INFINITY, NAN, -INFINITY, 0, 0, 0, 0 });
    adapter->controller.clearRequests();
    child<QSpinBox>("sbChannel")->setValue(1);
    QCOMPARE(adapter->commands(), QString("DR"));
    QCOMPARE(child<QDoubleSpinBox>("dsbVc")->value(), 1.25);
    QCOMPARE(child<QDoubleSpinBox>("dsbVb")->value(), 0.5);
}

void tst_MainWindow::unpluggedAdapterReturnsToDisconnected()
{
    connectToController();
    QSignalSpy errors(port(), &QSerialPort::errorOccurred);
    adapter->controller.hangUp();

    QTRY_VERIFY(!port()->isOpen());
    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Connect"));
    QVERIFY(!child<QGroupBox>("groupBox")->isEnabled());
    QVERIFY(!child<QPushButton>("pbEeprom")->isEnabled());
    QVERIFY(!child<QPushButton>("pbWriteEEPROM")->isEnabled());
    QVERIFY(!QApplication::activeModalWidget()); // no message box
    // A hung-up line left open reports errors endlessly; closed, it is quiet.
    QTest::qWait(300);
    QVERIFY2(errors.size() < 10, qPrintable(QString::number(errors.size())));
    QVERIFY(!window->findChild<QTimer *>()->isActive());
}

void tst_MainWindow::unplugDuringAPollEndsTheWaitAtOnce()
{
    connectToController();
    adapter->controller.setReplyDelay(150);
    QElapsedTimer waited;
    connect(&adapter->controller, &SimController::requestReceived, this, [&] {
        waited.start();
        adapter->controller.hangUp();
    });
    QTRY_VERIFY_WITH_TIMEOUT(!port()->isOpen(), 2000);
    QVERIFY(waited.isValid());
    QVERIFY2(waited.elapsed() < 150, qPrintable(QString::number(waited.elapsed())));
    QTRY_VERIFY(!Link::isBusy(port()));
    QCOMPARE(child<QPushButton>("pbConnect")->text(), QString("Connect"));
}

void tst_MainWindow::typedPointOrCommaIsTheDecimalSeparator_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<double>("volts");
    // Either mark is the decimal separator in every language, and never a
    // thousands separator: "1.000" is one volt, not a thousand.
    const QList<QPair<const char *, QLocale>> languages {
        { "C", QLocale::c() },
        { "English", QLocale(QLocale::English, QLocale::UnitedStates) },
        { "German", QLocale(QLocale::German, QLocale::Germany) },
        { "French", QLocale(QLocale::French, QLocale::France) },
        { "Swiss German", QLocale(QLocale::German, QLocale::Switzerland) },
    };
    for (const auto &[language, locale] : languages) {
        QTest::addRow("%s, point", language) << locale << "0.125" << 0.125;
        QTest::addRow("%s, comma", language) << locale << "0,125" << 0.125;
        QTest::addRow("%s, 1.000", language) << locale << "1.000" << 1.0;
        QTest::addRow("%s, 1,000", language) << locale << "1,000" << 1.0;
    }
}

void tst_MainWindow::typedPointOrCommaIsTheDecimalSeparator()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, typed);
    QFETCH(double, volts);
    delete window;
    QLocale::setDefault(locale);
    window = new MainWindow;
    window->show();
    QLocale::setDefault(QLocale::c());
    connectToController();
    adapter->controller.clearRequests();

    for (const char *name : { "dsbVc", "dsbVb" }) {
        auto *box = child<QDoubleSpinBox>(name);
        box->selectAll();
        QTest::keyClicks(box, typed);
        QCOMPARE(box->value(), volts);
    }
    click("pbSetVc");
    QTRY_COMPARE(adapter->controller.setPoint(0), float(volts));
}

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--failed-open-child") == 0)
        return failedOpenChild(argc, argv);
    QApplication app(argc, argv);
    tst_MainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
