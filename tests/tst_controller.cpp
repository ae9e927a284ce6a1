#include "controller.h"
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
};

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

QTEST_GUILESS_MAIN(tst_Controller)
#include "tst_controller.moc"
