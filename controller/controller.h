#ifndef CONTROLLER_H
#define CONTROLLER_H

#include "backup.h"
#include "protocol.h"
#include "result.h"
#include "seriallink.h"

#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// One controller behind one adapter, as every front end sees it: reading,
// setting, committing, calibration, backup and restore. Nothing here ends the
// process or prints: a failure comes back as a value that says what happened.
namespace Torvan {

// An adapter as a user names it: by its port, or by its USB serial number,
// looked up afresh at every open, since re-plugging moves an adapter to
// whichever port name is free. A port may also be a terminal server's
// address (tcp://HOST:PORT, rfc2217://HOST:PORT), which names the instrument.
struct AdapterChoice
{
    QString port;
    QString serialNumber; // when set, it decides, whatever port says

    QString label() const { return serialNumber.isEmpty() ? port : serialNumber; }
    // Named by what tells the instrument, so it is found again after its
    // line was lost: a serial number, or a terminal server's address.
    bool namesInstrument() const { return !serialNumber.isEmpty() || Link::isNetworkAddress(port); }
};

class Controller
{
public:
    // Over a port its owner opens and closes through openLine and closeLine,
    // and whose lost line its owner hears of (the window's port, which it
    // lends to the dialog).
    explicit Controller(QSerialPort *borrowed);
    // The qualifying adapters' port names, in enumeration order.
    static QStringList adapterPortNames();
    // Every serial port, in enumeration order, and whether it is such an adapter.
    static QList<Link::PortEntry> allPorts() { return Link::ports(); }
    static bool isAdapter(const Link::PortEntry &port) { return Link::qualifies(port); }
    // The ports named, or else the one qualifying adapter.
    static Result<QStringList> portNames(const QStringList &requested);
    // The one qualifying adapter that reports this serial number.
    static Result<QString> portOfSerialNumber(const QString &serialNumber);
    static Result<std::unique_ptr<Controller>> open(const QString &portName);
    static Result<std::unique_ptr<Controller>> open(const AdapterChoice &choice);
    Q_DISABLE_COPY_MOVE(Controller)

    // The borrowed port, opened on portName at 115200 baud, 8N1; false if it cannot be.
    bool openLine(const QString &portName);
    void closeLine();
    bool isOpen() const { return port->isOpen(); }
    // Called, in context's thread, when the line is lost; the port is closed by then.
    void onLineLost(QObject *context, std::function<void()> lineLost);

    QString name() const { return portName; }
    // The adapter's USB serial number as listed when it was opened; empty
    // where it has none. Behind a terminal server, its address.
    QString serialNumber() const { return adapterSerialNumber; }
    // How many qualifying adapters reported that serial number when it was
    // opened: clones may share one, and then it tells none of them apart.
    int adaptersWithSerialNumber() const { return serialNumberShares; }
    // The line went away (adapter unplugged): nothing more will come through it.
    bool isLost() const { return lost; }

    // True while an exchange waits for its reply; a request that arrives then
    // (from a nested event loop) waits its turn through whenIdle.
    bool isBusy() const;
    // Runs task at once on an idle line, or else after the request that waits
    // and everything queued before it; not at all if context is gone by then.
    void whenIdle(QObject *context, std::function<void()> task);

    Result<Link::ValueBlock> readSetPoints();
    Result<Link::ValueBlock> readCurrents(); // in amperes
    Result<Link::ValueBlock> readCoefficients();
    // Each write is done once its frame has been handed to the line; a failure
    // says it was not (closed or lost line, a write the system refused).
    Done setPoint(int index, double volts);
    // The set-points read back: the one at index must be what was sent.
    Done verifySetPoint(int index, double volts);
    Done commit();
    Done writeCoefficients(const Link::ValueBlock &values);
    // The coefficients read back: all eight must be what was sent, to the bit.
    Done verifyCoefficients(const Link::ValueBlock &values);

    // Set-points and coefficients as they are now, or why no backup that
    // restore accepts can be made of them.
    Result<Backup::Contents> backup();
    // The frames a restore sends, in order: eight S, then C, then W if it
    // commits.
    static QList<QByteArray> restoreFrames(const Backup::Contents &contents, bool commitAfter);
    // Sends them, reads both blocks back and compares them bit for bit;
    // commits only after a read-back that matched. A restore that stops
    // part-way says which frames went out and, if the controller still
    // answers, what it holds now.
    Done restore(const Backup::Contents &contents, bool commitAfter);
    // Whether the backup was made of this controller's adapter: true; false
    // where the backup or the adapter has no serial number to tell by, or
    // where several adapters report it; an OtherInstrument failure where the
    // two differ.
    Result<bool> isInstrumentOf(const Backup::Contents &contents) const;

private:
    explicit Controller(const QString &portName);
    static Result<std::unique_ptr<Controller>>
    openResolved(const QString &portName, const QString &serialNumber, int serialNumberShares = 1);
    Result<Link::ValueBlock> read(char command); // D, R or G
    Done send(const QByteArray &frame); // S, W or C
    Failure lineLost() const;
    Result<Backup::Contents> readContents();
    QString partialRestore(int framesSent);

    std::unique_ptr<QIODevice> owned; // a serial port, or a terminal server's line
    QIODevice *port;
    QString portName;
    QString adapterSerialNumber;
    int serialNumberShares = 1;
    bool lost = false;
};

// For tests and demonstrations: simulated controllers listed as adapters,
// where the environment names them (TORVAN_SIMULATED_ADAPTER).
void offerSimulatedAdapters();

// Several controllers, opened together: all of them, or the first failure.
// No adapter named: the one qualifying adapter.
using Controllers = std::vector<std::unique_ptr<Controller>>;
Result<Controllers> openControllers(const QList<AdapterChoice> &choices);
// The one adapter named (the first, if several), or else the one qualifying adapter.
Result<std::unique_ptr<Controller>> openController(const QList<AdapterChoice> &choices);

} // namespace Torvan

#endif // CONTROLLER_H
