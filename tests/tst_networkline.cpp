// The terminal server's line against a server of a few lines in a thread of
// its own, which answers the line's blocking connect and negotiation.
#include "linewatch.h"
#include "networkline.h"
#include "seriallink.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <functional>

namespace {

using Serve = std::function<void(QTcpSocket &)>;

class FakeServer : public QThread
{
public:
    explicit FakeServer(Serve serve)
        : serve(std::move(serve))
    {
        start();
        listening.acquire();
    }
    ~FakeServer() override { wait(); }

    QString address(const char *scheme) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port);
    }

private:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        port = server.serverPort();
        listening.release();
        if (!server.waitForNewConnection(10000))
            return;
        std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
        serve(*socket);
        // Open until the line closes it.
        if (socket->state() == QAbstractSocket::ConnectedState)
            socket->waitForDisconnected(5000);
    }

    Serve serve;
    QSemaphore listening;
    quint16 port = 0;
};

// Reads until the bytes end with tail, or five seconds pass.
QByteArray readUntil(QTcpSocket &socket, const QByteArray &tail)
{
    QByteArray read;
    while (!read.endsWith(tail) && socket.waitForReadyRead(5000))
        read += socket.readAll();
    return read;
}

const QByteArray ServerOffers = QByteArray::fromHex("fffb03fffd2c");
const QByteArray PurgeBoth = QByteArray::fromHex("fffa2c0c03fff0");
// The settings as asked for: 115200 baud, 8 data bits, no parity, one stop
// bit, no flow control, both directions purged.
const QByteArray Acknowledged
    = QByteArray::fromHex("fffa2c650001c200fff0 fffa2c6608fff0 fffa2c6701fff0 fffa2c6801fff0 "
                          "fffa2c6901fff0 fffa2c7003fff0");

void negotiate(QTcpSocket &socket, const QByteArray &answer = Acknowledged)
{
    socket.write(ServerOffers);
    readUntil(socket, PurgeBoth);
    socket.write(answer);
}

} // namespace

class TestNetworkLine : public QObject
{
    Q_OBJECT

private slots:
    void addresses()
    {
        QCOMPARE(Link::normalizedAddress("RFC2217://Box.Lab:4001"), "rfc2217://box.lab:4001");
        QCOMPARE(Link::normalizedAddress("tcp://[::1]:7001"), "tcp://[::1]:7001");
        for (const char *bad : { "tcp://host", "tcp://:7001", "tcp://host:7001/x", "/dev/ttyUSB0",
                                 "tcp://user@host:1" })
            QVERIFY2(Link::normalizedAddress(bad).isEmpty(), bad);
    }

    // 0xFF doubled on the way out and undoubled on the way in; Telnet's own
    // commands, split anywhere between segments, never reach the reader.
    void rfc2217CarriesEveryByte()
    {
        const QByteArray frame = QByteArray::fromHex("ff53ffff7f3ffe");
        const QByteArray reply = QByteArray::fromHex("ffff7f3ffeff7f3f00ff");
        QByteArray arrived;
        FakeServer server([&](QTcpSocket &socket) {
            negotiate(socket);
            arrived = readUntil(socket, QByteArray::fromHex("7f3ffe"));
            // The reply with a NOP, a modem-state notice and an option offer
            // among its bytes, sent a byte at a time.
            const QByteArray wire
                = QByteArray::fromHex("ffffffff7f3f fff1 fe fffa2c6b00fff0 ffff7f fffb01 3f00ffff");
            for (const char byte : wire) {
                socket.write(&byte, 1);
                socket.waitForBytesWritten(1000);
                QThread::usleep(200);
            }
        });
        Link::NetworkLine line;
        QVERIFY2(Link::openLink(&line, server.address("rfc2217")), qPrintable(line.errorString()));
        QCOMPARE(line.write(frame), frame.size());
        QByteArray received;
        QTRY_VERIFY((received += line.readAll()).size() >= reply.size());
        QCOMPARE(received, reply);
        QCOMPARE(arrived, QByteArray::fromHex("ffff53ffffffff7f3ffe"));
    }

    void rfc2217Refusals_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("inUse");
        QTest::newRow("option refused")
            << QByteArray::fromHex("fffe2c") << "refused the Com Port Control option" << false;
        QTest::newRow("other baud rate")
            << QByteArray::fromHex("fffa2c6500002580fff0")
            << "the terminal server set the line to 9600 baud, not 115200" << false;
        QTest::newRow("no acknowledgement")
            << QByteArray() << "did not acknowledge the baud rate within 2 s" << false;
        QTest::newRow("in use") << QByteArray("Port already in use\r\n")
                                << "closed the connection: Port already in use" << true;
    }

    void rfc2217Refusals()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, reason);
        QFETCH(bool, inUse);
        FakeServer server([&](QTcpSocket &socket) {
            if (inUse) {
                socket.write(answer);
                socket.waitForBytesWritten(1000);
                socket.close();
                return;
            }
            negotiate(socket, answer);
        });
        Link::NetworkLine line;
        QVERIFY(!Link::openLink(&line, server.address("rfc2217")));
        QVERIFY2(line.errorString().contains(reason), qPrintable(line.errorString()));
        QCOMPARE(line.refusedAsInUse(), inUse);
        QVERIFY(!line.isOpen());
    }

    // A connection the server drops is a lost line, told once, closed.
    void droppedConnectionIsLost()
    {
        FakeServer server([](QTcpSocket &socket) {
            readUntil(socket, QByteArray::fromHex("fe"));
            socket.close();
        });
        Link::NetworkLine line;
        QVERIFY(Link::openLink(&line, server.address("tcp")));
        QSignalSpy lost(Link::LineWatch::of(&line), &Link::LineWatch::lost);
        line.write(QByteArray::fromHex("ff52fe"));
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY(!line.isOpen());
        QCOMPARE(line.lossReason(), "the terminal server closed the connection");
        QTest::qWait(100);
        QCOMPARE(lost.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestNetworkLine)
#include "tst_networkline.moc"
