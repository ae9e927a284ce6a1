// The yardstick for torvanctl watch: a bare QCoreApplication with the same
// 400 ms timer, printing a line of the same shape at each tick; given a port,
// it also sends an R request at each tick and reads its 32-byte reply with
// a plain QSerialPort, as the least any program polling the controller does.
#include "barepoller.h"
#include "quantities.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    BarePoller poller(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString());
    QObject::connect(&poller, &BarePoller::polled, &app, [](const QByteArray &reply) {
        QString line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
        for (int slot = 0; slot < Link::SlotCount; ++slot)
            line += u',' + Torvan::milliampsText(reply.size() == 32 ? 0.0123f * slot : 0.0f);
        printf("%s\n", qPrintable(line));
        fflush(stdout);
    });
    return app.exec();
}
