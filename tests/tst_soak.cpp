#include "exchange.h"
#include "formwidget.h"
#include "mainwindow.h"
#include "simulatedadapter.h"

#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QMetaEnum>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <cstdio>

using Fault = SimController::Fault;
using Block = SimController::Block;

// Ten thousand exchanges through the main window against a controller that
// misbehaves on about one request in ten, in every way it knows. After every
// step: a good reply is shown exactly, a bad one changes nothing, no two
// requests were ever in flight together, and the window matches the port.
class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void tenThousandExchangesWithFaults();

private:
    template<typename T> T *child(const char *name) { return formWidget<T>(window, name); }
    void check(bool ok, const QString &what);
    Fault drawFault(bool forRead);

    MainWindow *window = nullptr;
    QRandomGenerator random { 20261207 };
    int step = 0;
    QStringList failures;
};

static QString milliamps(float amperes)
{
    return QString::number(double(amperes) * 1000, 'f', 2);
}

void tst_Soak::check(bool ok, const QString &what)
{
    if (!ok)
        failures << QStringLiteral("step %1: %2").arg(step).arg(what);
}

// Faults that cost a whole reply window are drawn less often, so the soak fits
// in a minute; every kind still comes up well over a hundred times.
Fault tst_Soak::drawFault(bool forRead)
{
    if (!forRead)
        return Fault::Ack;
    static const QList<QPair<Fault, int>> weights {
        { Fault::Delay, 5 },      { Fault::LongReply, 5 }, { Fault::Junk, 5 },
        { Fault::ShortReply, 1 }, { Fault::NoReply, 1 },   { Fault::LateReply, 1 },
        { Fault::LateWhole, 1 }
    };
    int pick = random.bounded(19);
    for (const auto &[fault, weight] : weights) {
        if (pick < weight)
            return fault;
        pick -= weight;
    }
    return Fault::Delay;
}

