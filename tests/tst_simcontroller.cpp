#include "simcontroller.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <poll.h>

// The simulated controller on its own, spoken to with raw bytes: the tests of
// the tool rely on it behaving like the wire format says.
class tst_SimController : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersReadsWithValueBlocks_data();
    void answersReadsWithValueBlocks();
    void setPointPayloadMayHoldMarkerBytes();
    void skipsBytesThatCannotStartAFrame();
    void coefficientWriteIsKeptInEeprom();
    void eepromImageSurvivesARestart();
    void unreadableEepromImageIsRefused();
    void flagsARequestWhileAReplyIsDue();
    void doesNotFlagRequestsItReadLate();
    void pacedReplyTakesTheLineTime();
    void currentsFollowTheSetPoints();
    void hangUpClosesTheLine();
    void commandLineRejectsBadInput_data();
    void commandLineRejectsBadInput();

private:
    QByteArray ask(const QByteArray &request, int expectBytes, int timeoutMs = 1000);

    SimController *controller = nullptr;
    QSerialPort *client = nullptr;
};

void tst_SimController::init()
{
    controller = new SimController;
    controller->setPacing(false);
    QVERIFY(controller->start());
    client = new QSerialPort;
    client->setPortName(controller->devicePath());
    QVERIFY(client->open(QIODevice::ReadWrite));
}

void tst_SimController::cleanup()
{
    delete client;
    delete controller;
}

QByteArray tst_SimController::ask(const QByteArray &request, int expectBytes, int timeoutMs)
{
    client->write(request);
    QElapsedTimer clock;
    clock.start();
    while (client->bytesAvailable() < expectBytes && clock.elapsed() < timeoutMs)
        QTest::qWait(1);
    return client->readAll();
}

static float slot(const QByteArray &block, int index)
{
    return qFromLittleEndian<float>(block.constData() + 4 * index);
}

void tst_SimController::answersReadsWithValueBlocks_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<float>("slot3");
    QTest::newRow("D: set-points") << QByteArray::fromHex("FF44FE") << 0.5f;
    QTest::newRow("G: coefficients") << QByteArray::fromHex("FF47FE") << 1.25f;
}

void tst_SimController::answersReadsWithValueBlocks()
{
    QFETCH(QByteArray, request);
    QFETCH(float, slot3);
    controller->setSetPoint(3, 0.5f);
    controller->setCoefficient(3, 1.25f);
    const QByteArray reply = ask(request, 32);
    QCOMPARE(reply.size(), 32);
    QCOMPARE(slot(reply, 3), slot3);
}

void tst_SimController::setPointPayloadMayHoldMarkerBytes()
{
    // Index 7, value with bytes FE FF FF 3E: only the fixed length finds the end marker.
    const QByteArray frame = QByteArray::fromHex("FF5307FEFFFF3EFE");
    client->write(frame);
    QTRY_COMPARE(controller->requests().size(), 1);
    QCOMPARE(controller->setPoint(7), qFromLittleEndian<float>("\xFE\xFF\xFF\x3E"));
}

void tst_SimController::skipsBytesThatCannotStartAFrame()
{
    // Noise, an unknown letter, a frame with a wrong end marker, then a good read.
    const QByteArray reply = ask(QByteArray::fromHex("0013FE"
                                                     "FF99FE"
                                                     "FF4400"
                                                     "FF52FE"),
                                 32);
    QCOMPARE(reply.size(), 32);
    QCOMPARE(controller->requests().size(), 1);
    QCOMPARE(controller->requests().first().command(), 'R');
}

void tst_SimController::coefficientWriteIsKeptInEeprom()
{
    QByteArray frame = QByteArray::fromHex("FF43");
    for (int i = 0; i < 8; ++i) {
        char bytes[4];
        qToLittleEndian(float(i) + 0.5f, bytes);
        frame.append(bytes, 4);
    }
    frame.append(char(0xFE));
    client->write(frame);
    QTRY_COMPARE(controller->coefficient(7), 7.5f);
    QCOMPARE(controller->eepromCoefficients()[2], 2.5f);
}

void tst_SimController::eepromImageSurvivesARestart()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("eeprom.txt");
    QVERIFY(controller->setEepromFile(path));
    client->write(QByteArray::fromHex("FF5302CDCCCC3DFE") + QByteArray::fromHex("FF57FE"));
    QTRY_COMPARE(controller->requests().size(), 2);
    QVERIFY(QFile::exists(path));

    SimController restarted;
    const auto loaded = restarted.setEepromFile(path);
    QVERIFY2(loaded, qPrintable(loaded ? QString() : loaded.failure()));
    QCOMPARE(restarted.setPoint(2), 0.1f); // bit-exact through the text image
    QCOMPARE(restarted.eepromSetPoints(), controller->eepromSetPoints());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { "eeprom.txt" });
}

