#ifndef SIMULATEDADAPTER_H
#define SIMULATEDADAPTER_H

#include "seriallink.h"
#include "simcontroller.h"

// A simulated controller, answering at once, that the port list shows as the
// one qualifying USB adapter for as long as it is "plugged in".
class SimulatedAdapter
{
public:
    SimulatedAdapter()
    {
        controller.setPacing(false);
        started = bool(controller.start());
        Link::setPortSource([this] {
            QList<Link::PortEntry> ports { { "/dev/ttyS0", 0, 0, {} } };
            if (plugged)
                ports.append(Link::simulatedAdapter(controller.devicePath()));
            return ports;
        });
    }
    ~SimulatedAdapter() { Link::setPortSource({}); }

    void setPlugged(bool isPlugged) { plugged = isPlugged; }

    // The frames the controller received, as hex, in order.
    QStringList frames() const
    {
        QStringList hex;
        for (const SimController::Request &request : controller.requests())
            hex.append(QString::fromLatin1(request.frame.toHex(' ').toUpper()));
        return hex;
    }
    QString commands() const
    {
        QString letters;
        for (const SimController::Request &request : controller.requests())
            letters.append(QLatin1Char(request.command()));
        return letters;
    }

    SimController controller;
    bool started = false;

private:
    bool plugged = true;
};

#endif // SIMULATEDADAPTER_H
