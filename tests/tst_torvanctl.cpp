#include "simcontroller.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <csignal>
#include <cstring>
#include <functional>

#include <sys/stat.h>

using Fault = SimController::Fault;

// torvanctl as a script would run it, against the simulated controller on a
// pseudo-terminal: its output, its exit status, and the bytes on the wire.
class tst_Torvanctl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void readsVoltagesAndCurrents();
    void machineReadableOutput();
    void setSendsTheWindowsFrame();
    void writesAreReadBack_data();
    void writesAreReadBack();
    void commitSendsW();
    void coefficientsRoundTripExactly();
    void partialCoefficientSetSendsNothing();
    void numbersReadAlikeInEveryLanguage_data();
    void numbersReadAlikeInEveryLanguage();
    void watchPrintsSteadyCsv();
    void watchReportsAFailedReadingAndGoesOn();
    void watchNeverPrintsALateReply();
    void watchStopsCleanlyOnCtrlC();
    void watchEndsWhenTheLineIsLost();
    void failuresHaveTheirOwnStatus_data();
    void failuresHaveTheirOwnStatus();
    void referenceListsTheExitStatusesOfTheHelp();
    void backupRestoresOntoAnotherControllerBitForBit();
    void restoreOfABadFileSendsNothing_data();
    void restoreOfABadFileSendsNothing();
    void restoreCatchesAnIgnoredSetPoint();
    void failedBackupKeepsTheOldFile();
    void watchesSeveralControllersAndDropsALostOne();
    void adaptersByTheirSerialNumbers();
    void restoreChecksTheInstrument();
    void anyNameOfAPortIsItsDevice();
    void oneProgramPerAdapter();
    void onlyRegularFilesAreUsed_data();
    void onlyRegularFilesAreUsed();
    void unwritableOutputEndsTheCommand_data();
    void unwritableOutputEndsTheCommand();
    void watchFindsItsAdapterAgainWhereverItComesBack();

private:
    struct Run
    {
        int status;
        QString out;
        QString err;
    };
    // Runs torvanctl while this process keeps serving the simulated line;
    // standard output goes to output, where set.
    Run run(QStringList arguments, bool withPort = true, const QString &language = {},
            const QString &output = {});

    // Lists simulated adapters, "DEVICE SERIAL" a line, as torvanctl enumerates them.
    void listAdapters(const QStringList &lines);

    SimController *controller = nullptr;
    QTemporaryDir scratch;
    QString adapterList; // torvanctl's ports, where set
};

void tst_Torvanctl::init()
{
    controller = new SimController;
    controller->setPacing(false);
    QVERIFY(controller->start());
    controller->setAllSetPoints({ 1.25f, 0.5f, 0.75f, 1.0f, 1.5f, 2.0f, 2.125f, 0.25f });
    controller->setFixedCurrents(SimController::Block { 0.0123456f, -0.0045678f, 0.001f, 0.002f,
                                                        0.003f, 0.004f, 0.0255f, -0.0001f });
}

void tst_Torvanctl::cleanup()
{
    delete controller;
    adapterList.clear();
}

void tst_Torvanctl::listAdapters(const QStringList &lines)
{
    adapterList = scratch.filePath("adapters");
    QFile list(adapterList);
    QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Truncate));
    list.write((lines.join('\n') + '\n').toUtf8());
}

tst_Torvanctl::Run tst_Torvanctl::run(QStringList arguments, bool withPort, const QString &language,
                                      const QString &output)
{
    if (withPort)
        arguments << "--port" << controller->devicePath();
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!language.isEmpty()) {
        for (const char *name : { "LC_ALL", "LC_NUMERIC", "LANGUAGE" })
            environment.remove(name);
        environment.insert("LANG", language);
    }
    if (!adapterList.isEmpty())
        environment.insert("TORVAN_SIMULATED_ADAPTER", adapterList);
    process.setProcessEnvironment(environment);
    if (!output.isEmpty())
        process.setStandardOutputFile(output);
    process.start(TORVANCTL, arguments);
    process.waitForStarted();
    // Not waitForFinished: the controller answers from this process's event loop.
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000)) {
        process.kill();
        process.waitForFinished();
        return { -1, QString(), QStringLiteral("torvanctl did not finish") };
    }
    return { process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
             QString::fromUtf8(process.readAllStandardError()) };
}

void tst_Torvanctl::readsVoltagesAndCurrents()
{
    Run voltages = run({ "voltages" });
    QCOMPARE(voltages.status, 0);
    QCOMPARE(voltages.out,
             QString("channel 0: Vc = 1.250 V, Vb = 0.500 V\n"
                     "channel 1: Vc = 0.750 V, Vb = 1.000 V\n"
                     "channel 2: Vc = 1.500 V, Vb = 2.000 V\n"
                     "channel 3: Vc = 2.125 V, Vb = 0.250 V\n"));
    Run currents = run({ "currents", "--channel", "0" });
    QCOMPARE(currents.status, 0);
    QCOMPARE(currents.out, QString("channel 0: Ic = 12.35 mA, Ib = -4.57 mA\n"));
    QCOMPARE(controller->requests().size(), 2);
    QCOMPARE(controller->requests()[0].frame, QByteArray::fromHex("FF44FE"));
    QCOMPARE(controller->requests()[1].frame, QByteArray::fromHex("FF52FE"));
}

