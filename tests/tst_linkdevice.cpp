#include "exchange.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QTest>
#include <QTimer>

// The link needs only a QIODevice: here one that answers like the controller,
// after a set delay, from the event loop. It runs on every platform, so the
// exchange and its guard are proven on each one's own event loop.
class ScriptedController : public QIODevice
{
public:
    explicit ScriptedController(int replyDelayMs)
        : replyDelayMs(replyDelayMs)
    {
        open(QIODevice::ReadWrite);
    }

    QList<QByteArray> frames;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }

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
        if (size == 3) { // D, R and G are answered with a whole value block
            QTimer::singleShot(replyDelayMs, Qt::PreciseTimer, this, [this] {
                pending += QByteArray(Link::ValueBlockSize, '\x01');
                emit readyRead();
            });
        }
        return size;
    }

private:
    int replyDelayMs;
    QByteArray pending;
};

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
    QTest::addColumn<bool>("accepted");
    QTest::newRow("at once") << 0 << true;
    QTest::newRow("after 150 ms") << 150 << true;
    QTest::newRow("after 300 ms") << 300 << false;
}

void tst_LinkDevice::repliesCountOnlyInsideTheWindow()
{
    QFETCH(int, replyDelayMs);
    QFETCH(bool, accepted);
    ScriptedController controller(replyDelayMs);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(Link::exchange(&controller, Link::Command::ReadVoltages).has_value(), accepted);
    // A reply is taken as it arrives; none ends the wait with the window.
    QVERIFY2(accepted ? clock.elapsed() < replyDelayMs + 100 : clock.elapsed() >= 200,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(controller.frames, QList<QByteArray> { QByteArray::fromHex("FF44FE") });
}

void tst_LinkDevice::nestedRequestsWaitTheirTurn()
{
    ScriptedController controller(100);
    QStringList order;
    bool nestedRefused = false;
    QTimer::singleShot(20, this, [&] {
        nestedRefused = !Link::exchange(&controller, Link::Command::ReadCurrents);
        Link::sendCommand(&controller, Link::buildFrame(Link::Command::WriteEeprom));
        Link::deferIfBusy(&controller, this, [&] { order << "first"; });
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
