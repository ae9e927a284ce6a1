#ifndef LINEWATCH_H
#define LINEWATCH_H

#include <QObject>

class QIODevice;
class QSocketNotifier;

namespace Link {

// Closes the port when its line is gone for good (the adapter was unplugged,
// the line hung up, the terminal server's connection went) and tells so, once
// per opening. Qt versions tell this
// differently (older ones report read errors over and over, newer ones keep
// reading end-of-file without a word), and the watch turns every way into one
// signal; whoever uses the port only reacts to it.
class LineWatch : public QObject
{
    Q_OBJECT

public:
    // The port's watch, created on first use as a child of the port.
    static LineWatch *of(QIODevice *port);

    // Called by openLink after a successful open.
    void arm();

signals:
    // The port is closed by then.
    void lost();

private:
    explicit LineWatch(QIODevice *port);
    void disarm();
    void report();
    void checkForHangUp();

    QIODevice *port;
    bool reported = false;
    QSocketNotifier *hangUpNotifier = nullptr;
    int watchedHandle = -1;
};

} // namespace Link

#endif // LINEWATCH_H