void tst_Torvanctl::machineReadableOutput()
{
    Run currents = run({ "currents", "--channel", "3", "--json" });
    QCOMPARE(currents.status, 0);
    const QJsonArray array = QJsonDocument::fromJson(currents.out.toUtf8()).array();
    QCOMPARE(array.size(), 1);
    QCOMPARE(array[0].toObject()["channel"].toInt(), 3);
    QCOMPARE(array[0].toObject()["Ic_mA"].toDouble(), 25.5);
    QCOMPARE(array[0].toObject()["Ib_mA"].toDouble(), -0.1);
}

void tst_Torvanctl::setSendsTheWindowsFrame()
{
    Run set = run({ "set", "2", "vb", "1.25", "--no-verify" });
    QCOMPARE(set.status, 0);
    QCOMPARE(set.out, QString("channel 2 Vb set to 1.250 V (sent, not read back)\n"));
    QCOMPARE(controller->requests().size(), 1);
    QCOMPARE(controller->requests().constLast().frame, QByteArray::fromHex("FF530500 00A03FFE"));
    // The window's precision: three decimals.
    QCOMPARE(run({ "set", "0", "VC", "1.23456" }).status, 0);
    QCOMPARE(controller->setPoint(0), 1.235f);
}

void tst_Torvanctl::writesAreReadBack_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("slot"); // what a controller that ignores the write keeps
    QTest::addColumn<float>("kept");
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("ignored");
    QTest::newRow("set") << QStringList { "set", "1", "vc", "0.5" } << 2 << 0.75f
                         << "channel 1 Vc set to 0.500 V (verified)\n"
                         << "torvanctl: channel 1 vc reads 0.750 V, not 0.500 V";
    QTest::newRow("coefs set") << QStringList { "coefs", "set", "1", "1", "1.0000001",
                                                "1",     "1",   "1", "1", "1" }
                               << 2 << 1.0f << "wrote the eight coefficients\n"
                               << "reads back differently: IC1 (1, not 1.0000001)";
}

void tst_Torvanctl::writesAreReadBack()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, slot);
    QFETCH(float, kept);
    QFETCH(QString, written);
    QFETCH(QString, ignored);
    const Run applied = run(arguments);
    QCOMPARE(applied.status, 0);
    QCOMPARE(applied.out, written);

    // A controller that takes the frame but keeps its old value.
    const bool setPoint = arguments[0] == "set";
    connect(controller, &SimController::requestReceived, this, [&](char command) {
        if (command == 'S')
            controller->setSetPoint(slot, kept);
        else if (command == 'C')
            controller->setCoefficient(slot, kept);
    });
    const Run refused = run(arguments);
    QCOMPARE(refused.status, 6);
    QVERIFY2(refused.err.contains(ignored), qPrintable(refused.err));
    QCOMPARE(refused.err.count('\n'), 1);
    QVERIFY(refused.out.isEmpty());

    controller->clearRequests();
    const Run unchecked = run(arguments + QStringList { "--no-verify" });
    QCOMPARE(unchecked.status, 0);
    QVERIFY2(unchecked.out.contains("not read back"), qPrintable(unchecked.out));
    QCOMPARE(controller->requests().size(), 1);
    QCOMPARE(controller->requests()[0].command(), setPoint ? 'S' : 'C');
}

void tst_Torvanctl::commitSendsW()
{
    QCOMPARE(run({ "commit" }).status, 0);
    QCOMPARE(controller->requests().constLast().frame, QByteArray::fromHex("FF57FE"));
}

void tst_Torvanctl::coefficientsRoundTripExactly()
{
    const Run set = run({ "coefs", "set", "1.2345678", "-2.5", "0.1", "1e-30", "3", "16777215",
                          "0.000012345", "1e6" });
    QCOMPARE(set.status, 0);
    QCOMPARE(controller->coefficient(0), 1.2345678f);
    QCOMPARE(controller->coefficient(3), 1e-30f);
    const Run read = run({ "coefs" });
    QCOMPARE(read.status, 0);
    QCOMPARE(read.out,
             QString("IC0 = 1.2345678\nIB0 = -2.5\nIC1 = 0.1\nIB1 = 1e-30\n"
                     "IC2 = 3\nIB2 = 16777215\nIC3 = 1.2345e-05\nIB3 = 1e+06\n"));
    // Round numbers read back as people write them, not as "1e+02".
    QCOMPARE(
        run({ "coefs", "set", "100", "1200", "5000", "250000", "20", "0.5", "1e6", "3e-5" }).status,
        0);
    QCOMPARE(run({ "coefs" }).out,
             QString("IC0 = 100\nIB0 = 1200\nIC1 = 5000\nIB1 = 250000\n"
                     "IC2 = 20\nIB2 = 0.5\nIC3 = 1e+06\nIB3 = 3e-05\n"));
}

