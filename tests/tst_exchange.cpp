#include "exchange.h"
#include "seriallink.h"
#include "simcontroller.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>
#include <QTimer>

using Fault = SimController::Fault;

// Exchanges over a real pseudo-terminal and QSerialPort, against the simulated controller.
class tst_Exchange : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void acceptsOnlyAWholeReplyInsideTheWindow_data();
    void acceptsOnlyAWholeReplyInsideTheWindow();
    void noReplyFailsAfterTheWindow();
    void wholeReplyIsTakenAtOnce();
    void leftOversNeverAnswerTheNextRequest_data();
    void leftOversNeverAnswerTheNextRequest();
    void eventsAreProcessedDuringTheWait();
    void nestedExchangeNeverReachesTheWire();
    void commandsAndTasksWaitForTheReply();
    void commandReachesTheController();
    void closedPortSendsNothing();

private:
    SimController *controller = nullptr;
    QSerialPort *port = nullptr;
};

void tst_Exchange::init()
{
    controller = new SimController;
    controller->setPacing(false);
    const auto started = controller->start();
    QVERIFY2(started, qPrintable(started ? QString() : started.failure()));
    port = new QSerialPort;
    QVERIFY2(Link::openLink(port, controller->devicePath()), qPrintable(port->errorString()));
}

void tst_Exchange::cleanup()
{
    delete port;
    delete controller;
}

void tst_Exchange::acceptsOnlyAWholeReplyInsideTheWindow_data()
{
    QTest::addColumn<QList<Fault>>("faults");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("whole reply") << QList<Fault>() << 0 << true;
    QTest::newRow("whole reply after 150 ms") << QList<Fault>() << 150 << true;
    QTest::newRow("31 bytes") << QList<Fault> { Fault::ShortReply } << 0 << false;
    QTest::newRow("33 bytes") << QList<Fault> { Fault::LongReply } << 0 << false;
    QTest::newRow("junk in front") << QList<Fault> { Fault::Junk } << 0 << false;
    QTest::newRow("completes after 250 ms") << QList<Fault> { Fault::LateReply } << 0 << false;
    QTest::newRow("whole after 250 ms") << QList<Fault> { Fault::LateWhole } << 0 << false;
}

void tst_Exchange::acceptsOnlyAWholeReplyInsideTheWindow()
{
    QFETCH(QList<Fault>, faults);
    QFETCH(int, delayMs);
    QFETCH(bool, accepted);
    for (Fault fault : faults)
        controller->injectFault(fault);
    controller->setReplyDelay(delayMs);
    controller->setSetPoint(6, 2.125f);

    const auto block = Link::exchange(port, Link::Command::ReadVoltages);

    QCOMPARE(block.has_value(), accepted);
    if (accepted)
        QCOMPARE((*block)[6], 2.125f);
    QCOMPARE(controller->requests().size(), 1);
    QCOMPARE(controller->requests().first().frame, QByteArray::fromHex("FF44FE"));
}

// A silent controller: the wait sleeps between events yet still serves them,
// and ends with the window whether or not anything else wakes it.
void tst_Exchange::noReplyFailsAfterTheWindow()
{
    const auto timedExchange = [this] {
        controller->injectFault(Fault::NoReply);
        QElapsedTimer clock;
        clock.start();
        const bool answered = Link::exchange(port, Link::Command::ReadCurrents).has_value();
        const qint64 elapsed = clock.elapsed();
        QVERIFY(!answered);
        QVERIFY2(elapsed >= 200, qPrintable(QString::number(elapsed)));
        // 210 ms is the budget; the rest is slack for a loaded machine.
        QVERIFY2(elapsed < 400, qPrintable(QString::number(elapsed)));
    };
    timedExchange();

    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
    ticker.start(5);
    timedExchange();
    // Forty ticks fit in the window; a loaded machine may lose some, not most.
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
}

void tst_Exchange::wholeReplyIsTakenAtOnce()
{
    controller->setReplyDelay(60);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(Link::exchange(port, Link::Command::ReadCurrents));
    // Taken as it completes, not when the window ends at 200 ms; the margin
    // is for a loaded machine.
    QVERIFY2(clock.elapsed() < 190, qPrintable(QString::number(clock.elapsed())));
}

void tst_Exchange::leftOversNeverAnswerTheNextRequest_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<Fault>("fault");
    const QByteArray read = QByteArray(1, Link::Command::ReadCurrents);
    QTest::newRow("half a reply, the rest late") << read << Fault::LateReply;
    QTest::newRow("a whole reply, late") << read << Fault::LateWhole;
    QTest::newRow("an acknowledgement of W")
        << Link::buildFrame(Link::Command::WriteEeprom) << Fault::Ack;
}

