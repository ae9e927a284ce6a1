#ifndef BAREPOLLER_H
#define BAREPOLLER_H

#include "quantities.h"

#include <QObject>
#include <QSerialPort>
#include <QTimer>

// The least a Qt program that polls the controller does: at each tick of the
// poll timer, an R request on a plain QSerialPort, its reply read as it comes,
// and a 200 ms timer for a reply that does not (no port given: the timer
// alone). The benchmark's floor.
class BarePoller : public QObject
{
    Q_OBJECT

public:
    explicit BarePoller(const QString &portName, QObject *parent = nullptr)
        : QObject(parent)
    {
        if (!portName.isEmpty()) {
            port.setPortName(portName);
            port.setBaudRate(QSerialPort::Baud115200);
            port.open(QIODevice::ReadWrite);
        }
        replyWindow.setSingleShot(true);
        replyWindow.setInterval(200);
        connect(&replyWindow, &QTimer::timeout, this, [this] { emit polled({}); });
        connect(&port, &QSerialPort::readyRead, this, [this] {
            reply += port.readAll();
            if (reply.size() >= 32 && replyWindow.isActive()) {
                replyWindow.stop();
                emit polled(reply);
            }
        });
        connect(&timer, &QTimer::timeout, this, [this] {
            if (!port.isOpen())
                return emit polled({});
            reply.clear();
            port.write("\xFF\x52\xFE", 3);
            replyWindow.start();
        });
        timer.start(Torvan::PollIntervalMs);
    }

signals:
    void polled(const QByteArray &reply); // a whole reply, or nothing when no port is polled

private:
    QSerialPort port;
    QTimer timer;
    QTimer replyWindow;
    QByteArray reply;
};

#endif // BAREPOLLER_H