void tst_Torvanctl::partialCoefficientSetSendsNothing()
{
    for (const QStringList &arguments :
         { QStringList { "coefs", "set", "1", "2", "3" },
           QStringList { "coefs", "set", "1", "2", "3", "4", "5", "6", "7", "-" },
           QStringList { "coefs", "set", "1", "2", "3", "4", "5", "6", "7", "1e39" } }) {
        const Run partial = run(arguments);
        QCOMPARE(partial.status, 2);
        QVERIFY2(partial.err.contains("nothing was sent"), qPrintable(partial.err));
    }
    QTest::qWait(50);
    QCOMPARE(controller->requests().size(), 0);
    QCOMPARE(controller->coefficient(0), 1.0f);
}

void tst_Torvanctl::numbersReadAlikeInEveryLanguage_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<float>("value"); // NaN: refused, nothing sent
    const float refused = qQNaN();
    // A plain point everywhere, a comma where the language writes one, and
    // never a thousands separator.
    const struct
    {
        const char *language;
        bool comma;
    } languages[] = { { "C", false },
                      { "en_US.UTF-8", false },
                      { "de_DE.UTF-8", true },
                      { "fr_FR.UTF-8", true },
                      { "de_CH.UTF-8", false } };
    for (const auto &[language, comma] : languages) {
        QTest::addRow("%s, 0.995", language) << language << "0.995" << 0.995f;
        QTest::addRow("%s, 1.000", language) << language << "1.000" << 1.0f;
        QTest::addRow("%s, 0,995", language) << language << "0,995" << (comma ? 0.995f : refused);
    }
}

void tst_Torvanctl::numbersReadAlikeInEveryLanguage()
{
    QFETCH(QString, language);
    QFETCH(QString, typed);
    QFETCH(float, value);
    const Run coefficients
        = run({ "coefs", "set", typed, "1", "1", "1", "1", "1", "1", "1" }, true, language);
    const Run setPoint = run({ "set", "0", "vc", typed }, true, language);
    if (qIsNaN(value)) {
        QCOMPARE(coefficients.status, 2);
        QCOMPARE(setPoint.status, 2);
        QTest::qWait(50);
        QCOMPARE(controller->requests().size(), 0);
        return;
    }
    QCOMPARE(coefficients.status, 0);
    QCOMPARE(setPoint.status, 0);
    QCOMPARE(controller->coefficient(0), value);
    QCOMPARE(controller->setPoint(0), value);
}

void tst_Torvanctl::watchPrintsSteadyCsv()
{
    const Run watch = run({ "watch", "--csv", "--count", "3", "--interval", "100" });
    QCOMPARE(watch.status, 0);
    const QStringList lines = watch.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QString("time,Ic0_mA,Ib0_mA,Ic1_mA,Ib1_mA,Ic2_mA,Ib2_mA,Ic3_mA,Ib3_mA"));
    QVERIFY2(lines[1].endsWith(",12.35,-4.57,1.00,2.00,3.00,4.00,25.50,-0.10"),
             qPrintable(lines[1]));
    const auto requests = controller->requests();
    QCOMPARE(requests.size(), 3);
    // The first reading waits for the line just opened to settle.
    const double gapMs = (requests[2].atNs - requests[1].atNs) / 1e6;
    QVERIFY2(gapMs > 80 && gapMs < 200, qPrintable(QString::number(gapMs)));
}

void tst_Torvanctl::watchReportsAFailedReadingAndGoesOn()
{
    controller->injectFault(Fault::LongReply);
    const Run watch = run({ "watch", "--csv", "--count", "3", "--interval", "50" });
    QCOMPARE(watch.status, 5);
    QCOMPARE(watch.out.trimmed().split('\n').size(), 3); // the header and two readings
    QCOMPARE(watch.err.count('\n'), 1);
    QVERIFY2(watch.err.contains("no valid reply to the R request"), qPrintable(watch.err));
}