void tst_SimController::unreadableEepromImageIsRefused()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("eeprom.txt");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("setpoints 1 2 3\n");
    file.close();
    const QByteArray before = [&] {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();

    const auto loaded = controller->setEepromFile(path);
    QVERIFY(!loaded);
    QVERIFY(loaded.failure().contains(path));
    // Nor is it written over by a later W.
    client->write(QByteArray::fromHex("FF57FE"));
    QTRY_COMPARE(controller->requests().size(), 1);
    QFile after(path);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), before);
}

void tst_SimController::flagsARequestWhileAReplyIsDue()
{
    controller->setReplyDelay(100);
    QTest::qWait(300); // after a quiet line, longer than a window
    client->write(QByteArray::fromHex("FF44FE"));
    QTRY_COMPARE(controller->requests().size(), 1);
    client->write(QByteArray::fromHex("FF52FE"));
    QTRY_COMPARE(controller->requests().size(), 2);
    QCOMPARE(controller->overlapCount(), 1);
    QVERIFY(controller->requests().at(1).overlapped);
    QTRY_COMPARE_WITH_TIMEOUT(client->bytesAvailable(), qint64(64), 2000);
}

void tst_SimController::doesNotFlagRequestsItReadLate()
{
    // The controller is held up (as on a busy machine) while the client's
    // window passes: it reads both requests at once, with the first one's
    // reply still due, but cannot tell that the second came inside the window.
    controller->setReplyDelay(100);
    client->write(QByteArray::fromHex("FF44FE"));
    QVERIFY(client->flush());
    QThread::msleep(250);
    client->write(QByteArray::fromHex("FF52FE"));
    QVERIFY(client->flush());
    QTRY_COMPARE(controller->requests().size(), 2);
    QCOMPARE(controller->requests().at(0).atNs, controller->requests().at(1).atNs);
    QCOMPARE(controller->overlapCount(), 0);
}

void tst_SimController::pacedReplyTakesTheLineTime()
{
    controller->setPacing(true);
    QElapsedTimer clock;
    clock.start();
    const QByteArray reply = ask(QByteArray::fromHex("FF52FE"), 32);
    const qint64 ns = clock.nsecsElapsed();
    QCOMPARE(reply.size(), 32);
    // 35 bytes of 10 bits at 115200 baud: 3.04 ms.
    QVERIFY2(ns >= 3000000, qPrintable(QString::number(ns)));
}

void tst_SimController::currentsFollowTheSetPoints()
{
    controller->setSetPoint(0, 0.5f);
    const float low = slot(ask(QByteArray::fromHex("FF52FE"), 32), 0);
    controller->setSetPoint(0, 2.0f);
    const float high = slot(ask(QByteArray::fromHex("FF52FE"), 32), 0);
    QVERIFY(low > 0.004f && low < 0.006f); // 0.5 V over 100 ohm
    QVERIFY(high > 3.5f * low);
}

void tst_SimController::hangUpClosesTheLine()
{
    controller->hangUp();
    QVERIFY(!controller->isRunning());
    // What an unplugged adapter gives its reader too: the tty is hung up.
    pollfd line { int(client->handle()), POLLIN, 0 };
    QCOMPARE(::poll(&line, 1, 1000), 1);
    QVERIFY(line.revents & POLLHUP);
}

void tst_SimController::commandLineRejectsBadInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList { "--bogus" };
    QTest::newRow("unknown fault") << QStringList { "--fault", "gremlins" };
    QTest::newRow("delay not a number") << QStringList { "--delay", "soon" };
    QTest::newRow("seven currents") << QStringList { "--currents", "1,2,3,4,5,6,7" };
    QTest::newRow("stray argument") << QStringList { "COM3" };
    QTest::newRow("unreadable EEPROM image") << QStringList { "--eeprom", "/proc/self/mem" };
}

void tst_SimController::commandLineRejectsBadInput()
{
    QFETCH(QStringList, arguments);
    QProcess sim;
    sim.start(TORVAN_SIM, arguments);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QVERIFY(sim.exitCode() != 0);
    const QList<QByteArray> lines = sim.readAllStandardError().trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("torvan-sim: "), lines.first().constData());
    QVERIFY(sim.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(tst_SimController)
#include "tst_simcontroller.moc"