// Whatever an earlier request left on the line, the next reply is the
// controller's answer to the next request: the D after it shows set-points.
void tst_Exchange::leftOversNeverAnswerTheNextRequest()
{
    QFETCH(QByteArray, first);
    QFETCH(Fault, fault);
    controller->injectFault(fault);
    if (first.size() == 1)
        QVERIFY(!Link::exchange(port, first.at(0)));
    else
        Link::sendCommand(port, first);
    // Everything the controller sends for it arrives before the next request.
    QTRY_VERIFY(controller->requests().size() == 1 && !controller->isReplying());
    QTest::qWait(20);
    QVERIFY(port->bytesAvailable() > 0);

    const auto block = Link::exchange(port, Link::Command::ReadVoltages);
    QVERIFY(block);
    QCOMPARE(*block, controller->allSetPoints());
    QCOMPARE(controller->overlapCount(), 0);
}

void tst_Exchange::eventsAreProcessedDuringTheWait()
{
    controller->setReplyDelay(120);
    bool fired = false;
    QTimer::singleShot(10, this, [&] { fired = true; });
    QVERIFY(Link::exchange(port, Link::Command::ReadCoefficients));
    QVERIFY(fired);
}

void tst_Exchange::nestedExchangeNeverReachesTheWire()
{
    controller->setReplyDelay(120);
    bool busyInside = false;
    std::optional<Link::ValueBlock> nested = Link::ValueBlock {};
    QTimer::singleShot(20, this, [&] {
        busyInside = Link::isBusy(port);
        nested = Link::exchange(port, Link::Command::ReadCurrents);
    });

    const auto outer = Link::exchange(port, Link::Command::ReadVoltages);

    QVERIFY(busyInside);
    QVERIFY(!nested);
    QVERIFY(outer);
    QCOMPARE((*outer)[0], controller->setPoint(0)); // the voltages, not currents
    QCOMPARE(controller->requests().size(), 1);
    QVERIFY(!Link::isBusy(port));
}

void tst_Exchange::commandsAndTasksWaitForTheReply()
{
    controller->setReplyDelay(120);
    QStringList order;
    QTimer::singleShot(20, this, [&] {
        // A frame is refused like an exchange; a queued task sends it.
        QVERIFY(!Link::sendCommand(port, Link::buildFrame(Link::Command::WriteEeprom)));
        QVERIFY(Link::deferIfBusy(port, this, [&] {
            order << "first task";
            QVERIFY(Link::sendCommand(port, Link::buildFrame(Link::Command::WriteEeprom)));
        }));
        QVERIFY(Link::deferIfBusy(port, this, [&] {
            order << "second task";
            // A task may run an exchange of its own.
            QVERIFY(Link::exchange(port, Link::Command::ReadCurrents));
        }));
        order << "queued";
    });

    QVERIFY(Link::exchange(port, Link::Command::ReadVoltages));
    order << "returned";

    // The caller deals with its reply before anything queued runs.
    QCOMPARE(order, QStringList({ "queued", "returned" }));
    QTRY_COMPARE(order, QStringList({ "queued", "returned", "first task", "second task" }));
    const QList<SimController::Request> requests = controller->requests();
    QCOMPARE(requests.size(), 3);
    QCOMPARE(requests[0].command(), 'D');
    QCOMPARE(requests[1].command(), 'W');
    QCOMPARE(requests[2].command(), 'R');
    // The W went out only once the D's reply was in.
    QVERIFY(requests[1].atNs - requests[0].atNs >= 120 * 1000000LL);
    QCOMPARE(controller->overlapCount(), 0);
    QVERIFY(!Link::deferIfBusy(port, this, [] {}));
}

void tst_Exchange::commandReachesTheController()
{
    Link::sendCommand(port, Link::setPointFrame(7, 1.5));
    QTRY_COMPARE(controller->setPoint(7), 1.5f);
    QCOMPARE(controller->requests().constLast().frame, QByteArray::fromHex("FF530700 00C03FFE"));
}

void tst_Exchange::closedPortSendsNothing()
{
    Link::closeLink(port);
    QVERIFY(!Link::exchange(port, Link::Command::ReadVoltages));
    Link::sendCommand(port, Link::buildFrame(Link::Command::WriteEeprom));
    QTest::qWait(20);
    QCOMPARE(controller->requests().size(), 0);
}

QTEST_GUILESS_MAIN(tst_Exchange)
#include "tst_exchange.moc"