// Every R answered whole, but after its window: each reading fails, and none
// shows the reply that came late for the one before. The n-th reply reports
// n mA, so a reading taken late, on a busy machine, must still be its own.
void tst_Torvanctl::watchNeverPrintsALateReply()
{
    controller->setReplyDelay(250);
    const auto reportNextRequest = [this] {
        SimController::Block amperes;
        amperes.fill(float(controller->requests().size() + 1) / 1000);
        controller->setFixedCurrents(amperes);
    };
    reportNextRequest();
    connect(controller, &SimController::requestReceived, this, reportNextRequest);
    const Run watch = run({ "watch", "--csv", "--count", "4", "--interval", "600" });
    QCOMPARE(watch.status, 5);

    // Readings and failures in the order of their ticks, by their times.
    QMap<QString, QString> ticks;
    for (const QString &line : watch.out.split('\n', Qt::SkipEmptyParts).mid(1))
        ticks.insert(line.section(',', 0, 0), line.section(',', 1, 1));
    for (const QString &line : watch.err.split('\n', Qt::SkipEmptyParts))
        ticks.insert(line.section(": ", 1, 1), QString());
    QCOMPARE(ticks.size(), 4);
    int tick = 0;
    for (const QString &milliamps : std::as_const(ticks)) {
        ++tick;
        QVERIFY2(milliamps.isEmpty() || milliamps == QString::number(tick) + ".00",
                 qPrintable(QStringLiteral("tick %1 shows %2 mA").arg(tick).arg(milliamps)));
    }
}

void tst_Torvanctl::watchStopsCleanlyOnCtrlC()
{
    QProcess watch;
    watch.start(TORVANCTL, { "watch", "--interval", "50", "--port", controller->devicePath() });
    QVERIFY(QTest::qWaitFor([&] { return controller->requests().size() >= 3; }, 10000));
    ::kill(watch.processId(), SIGINT);
    QVERIFY(QTest::qWaitFor([&] { return watch.state() == QProcess::NotRunning; }, 10000));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    const QByteArray out = watch.readAllStandardOutput();
    QVERIFY(out.endsWith('\n'));
    QVERIFY(out.count('\n') >= 3);
}

void tst_Torvanctl::watchEndsWhenTheLineIsLost()
{
    QProcess watch;
    watch.start(TORVANCTL, { "watch", "--interval", "50", "--port", controller->devicePath() });
    QVERIFY(QTest::qWaitFor([&] { return controller->requests().size() >= 2; }, 10000));
    controller->hangUp();
    QVERIFY(QTest::qWaitFor([&] { return watch.state() == QProcess::NotRunning; }, 10000));
    QCOMPARE(watch.exitCode(), 5);
    const QString err = QString::fromUtf8(watch.readAllStandardError());
    QVERIFY2(err.contains("was lost"), qPrintable(err));
}

void tst_Torvanctl::failuresHaveTheirOwnStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<int>("fault"); // -1: none
    QTest::addColumn<int>("status");
    QTest::newRow("no command") << QStringList() << false << -1 << 2;
    QTest::newRow("unknown command") << QStringList { "frobnicate" } << false << -1 << 2;
    QTest::newRow("unknown option") << QStringList { "voltages", "--bogus" } << false << -1 << 2;
    QTest::newRow("channel out of range")
        << QStringList { "currents", "--channel", "4" } << true << -1 << 2;
    QTest::newRow("volts out of range")
        << QStringList { "set", "0", "vc", "2.6" } << true << -1 << 2;
    QTest::newRow("neither vc nor vb") << QStringList { "set", "0", "vx", "1" } << true << -1 << 2;
    QTest::newRow("option of another command")
        << QStringList { "commit", "--csv" } << true << -1 << 2;
    QTest::newRow("no adapter") << QStringList { "voltages" } << false << -1 << 3;
    // Not a failure: the list is empty for scripts, and stderr tells a person why.
    QTest::newRow("no adapter to list") << QStringList { "ports" } << false << -1 << 0;
    QTest::newRow("cannot open") << QStringList { "voltages", "--port", "/dev/torvan-gone" }
                                 << false << -1 << 4;
    QTest::newRow("no reply") << QStringList { "voltages" } << true << int(Fault::NoReply) << 5;
    QTest::newRow("33 bytes") << QStringList { "currents" } << true << int(Fault::LongReply) << 5;
    QTest::newRow("31 bytes") << QStringList { "coefs" } << true << int(Fault::ShortReply) << 5;
    QTest::newRow("no reply to coefs set")
        << QStringList { "coefs", "set", "1", "1", "1", "1", "1", "1", "1", "1" } << true
        << int(Fault::NoReply) << 5;
    for (const char *notFinite : { "inf", "nan" })
        QTest::addRow("coefficient %s", notFinite)
            << QStringList { "coefs", "set", "1", "1", "1", notFinite, "1", "1", "1", "1" } << true
            << -1 << 2;
}

void tst_Torvanctl::failuresHaveTheirOwnStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, withPort);
    QFETCH(int, fault);
    QFETCH(int, status);
    if (fault >= 0)
        controller->injectFault(Fault(fault));
    const Run failed = run(arguments, withPort);
    QCOMPARE(failed.status, status);
    QVERIFY(failed.out.isEmpty()); // a bad reply is never printed as a reading
    QCOMPARE(failed.err.count('\n'), 1);
    QVERIFY2(failed.err.startsWith("torvanctl: "), qPrintable(failed.err));
    if (status == 2) {
        QTest::qWait(50);
        QCOMPARE(controller->requests().size(), 0);
    }
}

