#include "dialog.h"
#include "mainwindow.h"
#include "simulatedadapter.h"

#include "coefficienttext.h"
#include "exchange.h"

#include <QApplication>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QtEndian>

// A user who does not wait: presses, channel changes and dialog clicks at
// random moments, many of them inside a reply's wait or a modal dialog, against
// a controller with slow and faulty replies. On the wire, every press must go
// out exactly once, in the order it was made, with what the press saw, and no
// request may overlap another.
class tst_Interleaving : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pressesReachTheWireInPressOrder_data();
    void pressesReachTheWireInPressOrder();

private:
    // What one press must put on the wire. A set-point press sends the value
    // typed before it. Only where typing changed nothing may the box still
    // show a set-point of the channel chosen before; then the press sends what
    // the new channel's read puts there, or, should that fail, what it showed.
    struct Expected
    {
        QByteArray frame; // exact, unless setPointIndex >= 0
        int setPointIndex = -1;
        float typed = 0;
        bool typingChangedNothing = false;
    };

    void act();
    void actInMainWindow();
    void actInDialog(Dialog *dialog);
    void click(QWidget *parent, const char *name);
    QString describe(const QList<QByteArray> &frames) const;

    SimulatedAdapter *adapter = nullptr;
    MainWindow *window = nullptr;
    QRandomGenerator random;
    int actionsLeft = 0;
    QList<Expected> expected;
};

static const char *const FieldsInSlotOrder[]
    = { "leIc0", "leIb0", "leIc1", "leIb1", "leIc2", "leIb2", "leIc3", "leIb3" };

static bool isRead(const QByteArray &frame)
{
    return frame == QByteArray::fromHex("FF44FE") || frame == QByteArray::fromHex("FF47FE");
}

// How many frames from on are this one.
static qsizetype runLength(const QList<QByteArray> &frames, qsizetype from, const QByteArray &frame)
{
    qsizetype end = from;
    while (end < frames.size() && frames[end] == frame)
        ++end;
    return end - from;
}

static QByteArray floatBytes(float value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

void tst_Interleaving::init()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    adapter = new SimulatedAdapter;
    QVERIFY(adapter->started);
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    click(window, "pbConnect");
    QVERIFY(window->findChild<QSerialPort *>()->isOpen());
    expected.clear();
}

void tst_Interleaving::cleanup()
{
    actionsLeft = -1;
    delete window;
    window = nullptr;
    delete adapter;
    QLocale::setDefault(QLocale::c());
}

