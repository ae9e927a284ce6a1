#include "exchange.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

// The link needs only a QIODevice: here one that answers like the controller,
// after a set delay. It runs on every platform, so the exchange and its guard
// are proven on each one's own event loop. The reply comes either from a timer
// of the event loop, or the way Qt's Windows serial port hands over received
// bytes: a call queued from the thread that completed the read, so the bytes
// land inside a posted event. That port also has a trap: what completes while
// waitForBytesWritten() waits is queued unannounced and stays so once it
// returns, which under load swallows a reply that beats the write's own
// completion; the last delivery plays that.
class ScriptedController : public QIODevice
{
public:
    enum Delivery { FromTimer, PostedFromAnotherThread, HeldBackByWriteWait };
    static constexpr int Silent = -1;

    ScriptedController(int replyDelayMs, Delivery delivery = FromTimer)
        : replyDelayMs(replyDelayMs)
        , delivery(delivery)
    {
        open(QIODevice::ReadWrite);
    }
    ~ScriptedController() override
    {
        for (std::thread &completion : completions)
            completion.join();
    }

    QList<QByteArray> frames;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }
    bool waitForBytesWritten(int) override
    {
        if (delivery != HeldBackByWriteWait || !replyDue)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(replyDelayMs + 1));
        replyDue = false;
        return true;
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin(maxSize, qint64(pending.size()));
        memcpy(data, pending.constData(), size_t(n));
        pending.remove(0, n);
        return n;
    }

    qint64 writeData(const char *data, qint64 size) override
    {
        frames << QByteArray(data, int(size));
        if (size != 3 || replyDelayMs == Silent) // only D, R and G are answered
            return size;
        replyDue = true;
        const auto reply = [this] {
            if (!std::exchange(replyDue, false))
                return;
            pending += QByteArray(Link::ValueBlockSize, '\x01');
            emit readyRead();
        };
        if (delivery == FromTimer) {
            QTimer::singleShot(replyDelayMs, Qt::PreciseTimer, this, reply);
        } else {
            completions.emplace_back([this, reply] {
                std::this_thread::sleep_for(std::chrono::milliseconds(replyDelayMs));
                QMetaObject::invokeMethod(this, reply, Qt::QueuedConnection);
            });
        }
        return size;
    }

private:
    int replyDelayMs;
    Delivery delivery;
    QByteArray pending;
    bool replyDue = false;
    std::vector<std::thread> completions;
};
Q_DECLARE_METATYPE(ScriptedController::Delivery)

class tst_LinkDevice : public QObject
{
    Q_OBJECT

private slots:
    void repliesCountOnlyInsideTheWindow_data();
    void repliesCountOnlyInsideTheWindow();
    void nestedRequestsWaitTheirTurn();
};

void tst_LinkDevice::repliesCountOnlyInsideTheWindow_data()
{
    QTest::addColumn<int>("replyDelayMs");
    QTest::addColumn<ScriptedController::Delivery>("delivery");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("doneWithinMs");
    const auto timer = ScriptedController::FromTimer;
    const auto posted = ScriptedController::PostedFromAnotherThread;
    QTest::newRow("at once") << 0 << timer << true << 50;
    QTest::newRow("after 150 ms") << 150 << timer << true << 250;
    QTest::newRow("after 300 ms") << 300 << timer << false << 400;
    QTest::newRow("posted after 5 ms") << 5 << posted << true << 50;
    QTest::newRow("posted while the write is waited for")
        << 5 << ScriptedController::HeldBackByWriteWait << true << 50;
    QTest::newRow("posted, silent") << ScriptedController::Silent << posted << false << 400;
}

void tst_LinkDevice::repliesCountOnlyInsideTheWindow()
{
    QFETCH(int, replyDelayMs);
    QFETCH(ScriptedController::Delivery, delivery);
    QFETCH(bool, accepted);
    QFETCH(int, doneWithinMs);
    // Several times over, the first exchange of a process included. The typical
    // reply is taken as it arrives (one exchange may be slowed by a busy machine);
    // a missing one ends the wait with the window, never long after.
    QList<qint64> took;
    for (int attempt = 0; attempt < 5; ++attempt) {
        ScriptedController controller(replyDelayMs, delivery);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(Link::exchange(&controller, Link::Command::ReadVoltages).has_value(), accepted);
        took << clock.elapsed();
        QVERIFY2(accepted || (took.last() >= Link::ReplyWindowMs && took.last() < 400),
                 qPrintable(QStringLiteral("attempt %1 took %2 ms").arg(attempt).arg(took.last())));
        QCOMPARE(controller.frames, QList<QByteArray> { QByteArray::fromHex("FF44FE") });
    }
    std::sort(took.begin(), took.end());
    QVERIFY2(took.at(2) < doneWithinMs, qPrintable(QStringLiteral("median %1 ms").arg(took.at(2))));
}

void tst_LinkDevice::nestedRequestsWaitTheirTurn()
{
    ScriptedController controller(100);
    QStringList order;
    bool nestedRefused = false;
    QTimer::singleShot(20, this, [&] {
        const QByteArray commit = Link::buildFrame(Link::Command::WriteEeprom);
        nestedRefused = !Link::exchange(&controller, Link::Command::ReadCurrents)
            && !Link::sendCommand(&controller, commit);
        Link::deferIfBusy(&controller, this, [&, commit] {
            order << "first";
            Link::sendCommand(&controller, commit);
        });
        Link::deferIfBusy(&controller, this, [&] { order << "second"; });
    });

    QVERIFY(Link::exchange(&controller, Link::Command::ReadVoltages));
    order << "returned";

    QVERIFY(nestedRefused);
    QTRY_COMPARE(order, QStringList({ "returned", "first", "second" }));
    QCOMPARE(controller.frames,
             QList<QByteArray>({ QByteArray::fromHex("FF44FE"), QByteArray::fromHex("FF57FE") }));
}

QTEST_GUILESS_MAIN(tst_LinkDevice)
#include "tst_linkdevice.moc"
