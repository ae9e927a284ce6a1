#include "controller.h"
#include "exchange.h"
#include "seriallink.h"
#include "simcontroller.h"

#include <QTest>

#include <cstring>

// The controller core in-process, against the simulated controller: what
// torvanctl and servers stand on, with every failure coming back as a value.
class tst_Controller : public QObject
{
    Q_OBJECT

private slots:
    void readsSetsBacksUpAndRestores();
    void failuresComeBackAsValues();
    void adapterBySerialNumber_data();
    void adapterBySerialNumber();
    void backupKnowsItsInstrument();
    void lateBlockNeverAnswersTheNextRequest_data();
    void lateBlockNeverAnswersTheNextRequest();
    void replyToAnEarlierOpeningIsNeverTaken();
    void acknowledgementNeverCompletesAShortReply();
};

using Ports = QList<Link::PortEntry>;
Q_DECLARE_METATYPE(Torvan::Failure::Kind)

static std::unique_ptr<Torvan::Controller> openOn(const SimController &sim)
{
    auto controller = Torvan::Controller::open(sim.devicePath());
    return controller ? std::move(*controller) : nullptr;
}

void tst_Controller::readsSetsBacksUpAndRestores()
{
    SimController source, target;
    for (SimController *sim : { &source, &target }) {
        sim->setPacing(false);
        QVERIFY(sim->start());
    }
    source.setAllCoefficients({ 1.2345678f, -0.0f, 100, 1e-45f, 0.1f, 2, 3, -2.5f });
    const auto controller = openOn(source);
    QVERIFY(controller);
    const auto volts = controller->readSetPoints();
    QVERIFY(volts);
    QCOMPARE(*volts, source.allSetPoints());
    controller->setPoint(3, 1.375);
    QTRY_COMPARE(source.setPoint(3), 1.375f);

    const auto backup = controller->backup();
    QVERIFY(backup);
    const auto other = openOn(target);
    QVERIFY(other);
    QVERIFY(other->restore(*backup, true));
    const SimController::Block restored = target.eepromCoefficients(); // committed, to the bit
    QCOMPARE(std::memcmp(restored.data(), backup->coefficients.data(), sizeof restored), 0);
    QTRY_COMPARE(target.eepromSetPoints(), source.allSetPoints()); // after the W
}

void tst_Controller::failuresComeBackAsValues()
{
    Link::setPortSource([] { return QList<Link::PortEntry>(); });
    const auto none = Torvan::Controller::portNames({});
    QVERIFY(!none);
    QCOMPARE(none.failure().kind, Torvan::Failure::NoAdapter);
    const auto gone = Torvan::Controller::open("/dev/torvan-gone");
    QVERIFY(!gone);
    QCOMPARE(gone.failure().kind, Torvan::Failure::CannotOpen);

    SimController sim;
    sim.setPacing(false);
    QVERIFY(sim.start());
    const auto controller = openOn(sim);
    QVERIFY(controller);
    sim.injectFault(SimController::Fault::NoReply);
    const auto silent = controller->readCurrents();
    QVERIFY(!silent);
    QCOMPARE(silent.failure().kind, Torvan::Failure::NoReply);
    QVERIFY2(silent.failure().message.endsWith(": no valid reply to the R request"),
             qPrintable(silent.failure().message));

    sim.hangUp();
    QTRY_VERIFY(controller->isLost());
    const auto lost = controller->readCurrents();
    QVERIFY(!lost);
    QCOMPARE(lost.failure().kind, Torvan::Failure::LineLost);
}

void tst_Controller::adapterBySerialNumber_data()
{
    QTest::addColumn<Ports>("ports");
    QTest::addColumn<QString>("serialNumber");
    QTest::addColumn<QString>("port"); // or the failure's message
    QTest::addColumn<int>("failure"); // -1: found
    const quint16 vid = Link::AdapterVendorId, pid = Link::AdapterProductId;
    const Ports rack { { "ttyUSB0", vid, pid, "TVB00002" },
                       { "ttyS0", 0, 0, {} },
                       { "ttyUSB1", vid, pid, "TVA00001" } };
    QTest::newRow("one match") << rack << "TVA00001"
                               << "ttyUSB1" << -1;
    QTest::newRow("none") << rack << "TVC00003"
                          << "no adapter with serial number TVC00003 found (USB 0403:6001)"
                          << int(Torvan::Failure::NoAdapter);
    QTest::newRow("two with one serial number")
        << (rack + Ports { { "ttyUSB2", vid, pid, "TVA00001" } }) << "TVA00001"
        << "2 adapters report serial number TVA00001 (ttyUSB1, ttyUSB2)"
        << int(Torvan::Failure::SeveralAdapters);
    QTest::newRow("an adapter without one is never it")
        << Ports { { "ttyUSB0", vid, pid, {} } } << ""
        << "no adapter with serial number  found (USB 0403:6001)"
        << int(Torvan::Failure::NoAdapter);
    QTest::newRow("another product with that serial number")
        << Ports { { "ttyUSB0", vid, 0x6015, "TVA00001" }, { "ttyUSB1", vid, pid, "TVA00001" } }
        << "TVA00001"
        << "ttyUSB1" << -1;
}

void tst_Controller::adapterBySerialNumber()
{
    QFETCH(Ports, ports);
    QFETCH(QString, serialNumber);
    QFETCH(QString, port);
    QFETCH(int, failure);
    Link::setPortSource([ports] { return ports; });
    const auto found = Torvan::Controller::portOfSerialNumber(serialNumber);
    Link::setPortSource({});
    QCOMPARE(found ? -1 : int(found.failure().kind), failure);
    QCOMPARE(found ? *found : found.failure().message, port);
}

