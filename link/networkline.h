#ifndef NETWORKLINE_H
#define NETWORKLINE_H

#include <QByteArray>
#include <QHash>
#include <QIODevice>
#include <QList>
#include <QString>

class QTcpSocket;

namespace Link {

constexpr int ConnectTimeoutMs = 3000;
constexpr int NegotiationTimeoutMs = 2000; // for all of the server's acknowledgements
constexpr int ServerFirstMs = 100; // for a Telnet server's own offers, before this end's

// A controller behind a serial-to-Ethernet terminal server (seriallink.h
// tells the addresses), as a QIODevice like a serial port: read and write carry the
// controller's bytes only. On an RFC 2217 line 0xFF is doubled on the way out
// and undoubled on the way in, and Telnet commands never reach the reader.
// A connection that the server closes or resets, or that stops taking data,
// is lost: the line closes and lost() is emitted, once.
class NetworkLine : public QIODevice
{
    Q_OBJECT

public:
    explicit NetworkLine(QObject *parent = nullptr);
    ~NetworkLine() override;

    // Connects and, on an RFC 2217 line, negotiates it; every wait is
    // bounded. False, with errorString() saying why, where it cannot.
    bool connectTo(const QString &address);
    // Why the connection went, once lost: in the server's own words where it
    // gave any ("Port already in use").
    QString lossReason() const { return reason; }
    // Whether the server turned this client away because another holds the line.
    bool refusedAsInUse() const;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    void close() override;

signals:
    void lost();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    void takeIn();
    void decode(const QByteArray &raw);
    void answerOption(quint8 verb, quint8 option);
    void say(QHash<quint8, quint8> &side, quint8 verb, quint8 option);
    void takeSubnegotiation();
    bool negotiate();
    QString unacknowledged(const QList<std::pair<quint8, QByteArray>> &settings) const;
    void sendSetting(quint8 command, QByteArray value);
    void send(const QByteArray &bytes);
    void dropConnection(const QString &why);

    QTcpSocket *socket;
    bool telnet = false;
    QByteArray pending; // the controller's bytes, not yet read
    QByteArray lastText; // the tail of what came in, for the server's last words
    QString reason;
    // The Telnet decoder's state, kept across segments.
    State state = State::Data;
    quint8 command = 0;
    QByteArray sub;
    // RFC 2217: what the server has said of the option, and which settings
    // it acknowledged, by the answer's code.
    bool comPortRefused = false;
    QHash<quint8, QByteArray> acknowledged;
    // What this end last said of each option, for its side (WILL, WONT) and
    // for the server's (DO, DONT): a request already agreed is not answered
    // again, so the two ends never loop.
    QHash<quint8, quint8> ourSide, theirSide;
    bool lostReported = false;
    bool connected = false; // negotiated: a loss from here on is reported
};

} // namespace Link

#endif // NETWORKLINE_H