void tst_Torvanctl::referenceListsTheExitStatusesOfTheHelp()
{
    // The help's "Exit status:" lines, each meaning unwrapped.
    QStringList help;
    const QString helpText = run({ "--help" }, false).out.remove(u'\r');
    for (const QString &line :
         helpText.section("Exit status:\n", 1).section("\n\n", 0, 0).split('\n')) {
        if (line.startsWith("     "))
            help.last() += ' ' + line.trimmed();
        else
            help << line.trimmed();
    }
    // The table in torvanctl's reference, row by row, without its Markdown.
    QFile reference(TORVANCTL_REFERENCE);
    QVERIFY(reference.open(QIODevice::ReadOnly));
    static const QRegularExpression row(R"(^\| (\d+) \| (.*) \|$)",
                                        QRegularExpression::MultilineOption);
    QStringList table;
    const QString statusTable = QString::fromUtf8(reference.readAll())
                                    .section(QStringLiteral("| Status | Meaning |\n"), 1)
                                    .section(QStringLiteral("\n\n"), 0, 0);
    for (const auto &match : row.globalMatch(statusTable))
        table << match.captured(1) + "  " + match.captured(2).remove('`');
    QVERIFY(help.size() > 5);
    QCOMPARE(table, help);
}

static quint32 bits(float value)
{
    quint32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

void tst_Torvanctl::backupRestoresOntoAnotherControllerBitForBit()
{
    // Values that need nine digits, a negative zero, the smallest subnormal, and
    // what a blank EEPROM reads as (all-ones bytes, a NaN) and minus infinity.
    float blank;
    std::memset(&blank, 0xFF, sizeof blank);
    controller->setAllCoefficients({ 1.2345678f, -0.0f, 16777215.0f, 1e-45f, blank, 3.4028235e38f,
                                     -std::numeric_limits<float>::infinity(), -2.5f });
    QTemporaryDir dir;
    const QString file = dir.filePath("controller.json");
    QCOMPARE(run({ "backup", file }).status, 0);

    SimController target;
    target.setPacing(false);
    QVERIFY(target.start());
    const Run dryRun
        = run({ "restore", file, "--dry-run", "--commit", "--port", target.devicePath() }, false);
    QCOMPARE(dryRun.status, 0);
    QCOMPARE(dryRun.out.split('\n', Qt::SkipEmptyParts).size(), 10); // eight S, one C, one W
    QVERIFY(dryRun.out.startsWith("FF 53 00 00 00 A0 3F FE\n")); // Vc0 = 1.25
    QTest::qWait(50);
    QCOMPARE(target.requests().size(), 0);

    const Run restore = run({ "restore", file, "--commit", "--port", target.devicePath() }, false);
    QCOMPARE(restore.status, 0);
    QVERIFY2(restore.out.contains("IC2 is restored as nan, as the file says\n"
                                  "IC3 is restored as -inf, as the file says\n"),
             qPrintable(restore.out));
    for (int slot = 0; slot < 8; ++slot) {
        QCOMPARE(bits(target.setPoint(slot)), bits(controller->setPoint(slot)));
        QCOMPARE(bits(target.coefficient(slot)), bits(controller->coefficient(slot)));
    }
    QCOMPARE(target.requests().constLast().frame, QByteArray::fromHex("FF57FE"));
}

// A backup written by hand, as the file format says, with one edit applied.
static QByteArray backupFile(const std::function<void(QJsonObject &)> &edit = {})
{
    QJsonArray setPoints, coefficients;
    for (int slot = 0; slot < 8; ++slot) {
        const QString n = QString::number(slot / 2);
        setPoints.append(
            QJsonObject { { "name", (slot % 2 ? "Vb" : "Vc") + n }, { "volts", 0.5 } });
        coefficients.append(QJsonObject {
            { "name", (slot % 2 ? "IB" : "IC") + n }, { "value", 1 }, { "text", "1" } });
    }
    QJsonObject document { { "format", "torvan-controller-backup" },
                           { "version", 1 },
                           { "time", "2026-12-07T12:00:00.000" },
                           { "port", "/dev/ttyUSB0" },
                           { "setPoints", setPoints },
                           { "coefficients", coefficients } };
    if (edit)
        edit(document);
    return QJsonDocument(document).toJson();
}

// Replaces one field of one entry of a list in the document.
static std::function<void(QJsonObject &)> setEntry(const char *list, int slot, const char *field,
                                                   const QJsonValue &value)
{
    return [=](QJsonObject &document) {
        QJsonArray array = document[list].toArray();
        QJsonObject entry = array[slot].toObject();
        entry[field] = value;
        array[slot] = entry;
        document[list] = array;
    };
}

void tst_Torvanctl::restoreOfABadFileSendsNothing_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("named");
    QTest::newRow("truncated") << backupFile().left(200) << "not a whole JSON document";
    QTest::newRow("seven coefficients") << backupFile([](QJsonObject &document) {
        QJsonArray coefficients = document["coefficients"].toArray();
        coefficients.removeLast();
        document["coefficients"] = coefficients;
    }) << "coefficients: 7 entries";
    QTest::newRow("3 V") << backupFile(setEntry("setPoints", 2, "volts", 3))
                         << "setPoints.Vc1.volts: 3 V is outside";
    QTest::newRow("NaN") << backupFile(setEntry("coefficients", 5, "text", "nan"))
                         << "coefficients.IB2.text";
    QTest::newRow("bytes of another value")
        << backupFile(setEntry("coefficients", 3, "bytes", "00000040"))
        << "coefficients.IB1: bytes";
    QTest::newRow("text for a number") << backupFile(setEntry("setPoints", 1, "volts", "half"))
                                       << "setPoints.Vb0.volts: not a number";
    QTest::newRow("future version")
        << backupFile([](QJsonObject &document) { document["version"] = 3; }) << "version: 3";
}

