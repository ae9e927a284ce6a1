#ifndef CONTROLLER_H
#define CONTROLLER_H

#include "backup.h"
#include "protocol.h"
#include "result.h"

#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// One controller behind one adapter, as every front end sees it: reading,
// setting, committing, calibration, backup and restore. Nothing here ends the
// process or prints: a failure comes back as a value that says what happened.
namespace Torvan {

class Controller
{
public:
    // Over a port its owner opens and closes, and whose lost line its owner
    // hears of (the window's port, which it lends to the dialog).
    explicit Controller(QSerialPort *borrowed);
    // The ports named, or else the one qualifying adapter.
    static Result<QStringList> portNames(const QStringList &requested);
    static Result<std::unique_ptr<Controller>> open(const QString &portName);
    Q_DISABLE_COPY_MOVE(Controller)

    QString name() const { return portName; }
    // The line went away (adapter unplugged): nothing more will come through it.
    bool isLost() const { return lost; }

    // True while an exchange waits for its reply; a request that arrives then
    // (from a nested event loop) waits its turn through deferIfBusy.
    bool isBusy() const;
    bool deferIfBusy(QObject *context, std::function<void()> task);

    Result<Link::ValueBlock> readSetPoints();
    Result<Link::ValueBlock> readCurrents(); // in amperes
    Result<Link::ValueBlock> readCoefficients();
    void setPoint(int index, double volts);
    // The set-points read back: the one at index must be what was sent.
    Done verifySetPoint(int index, double volts);
    void commit();
    void writeCoefficients(const Link::ValueBlock &values);

    // Set-points and coefficients as they are now, or why no backup that
    // restore accepts can be made of them.
    Result<Backup::Contents> backup();
    // The frames a restore sends, in order: eight S, then C, then W if it
    // commits.
    static QList<QByteArray> restoreFrames(const Backup::Contents &contents, bool commitAfter);
    // Sends them, reads both blocks back and compares them bit for bit;
    // commits only after a read-back that matched.
    Done restore(const Backup::Contents &contents, bool commitAfter);

private:
    explicit Controller(const QString &portName);
    Result<Link::ValueBlock> read(char command); // D, R or G
    Result<Backup::Contents> readContents();

    std::unique_ptr<QSerialPort> owned;
    QSerialPort *port;
    QString portName;
    bool lost = false;
};

// Several controllers, opened together: all of them, or the first failure.
using Controllers = std::vector<std::unique_ptr<Controller>>;
Result<Controllers> openControllers(const QStringList &requestedPorts);
// The one port named (the first, if several), or else the one qualifying adapter.
Result<std::unique_ptr<Controller>> openController(const QStringList &requestedPorts);

} // namespace Torvan

#endif // CONTROLLER_H