void tst_Soak::tenThousandExchangesWithFaults()
{
    SimulatedAdapter adapter;
    QVERIFY(adapter.started);
    adapter.controller.setFaultDelay(20);
    window = new MainWindow;
    const auto cleanup = qScopeGuard([this] { delete window; });
    window->show();
    QTest::mouseClick(child<QPushButton>("pbConnect"), Qt::LeftButton);
    window->findChild<QTimer *>()->stop(); // the soak drives every poll itself
    auto *port = window->findChild<QSerialPort *>();
    auto *channel = child<QSpinBox>("sbChannel");
    auto *vc = child<QDoubleSpinBox>("dsbVc");
    auto *vb = child<QDoubleSpinBox>("dsbVb");
    auto *ic = child<QLabel>("lIc");
    auto *ib = child<QLabel>("lIb");

    QMap<Fault, int> faultCounts;
    QMap<char, int> actionCounts;
    int exchanges = 0;

    while (exchanges < 10000) {
        ++step;
        Block amperes, volts;
        for (int slot = 0; slot < 8; ++slot) {
            amperes[slot] = float(random.generateDouble() * 0.05 - 0.01);
            volts[slot] = float(random.bounded(2501) / 1000.0);
        }
        adapter.controller.setFixedCurrents(amperes);
        adapter.controller.setAllSetPoints(volts);

        const int roll = random.bounded(100);
        const char action = roll < 55 ? 'R' : roll < 80 ? 'D' : roll < 95 ? 'S' : 'W';
        ++actionCounts[action];
        const bool faulty = random.bounded(10) == 0;
        std::optional<Fault> fault;
        if (faulty)
            fault = drawFault(action == 'R' || action == 'D');
        // A late reply holds back the reply queued behind it, so on a channel change
        // it would decide the R that follows by timing alone: late replies meet polls.
        if ((fault == Fault::LateReply || fault == Fault::LateWhole) && action == 'D')
            fault = Fault::NoReply;
        const bool late = fault == Fault::LateReply || fault == Fault::LateWhole;
        if (fault) {
            adapter.controller.injectFault(*fault);
            ++faultCounts[*fault];
        }
        // A whole reply in time is a good one, whatever earlier requests left waiting.
        const bool goodReply = !fault || fault == Fault::Delay;

        const QString icBefore = ic->text(), ibBefore = ib->text();
        const double vcBefore = vc->value(), vbBefore = vb->value();
        // A good reply may go unshown only where a wait ran out: on a machine
        // too busy to serve the line in time. A wrong value is never allowed.
        QElapsedTimer took;
        took.start();
        const auto stalled = [&] { return took.elapsed() >= Link::ReplyWindowMs; };
        const auto currentsShownOrKept = [&](int n) {
            const bool shown = ic->text() == "Ic(mA) = " + milliamps(amperes[2 * n])
                && ib->text() == "Ib(mA) = " + milliamps(amperes[2 * n + 1]);
            return shown || (stalled() && ic->text() == icBefore && ib->text() == ibBefore);
        };

        if (action == 'R') {
            QVERIFY(QMetaObject::invokeMethod(window, "timerTimeOut"));
            exchanges += 1;
            const int n = channel->value();
            if (goodReply) {
                check(currentsShownOrKept(n),
                      "current not shown: " + ic->text() + ", " + ib->text());
            } else {
                check(ic->text() == icBefore && ib->text() == ibBefore,
                      "a bad reply changed the currents");
            }
        } else if (action == 'D') {
            // The fault meets the D; the R that follows starts with a clean buffer.
            channel->setValue((channel->value() + 1 + random.bounded(3)) % 4);
            exchanges += 2;
            const int n = channel->value();
            const bool voltsShown = vc->value() == std::round(double(volts[2 * n]) * 1000) / 1000
                && vb->value() == std::round(double(volts[2 * n + 1]) * 1000) / 1000;
            if (goodReply) {
                check(voltsShown
                          || (stalled() && vc->value() == vcBefore && vb->value() == vbBefore),
                      "set-points not shown");
            } else {
                check(vc->value() == vcBefore && vb->value() == vbBefore,
                      "a bad reply changed the voltages");
            }
            check(currentsShownOrKept(n), "current after a channel change");
        } else {
            QTest::mouseClick(child<QPushButton>(action == 'S' ? "pbSetVc" : "pbWriteEEPROM"),
                              Qt::LeftButton);
            QTest::qWait(1);
            if (action == 'S')
                check(adapter.controller.setPoint(2 * channel->value()) == float(vc->value()),
                      "Set Vc not applied");
        }

        // What comes after its window waits on the port for the next request,
        // which must not take it for its own reply.
        if (late || fault == Fault::Ack)
            QTRY_VERIFY(!adapter.controller.isReplying() && port->bytesAvailable() > 0);

        check(adapter.controller.overlapCount() == 0, "two requests in flight");
        check(port->isOpen() && child<QPushButton>("pbConnect")->text() == "Close"
                  && child<QGroupBox>("groupBox")->isEnabled(),
              "window and port disagree");
        check(!Link::isBusy(port), "an exchange still waiting");
    }

    QStringList faultSummary;
    const QMetaEnum names = QMetaEnum::fromType<Fault>();
    for (auto it = faultCounts.cbegin(); it != faultCounts.cend(); ++it)
        faultSummary
            << QStringLiteral("%1 %2").arg(names.valueToKey(int(it.key()))).arg(it.value());
    printf(
        "soak: %d exchanges in %d steps (R %d, D+R %d, S %d, W %d); faults: %s; failures: %lld\n",
        exchanges, step, actionCounts['R'], actionCounts['D'], actionCounts['S'], actionCounts['W'],
        qPrintable(faultSummary.join(", ")), qlonglong(failures.size()));
    fflush(stdout);
    QVERIFY2(failures.isEmpty(), qPrintable(failures.mid(0, 20).join('\n')));
}

QTEST_MAIN(tst_Soak)
#include "tst_soak.moc"