void tst_Interleaving::pressesReachTheWireInPressOrder_data()
{
    QTest::addColumn<quint32>("seed");
    // More seeds: TORVAN_INTERLEAVING_SEEDS=first,count
    const QList<QByteArray> range = qgetenv("TORVAN_INTERLEAVING_SEEDS").split(',');
    const quint32 first = range.size() == 2 ? range[0].toUInt() : 1;
    const quint32 count = range.size() == 2 ? range[1].toUInt() : 4;
    for (quint32 seed = first; seed < first + count; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

void tst_Interleaving::pressesReachTheWireInPressOrder()
{
    QFETCH(quint32, seed);
    random.seed(seed);
    // Slow replies well inside the window: this process serves the simulated
    // line from its own event loop, so on a loaded machine a reply due late
    // in the window could leave after it, and the next request would meet it.
    adapter->controller.setFaultDelay(60);

    const SimController::Block setPointsAtStart = adapter->controller.allSetPoints();
    adapter->controller.clearRequests();

    actionsLeft = 120;
    QTimer::singleShot(0, this, &tst_Interleaving::act);
    QVERIFY(QTest::qWaitFor(
        [this] { return actionsLeft == 0 && !QApplication::activeModalWidget(); }, 120000));
    window->findChild<QTimer *>()->stop();

    // Polls (R) come and go with the timer; every other request is a press's.
    QList<QByteArray> sent;
    const auto pressFrames = [&] {
        sent.clear();
        for (const SimController::Request &request : adapter->controller.requests())
            if (request.command() != 'R')
                sent << request.frame;
        return sent.size() >= expected.size();
    };
    // Everything still queued goes out, and nothing more after it.
    const bool allOut = QTest::qWaitFor(pressFrames, 10000);
    Q_UNUSED(allOut) // the counts are compared below, with the wire shown
    // Reads confirmed after a fault, and settling the line, add frames and time.
    for (qsizetype seen = -1; seen != sent.size();) {
        seen = sent.size();
        QTest::qWait(600);
        pressFrames();
    }
    QCOMPARE(adapter->controller.overlapCount(), 0);

    const QString context = QStringLiteral("seed %1, wire: %2").arg(seed).arg(describe(sent));
    QList<QByteArray> pressed;
    for (const Expected &press : expected)
        pressed << press.frame;
    SimController::Block held = setPointsAtStart;
    qsizetype next = 0; // in sent
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const Expected &press = expected[i];
        QVERIFY2(next < sent.size(),
                 qPrintable(QStringLiteral("press %1 sent nothing; %2").arg(i).arg(context)));
        const QByteArray &frame = sent[next++];
        if (isRead(press.frame)) {
            // A read after a fault on the line is read again until two replies
            // agree: k D or G presses in a row go out as k to 4k frames.
            const qsizetype presses = runLength(pressed, i, press.frame);
            const qsizetype frames = runLength(sent, next - 1, press.frame);
            QVERIFY2(frames >= presses && frames <= Link::MaxReadsToConfirm * presses,
                     qPrintable(QStringLiteral("presses %1 to %2 sent %3 such frames; %4")
                                    .arg(i)
                                    .arg(i + presses - 1)
                                    .arg(frames)
                                    .arg(context)));
            i += presses - 1;
            next += frames - 1;
            continue;
        }
        if (press.setPointIndex < 0) {
            QVERIFY2(frame == press.frame,
                     qPrintable(QStringLiteral("press %1 sent %2, not %3; %4")
                                    .arg(i)
                                    .arg(QString(frame.toHex(' ')), QString(press.frame.toHex(' ')),
                                         context)));
            continue;
        }
        const QByteArray head = QByteArray::fromHex("FF53") + char(press.setPointIndex);
        const auto sends = [&](float volts) { return frame == head + floatBytes(volts) + '\xFE'; };
        bool allowed = sends(press.typed);
        if (press.typingChangedNothing)
            allowed = allowed || sends(held[press.setPointIndex]);
        QVERIFY2(allowed,
                 qPrintable(QStringLiteral("press %1 sent %2 for set-point %3 (typed %4); %5")
                                .arg(i)
                                .arg(QString(frame.toHex(' ')))
                                .arg(press.setPointIndex)
                                .arg(press.typed)
                                .arg(context)));
        held[press.setPointIndex] = qFromLittleEndian<float>(frame.constData() + 3);
    }
    QVERIFY2(next == sent.size(),
             qPrintable(QStringLiteral("%1 frames more than the presses sent; %2")
                            .arg(sent.size() - next)
                            .arg(context)));
}

// One action, then the next after a random pause, so that many land inside a
// wait or a modal dialog started by an earlier one: the next is scheduled
// before this one runs, and fires inside whatever event loop this one starts.
void tst_Interleaving::act()
{
    if (actionsLeft < 0)
        return;
    auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
    if (actionsLeft == 0) {
        // Done: close the dialog, and again should a queued press reopen it,
        // until the test body, waiting below the dialog's loop, takes over.
        if (dialog)
            dialog->reject();
        QTimer::singleShot(50, this, &tst_Interleaving::act);
        return;
    }
    --actionsLeft;
    QTimer::singleShot(int(random.bounded(120)), this, &tst_Interleaving::act);

    // Slow and faulty replies. None that comes in pieces past the reply
    // window: the next request would follow the late bytes at the window's
    // very edge, where this process's own simulator cannot tell an overlap by
    // its clock. And no acknowledgements: one that comes after the next
    // request, ahead of a reply one byte short, makes 32 bytes that no client
    // can tell from a reply.
    using Fault = SimController::Fault;
    static const Fault faults[]
        = { Fault::Delay, Fault::ShortReply, Fault::LongReply, Fault::NoReply, Fault::Junk };
    if (random.bounded(4) == 0)
        adapter->controller.injectFault(faults[random.bounded(int(std::size(faults)))]);
    if (dialog)
        actInDialog(dialog);
    else
        actInMainWindow();
}

void tst_Interleaving::actInMainWindow()
{
    auto *channel = window->findChild<QSpinBox *>("sbChannel");
    switch (random.bounded(6)) {
    case 0: // a poll tick of its own, besides the timer's
        QMetaObject::invokeMethod(window, "timerTimeOut");
        break;
    case 1: // the D read; its R and the polls' are not presses
        expected << Expected { QByteArray::fromHex("FF44FE") };
        channel->setValue((channel->value() + 1 + int(random.bounded(3))) % 4);
        break;
    case 2:
    case 3: {
        const bool vc = random.bounded(2) == 0;
        const int index = 2 * channel->value() + (vc ? 0 : 1);
        const double volts = random.bounded(2501) / 1000.0;
        auto *box = window->findChild<QDoubleSpinBox *>(vc ? "dsbVc" : "dsbVb");
        expected << Expected { {}, index, float(volts), box->value() == volts };
        box->setValue(volts);
        click(window, vc ? "pbSetVc" : "pbSetVb");
        break;
    }
    case 4:
        expected << Expected { QByteArray::fromHex("FF57FE") };
        click(window, "pbWriteEEPROM");
        break;
    case 5:
        click(window, "pbEeprom"); // may not return until the dialog closes
        break;
    }
}

void tst_Interleaving::actInDialog(Dialog *dialog)
{
    switch (random.bounded(5)) {
    case 0:
    case 1:
        expected << Expected { QByteArray::fromHex("FF47FE") };
        click(dialog, "pbRead");
        break;
    case 2:
    case 3: {
        QByteArray frame = QByteArray::fromHex("FF43");
        for (const char *name : FieldsInSlotOrder) {
            const float value = float(random.bounded(2.0));
            dialog->findChild<QLineEdit *>(name)->setText(
                Torvan::coefficientText(value, QLocale()));
            frame += floatBytes(value);
        }
        expected << Expected { frame + '\xFE' };
        click(dialog, "pbWrite");
        break;
    }
    case 4:
        dialog->reject();
        break;
    }
}

void tst_Interleaving::click(QWidget *parent, const char *name)
{
    QTest::mouseClick(parent->findChild<QPushButton *>(QLatin1String(name)), Qt::LeftButton);
}

QString tst_Interleaving::describe(const QList<QByteArray> &frames) const
{
    QStringList letters;
    for (const QByteArray &frame : frames)
        letters << QString(QLatin1Char(frame.at(1)));
    return letters.join(QString());
}

QTEST_MAIN(tst_Interleaving)
#include "tst_interleaving.moc"
