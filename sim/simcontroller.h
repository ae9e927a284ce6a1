#ifndef SIMCONTROLLER_H
#define SIMCONTROLLER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QString>

#include "result.h"

#include <array>
#include <deque>
#include <optional>

class QSocketNotifier;
class QTimer;

// A Torvan bias controller on the far side of a pseudo-terminal. Clients open
// devicePath() as they would the USB adapter; the controller parses their
// frames, answers D, R and G with 32-byte value blocks, and can misbehave on
// request, as a real line sometimes does.
//
// Written from the wire format alone: it shares no code with the tool's link.
class SimController : public QObject
{
    Q_OBJECT

public:
    using Block = std::array<float, 8>;

    enum class Fault {
        Delay, // the reply comes after the fault delay (150 ms), still inside the window
        ShortReply, // 31 bytes
        LongReply, // 33 bytes
        NoReply,
        LateReply, // half at once, the rest after 250 ms, past the 200 ms window
        LateWhole, // the whole reply after 250 ms, past the 200 ms window
        Junk, // stray bytes in front of the reply
        Ack, // an acknowledgement byte after S, W or C
    };
    Q_ENUM(Fault)

    struct Request
    {
        qint64 atNs; // read, since the controller started
        QByteArray frame;
        // Certainly written inside the client's reply window of the previous
        // D, R or G and before its reply went out: two requests in flight.
        bool overlapped;
        char command() const { return frame.at(1); }
    };

    // Done, or why not in one line.
    using Done = Torvan::Result<void, QString>;

    explicit SimController(QObject *parent = nullptr);
    ~SimController() override;

    Done start();
    bool isRunning() const { return masterFd >= 0; }
    QString devicePath() const { return slavePath; }
    // True while bytes of a reply or acknowledgement are still to go out.
    bool isReplying() const { return !output.empty(); }
    // Closes the line as an unplugged adapter would.
    void hangUp();

    // At the line rate of 115200 baud 8N1 by default; off, replies leave at once.
    void setPacing(bool enabled) { pacing = enabled; }
    void setReplyDelay(int ms) { replyDelayMs = ms; }
    void setFaultDelay(int ms) { faultDelayMs = ms; }
    // Off, S and C frames are taken and answered as usual but change nothing,
    // so that a client's read-back has something to catch.
    void setApplyingWrites(bool enabled) { applyingWrites = enabled; }
    // One-shot: applies to the next request it fits (reply faults to D, R and G).
    void injectFault(Fault fault) { queuedFaults.append(fault); }
    // One-shot: the next block reply is held back until the request after it
    // has come, and goes out ms after that, ahead of that request's own reply:
    // a reply so late that the client's next request is already out.
    void holdNextReply(int ms)
    {
        holdingNext = true;
        heldReplyDelayMs = ms;
    }
    // Each request misbehaves with this probability, in a way drawn from the whole menu.
    void setRandomFaults(double probability, quint32 seed);
    void setNoiseSeed(quint32 seed) { noise.seed(seed); }
    static QList<Fault> allFaults();
    // Faults by their command-line names, the enumerators in kebab case
    // (short-reply, late-whole, ...).
    static QStringList faultNames();
    static std::optional<Fault> faultNamed(const QString &name);

    float setPoint(int index) const { return setPoints[index]; }
    void setSetPoint(int index, float volts) { setPoints[index] = volts; }
    Block allSetPoints() const { return setPoints; }
    void setAllSetPoints(const Block &volts) { setPoints = volts; }
    float coefficient(int index) const { return coefficients[index]; }
    void setCoefficient(int index, float value) { coefficients[index] = value; }
    void setAllCoefficients(const Block &values) { coefficients = values; }
    // Fixed readings replace the load model, noise included.
    void setFixedCurrents(const std::optional<Block> &amperes) { fixedCurrents = amperes; }
    Block currents();

    // Keeps the EEPROM image in a file across runs; loads it now if it exists.
    Done setEepromFile(const QString &path);
    Block eepromSetPoints() const { return eeprom.setPoints; }
    Block eepromCoefficients() const { return eeprom.coefficients; }

    // Takes the next whole frame off the front of input, skipping what cannot
    // start one; nothing while the frame is still incomplete.
    static std::optional<QByteArray> takeFrame(QByteArray &input);

    // The most recent requests (a bounded window, so a long run keeps its memory
    // flat), and counts over the whole run.
    static constexpr qsizetype RequestLogLimit = 4096;
    QList<Request> requests() const { return log; }
    qint64 requestCount() const { return requestTotal; }
    int overlapCount() const { return overlapTotal; }
    void clearRequests();

signals:
    void requestReceived(char command);
    void faultApplied(SimController::Fault fault);
    void hungUpLine();

private:
    struct Image
    {
        Block setPoints;
        Block coefficients;
    };
    // A reply (or what is left of it) handed over whole once its last byte is due.
    struct Outgoing
    {
        qint64 dueNs;
        QByteArray bytes;
        qint64 endsReplyTo = 0; // the block request whose reply these bytes complete
    };
    // The latest D, R or G, as far as the overlap judgement needs it.
    struct Awaited
    {
        qint64 number; // counts block requests from 1
        qint64 writtenAfterNs;
        qint64 repliedAtNs = -1; // not yet
    };

    void readFromClient();
    void parseFrames();
    void serve(const QByteArray &frame);
    void apply(const QByteArray &frame);
    void queueReply(char command, std::optional<Fault> fault, qint64 startNs);
    std::optional<Fault> takeFault(char command);
    void queueBytes(const QByteArray &bytes, qint64 startNs);
    void flushDue();
    void scheduleFlush();
    qint64 byteTimeNs() const;
    Done saveEeprom();
    void keepEeprom();
    static QByteArray blockBytes(const Block &values);

    int masterFd = -1;
    int slaveFd = -1;
    QString slavePath;
    QSocketNotifier *notifier = nullptr;
    QTimer *writer = nullptr;
    QTimer *watch = nullptr;
    QElapsedTimer clock;
    QByteArray input;
    // When the input was last found empty (what comes later was written after
    // it), the same for the bytes now in input, and when the latest were read.
    qint64 quietAtNs = 0;
    qint64 inputWrittenAfterNs = 0;
    qint64 inputReadAtNs = 0;
    std::deque<Outgoing> output;
    std::optional<Awaited> awaited;
    qint64 blockRequests = 0;

    bool pacing = true;
    int replyDelayMs = 0;
    int faultDelayMs = 150;
    bool applyingWrites = true;
    QList<Fault> queuedFaults;
    bool holdingNext = false;
    int heldReplyDelayMs = 0;
    std::optional<QByteArray> heldReply;
    double randomFaultProbability = 0.0;
    QRandomGenerator faultRandom;
    QRandomGenerator noise { 1 };

    Block setPoints { 1.2f, 0.8f, 1.25f, 0.75f, 1.3f, 0.7f, 1.35f, 0.65f };
    Block coefficients { 1.0f, 1.0f, 1.02f, 0.98f, 1.01f, 0.99f, 1.005f, 0.995f };
    std::optional<Block> fixedCurrents;
    Image eeprom;
    QString eepromPath;

    QList<Request> log;
    qint64 requestTotal = 0;
    int overlapTotal = 0;
};

#endif // SIMCONTROLLER_H