void tst_Torvanctl::restoreOfABadFileSendsNothing()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, named);
    QTemporaryDir dir;
    QFile backup(dir.filePath("controller.json"));
    QVERIFY(backup.open(QIODevice::WriteOnly));
    backup.write(file);
    backup.close();

    const Run restore = run({ "restore", backup.fileName() });
    QCOMPARE(restore.status, 2);
    QVERIFY2(restore.err.contains(named) && restore.err.contains("nothing was sent"),
             qPrintable(restore.err));
    QCOMPARE(restore.err.count('\n'), 1);
    QTest::qWait(50);
    QCOMPARE(controller->requests().size(), 0);
}

void tst_Torvanctl::restoreCatchesAnIgnoredSetPoint()
{
    QTemporaryDir dir;
    QFile backup(dir.filePath("controller.json"));
    QVERIFY(backup.open(QIODevice::WriteOnly));
    backup.write(backupFile());
    backup.close();
    // A controller that takes its S frames but keeps Vb3 as it was.
    connect(controller, &SimController::requestReceived, this, [this](char command) {
        if (command == 'S')
            controller->setSetPoint(7, 0.25f);
    });
    const Run restore = run({ "restore", backup.fileName(), "--commit" });
    QCOMPARE(restore.status, 7);
    QVERIFY2(restore.err.contains("Vb3 (0.25, not 0.5)"), qPrintable(restore.err));
    QVERIFY(!restore.err.contains("Vc0"));
    // Not committed: no W went out.
    for (const SimController::Request &request : controller->requests())
        QVERIFY(request.command() != 'W');
}

void tst_Torvanctl::failedBackupKeepsTheOldFile()
{
    QTemporaryDir dir;
    QFile backup(dir.filePath("controller.json"));
    QVERIFY(backup.open(QIODevice::WriteOnly));
    backup.write("the known-good copy");
    backup.close();
    controller->injectFault(Fault::ShortReply);
    QCOMPARE(run({ "backup", backup.fileName() }).status, 5);
    // A set-point restore would refuse to send: no file that cannot be restored.
    controller->setSetPoint(3, 2.7f);
    const Run outOfRange = run({ "backup", backup.fileName() });
    QCOMPARE(outOfRange.status, 5);
    QVERIFY2(outOfRange.err.contains("setPoints.Vb1.volts: 2.7 V is outside 0 to 2.5 V"),
             qPrintable(outOfRange.err));
    QVERIFY(backup.open(QIODevice::ReadOnly));
    QCOMPARE(backup.readAll(), QByteArray("the known-good copy"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { "controller.json" });
}

void tst_Torvanctl::watchesSeveralControllersAndDropsALostOne()
{
    SimController second;
    second.setPacing(false);
    QVERIFY(second.start());
    second.setFixedCurrents(
        SimController::Block { 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f });
    connect(&second, &SimController::requestReceived, this, [&second] {
        if (second.requests().size() == 3)
            QTimer::singleShot(0, &second, &SimController::hangUp);
    });
    const Run watch = run({ "watch", "--csv", "--count", "6", "--interval", "100", "--port",
                            controller->devicePath(), "--port", second.devicePath() },
                          false);
    QCOMPARE(watch.status, 5);
    QCOMPARE(watch.err.count("was lost"), 1);
    const QStringList lines = watch.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 7);
    QVERIFY(lines[0].startsWith("time," + controller->devicePath() + ":Ic0_mA,"));
    QVERIFY(lines[0].contains("," + second.devicePath() + ":Ib3_mA"));
    QVERIFY2(lines[1].contains(",12.35,-4.57,") && lines[1].endsWith(",500.00"),
             qPrintable(lines[1]));
    // The lost controller's columns stay, empty; the other goes on.
    QVERIFY2(lines[6].contains(",12.35,-4.57,") && lines[6].endsWith(",,,,,,,"),
             qPrintable(lines[6]));
}