// A backup names the adapter's serial number; a restore onto another refuses.
void tst_Controller::backupKnowsItsInstrument()
{
    SimController first, second;
    for (SimController *sim : { &first, &second }) {
        sim->setPacing(false);
        QVERIFY(sim->start());
    }
    Link::setPortSource([&] {
        return Ports { Link::simulatedAdapter(first.devicePath(), "TVA00001"),
                       Link::simulatedAdapter(second.devicePath(), "TVB00002") };
    });
    auto one = Torvan::Controller::open(Torvan::AdapterChoice { {}, "TVA00001" });
    auto other = Torvan::Controller::open(Torvan::AdapterChoice { second.devicePath(), {} });
    Link::setPortSource({});
    QVERIFY(one && other);
    QCOMPARE((*one)->name(), first.devicePath());
    const auto backup = (*one)->backup();
    QVERIFY(backup);
    QCOMPARE(backup->serialNumber, "TVA00001");
    QCOMPARE(Backup::fromJson(Backup::toJson(*backup))->serialNumber, "TVA00001");

    QVERIFY(*(*one)->isInstrumentOf(*backup));
    const auto refused = (*other)->isInstrumentOf(*backup);
    QVERIFY(!refused);
    QCOMPARE(refused.failure().kind, Torvan::Failure::OtherInstrument);
    QCOMPARE(refused.failure().message,
             "the backup was made of the adapter with serial number TVA00001, but "
                 + second.devicePath() + " is TVB00002");
    Backup::Contents unknown = *backup;
    unknown.serialNumber.clear(); // a version 1 file
    QCOMPARE(*(*other)->isInstrumentOf(unknown), false);
}

QTEST_GUILESS_MAIN(tst_Controller)
#include "tst_controller.moc"

void tst_Controller::lateBlockNeverAnswersTheNextRequest_data()
{
    QTest::addColumn<char>("first");
    QTest::addColumn<int>("lateMs");
    QTest::addColumn<char>("next");
    QTest::addColumn<bool>("held"); // until the next request is out
    for (const bool held : { false, true }) {
        const char *when = held ? "after the next request" : "after the window";
        for (const int late : { 30, 100, 500 })
            QTest::addRow("currents %d ms %s, then set-points", late, when)
                << 'R' << late << 'D' << held;
        QTest::addRow("set-points 30 ms %s, then coefficients", when) << 'D' << 30 << 'G' << held;
        QTest::addRow("coefficients 30 ms %s, then currents", when) << 'G' << 30 << 'R' << held;
    }
}

// A reply that comes whole but after its window, even once the next request
// is out, is never returned as the next request's reply: the line settles,
// and a read after the fault is confirmed by a second one.
void tst_Controller::lateBlockNeverAnswersTheNextRequest()
{
    QFETCH(char, first);
    QFETCH(int, lateMs);
    QFETCH(char, next);
    QFETCH(bool, held);
    SimController sim; // at the line rate: the next reply follows a late one, not with it
    QVERIFY(sim.start());
    sim.setFixedCurrents(SimController::Block { 0.01f, 0.02f, 0.03f, 0.04f, 0, 0, 0, 0 });
    const auto controller = openOn(sim);
    QVERIFY(controller);
    const auto read = [&](char command) {
        return command == 'D' ? controller->readSetPoints()
            : command == 'R'  ? controller->readCurrents()
                              : controller->readCoefficients();
    };
    const auto heldBy = [&](char command) {
        SimController::Block values = command == 'D' ? sim.allSetPoints() : sim.currents();
        for (int slot = 0; command == 'G' && slot < 8; ++slot)
            values[slot] = sim.coefficient(slot);
        return values;
    };

    if (held)
        sim.holdNextReply(lateMs);
    else {
        sim.setFaultDelay(Link::ReplyWindowMs + lateMs);
        sim.injectFault(SimController::Fault::Delay);
    }
    const auto timedOut = read(first);
    QVERIFY(!timedOut);
    QCOMPARE(timedOut.failure().kind, Torvan::Failure::NoReply);
    // A controller that answers in turn keeps the next reply behind the late
    // one, so the next read may fail too; one that succeeds holds its own values.
    int good = 0;
    for (int attempt = 0; attempt < 3 && good == 0; ++attempt) {
        const auto block = read(next);
        if (!block)
            continue;
        QCOMPARE(*block, heldBy(next));
        ++good;
    }
    QCOMPARE(good, 1);
}

// One program gives up on a late reply and ends; the next one to open the line
// must not take that reply for its own first one.
void tst_Controller::replyToAnEarlierOpeningIsNeverTaken()
{
    SimController sim;
    QVERIFY(sim.start());
    sim.setFixedCurrents(SimController::Block { 0.01f, 0.02f, 0.03f, 0.04f, 0, 0, 0, 0 });
    sim.injectFault(SimController::Fault::LateWhole);
    QVERIFY(!openOn(sim)->readCurrents());

    const auto next = openOn(sim);
    QVERIFY(next);
    const auto volts = next->readSetPoints();
    QVERIFY(volts);
    QCOMPARE(*volts, sim.allSetPoints());
}

// An acknowledgement of S and a reply one byte short make 32 bytes: the read
// after a frame without reply waits for the line to go quiet first.
void tst_Controller::acknowledgementNeverCompletesAShortReply()
{
    SimController sim;
    QVERIFY(sim.start());
    const auto controller = openOn(sim);
    QVERIFY(controller && controller->readSetPoints()); // the opening's settling done
    sim.injectFault(SimController::Fault::Ack);
    sim.injectFault(SimController::Fault::ShortReply);
    QVERIFY(controller->setPoint(0, 1.5));
    const auto volts = controller->readSetPoints();
    QVERIFY(!volts || *volts == sim.allSetPoints());
}