void tst_Torvanctl::adaptersByTheirSerialNumbers()
{
    SimController second;
    second.setPacing(false);
    QVERIFY(second.start());
    second.setSetPoint(0, 2.25f);
    const QString first = controller->devicePath();
    listAdapters({ second.devicePath() + " TVB00002", first + " TVA00001" });

    const QJsonArray ports
        = QJsonDocument::fromJson(run({ "ports", "--json" }, false).out.toUtf8()).array();
    QCOMPARE(ports.size(), 2);
    QCOMPARE(ports[0]["serialNumber"].toString(), "TVB00002");
    QCOMPARE(ports[1]["serialNumber"].toString(), "TVA00001");
    QCOMPARE(run({ "ports" }, false).out,
             second.devicePath() + "\tTVB00002\n" + first + "\tTVA00001\n");

    const Run picked = run({ "voltages", "--channel", "0", "--serial-number", "TVB00002" }, false);
    QCOMPARE(picked.out, "channel 0: Vc = 2.250 V, Vb = 0.800 V\n");
    const Run both = run({ "voltages", "--channel", "0", "--json", "--serial-number", "TVA00001",
                           "--port", second.devicePath() },
                         false);
    QCOMPARE(QJsonDocument::fromJson(both.out.toUtf8())["TVA00001"][0]["Vc_V"].toDouble(), 1.25);

    const Run none = run({ "commit", "--serial-number", "TVC00003" }, false);
    QCOMPARE(none.status, 3);
    QCOMPARE(none.err,
             "torvanctl: no adapter with serial number TVC00003 found (USB 0403:6001); "
             "'torvanctl ports --all' lists every port\n");
    listAdapters({ second.devicePath() + " TVA00001", first + " TVA00001" });
    const Run twice = run({ "commit", "--serial-number", "TVA00001" }, false);
    QCOMPARE(twice.status, 3);
    QCOMPARE(twice.err,
             QString("torvanctl: 2 adapters report serial number TVA00001 (%1, %2); "
                     "choose with --port or --serial-number\n")
                 .arg(second.devicePath(), first));
    // Only the three reads went out; a failed choice sends nothing.
    QCOMPARE(controller->requests().size() + second.requests().size(), 3);
}

void tst_Torvanctl::restoreChecksTheInstrument()
{
    SimController replacement;
    replacement.setPacing(false);
    QVERIFY(replacement.start());
    listAdapters(
        { controller->devicePath() + " TVA00001", replacement.devicePath() + " TVB00002" });
    const QString file = scratch.filePath("rack2.json");
    QCOMPARE(run({ "backup", file, "--serial-number", "TVA00001" }, false).status, 0);

    const Run refused = run({ "restore", file, "--serial-number", "TVB00002" }, false);
    QCOMPARE(refused.status, 2);
    QCOMPARE(refused.err,
             QString("torvanctl: %1: the backup was made of the adapter with serial number "
                     "TVA00001, but %2 is TVB00002; nothing was sent (--any-adapter restores it "
                     "all the same)\n")
                 .arg(file, replacement.devicePath()));
    QTest::qWait(50);
    QCOMPARE(replacement.requests().size(), 0);

    QCOMPARE(run({ "restore", file, "--serial-number", "TVB00002", "--any-adapter" }, false).status,
             0);
    QCOMPARE(replacement.allSetPoints(), controller->allSetPoints());
    // Written before serial numbers were recorded: restored, and said so.
    QFile old(scratch.filePath("old.json"));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write(backupFile()) > 0);
    old.close();
    const Run unchecked = run({ "restore", old.fileName(), "--serial-number", "TVB00002" }, false);
    QCOMPARE(unchecked.status, 0);
    QVERIFY2(unchecked.out.startsWith("the instrument could not be checked: " + old.fileName()
                                      + " records no serial number\n"),
             qPrintable(unchecked.out));
}

// A udev link (/dev/torvan/SERIAL) names the adapter it leads to: its serial
// number is the one checked and recorded. Clones that share one are no one
// instrument.
void tst_Torvanctl::anyNameOfAPortIsItsDevice()
{
    SimController other;
    other.setPacing(false);
    QVERIFY(other.start());
    const QString linkA = scratch.filePath("TVA00001"), linkB = scratch.filePath("TVB00002");
    QVERIFY(QFile::link(controller->devicePath(), linkA));
    QVERIFY(QFile::link(other.devicePath(), linkB));
    listAdapters({ controller->devicePath() + " TVA00001", other.devicePath() + " TVB00002" });

    const QString file = scratch.filePath("a.json");
    QCOMPARE(run({ "backup", file, "--port", linkA }, false).status, 0);
    QFile backup(file);
    QVERIFY(backup.open(QIODevice::ReadOnly));
    QCOMPARE(QJsonDocument::fromJson(backup.readAll())["serialNumber"].toString(), "TVA00001");

    const Run refused = run({ "restore", file, "--port", linkB }, false);
    QCOMPARE(refused.status, 2);
    QVERIFY2(refused.err.contains("TVA00001, but " + linkB + " is TVB00002"),
             qPrintable(refused.err));
    QCOMPARE(other.requests().size(), 0);

    listAdapters({ controller->devicePath() + " TVA00001", other.devicePath() + " TVA00001" });
    const Run clone = run({ "restore", file, "--port", linkB }, false);
    QCOMPARE(clone.status, 0);
    QVERIFY2(clone.out.startsWith("the instrument could not be checked: 2 adapters report "
                                  "serial number TVA00001"),
             qPrintable(clone.out));
}

// Whatever names the two use for it, root included.
void tst_Torvanctl::oneProgramPerAdapter()
{
    const QString link = scratch.filePath("TVA00001");
    QFile::remove(link);
    QVERIFY(QFile::link(controller->devicePath(), link));
    QProcess watch;
    watch.start(TORVANCTL, { "watch", "--interval", "50", "--port", controller->devicePath() });
    QVERIFY(QTest::qWaitFor([&] { return controller->requests().size() >= 2; }, 10000));
    for (const QString &name : { link, controller->devicePath() }) {
        const Run second = run({ "voltages", "--port", name }, false);
        QCOMPARE(second.status, 9);
        QVERIFY2(second.err.contains("in use by another program"), qPrintable(second.err));
        QCOMPARE(second.err.count('\n'), 1);
    }
    const Run named = run({ "voltages", "--port", link }, false);
    QVERIFY2(named.err.contains(link + " (" + controller->devicePath() + ")"),
             qPrintable(named.err));
    ::kill(watch.processId(), SIGINT);
    QVERIFY(QTest::qWaitFor([&] { return watch.state() == QProcess::NotRunning; }, 10000));
    QCOMPARE(run({ "voltages", "--port", link }, false).status, 0);
}

void tst_Torvanctl::onlyRegularFilesAreUsed_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("said");
    QFile large(scratch.filePath("large.json"));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(2 << 20));
    QTest::newRow("backup onto a device")
        << QStringList { "backup", "/dev/null" } << "cannot write /dev/null: not a regular file";
    QTest::newRow("restore from a device") << QStringList { "restore", "/dev/zero", "--dry-run" }
                                           << "cannot read /dev/zero: not a regular file";
    QTest::newRow("restore from 2 MiB")
        << QStringList { "restore", large.fileName() } << "larger than a backup file can be";
}

void tst_Torvanctl::onlyRegularFilesAreUsed()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, said);
    const Run refused = run(arguments);
    QCOMPARE(refused.status, 8);
    QVERIFY2(refused.err.contains(said), qPrintable(refused.err));
    QCOMPARE(refused.err.count('\n'), 1);
    QTest::qWait(50);
    QCOMPARE(controller->requests().size(), 0);
    struct stat null;
    QVERIFY(::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode));
}

void tst_Torvanctl::unwritableOutputEndsTheCommand_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("watch") << QStringList { "watch", "--interval", "50" };
    QTest::newRow("voltages") << QStringList { "voltages" };
}

void tst_Torvanctl::unwritableOutputEndsTheCommand()
{
    QFETCH(QStringList, arguments);
    const Run full = run(arguments, true, {}, "/dev/full");
    QCOMPARE(full.status, 10);
    QCOMPARE(full.err,
             "torvanctl: standard output could not be written: No space left on device\n");
}

// Unplugged, and plugged back as another port: the watch carries on in the
// same output, with empty columns for the ticks it missed.
void tst_Torvanctl::watchFindsItsAdapterAgainWhereverItComesBack()
{
    listAdapters({ controller->devicePath() + " TVA00001" });
    SimController back;
    back.setPacing(false);
    back.setFixedCurrents(SimController::Block { 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f });
    connect(controller, &SimController::requestReceived, this, [&] {
        if (controller->requests().size() != 3)
            return;
        // Unplugged: the line goes, and so does the adapter from the list.
        QTimer::singleShot(0, controller, [&] {
            listAdapters({ "/dev/ttyS0" });
            controller->hangUp();
        });
        QTimer::singleShot(500, this, [&] {
            QVERIFY(back.start());
            listAdapters({ "/dev/ttyS0", back.devicePath() + " TVA00001" });
        });
    });
    const Run watch = run(
        { "watch", "--csv", "--count", "14", "--interval", "100", "--serial-number", "TVA00001" },
        false);
    QCOMPARE(watch.status, 5);
    QVERIFY2(watch.err.count("was lost") == 1, qPrintable(watch.err));
    QVERIFY2(watch.err.count("TVA00001 is back, on " + back.devicePath()) == 1,
             qPrintable(watch.err));
    const QStringList lines = watch.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 15);
    QVERIFY2(lines[1].contains(",12.35,-4.57,"), qPrintable(lines[1]));
    QVERIFY2(lines[5].endsWith(",,,,,,,,"), qPrintable(lines[5]));
    QVERIFY2(lines[14].endsWith(",500.00,500.00"), qPrintable(lines[14]));
}

QTEST_GUILESS_MAIN(tst_Torvanctl)
#include "tst_torvanctl.moc"
