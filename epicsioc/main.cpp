// torvan-ioc: Torvan bias controllers as an EPICS IOC, so that a facility's
// control system reads, sets, archives and alarms on them over Channel Access.
// It loads databases, substitutions files and startup scripts in the order
// given, starts the IOC and serves until SIGTERM or Ctrl-C.
//
//   torvan-ioc -m P=LAB:BIAS1:,SERIAL=A50285BI -d torvan-bias.template
//   torvan-ioc -s /etc/torvan-ioc/rack2.substitutions
//   torvan-ioc /etc/torvan-ioc/rack2.cmd
#include "console.h"
#include "controller.h"
#include "interrupt.h"
#include "ioc.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

const char usage[]
    = "Usage: torvan-ioc [-m MACROS] [-d DATABASE] [-s SUBSTITUTIONS] [STARTUP-SCRIPT] ...\n"
      "Serves Torvan bias controllers as an EPICS IOC over Channel Access, until SIGTERM or "
      "Ctrl-C.\n"
      "\n"
      "  -m MACROS         macros for the files that follow, as \"P=LAB:BIAS1:,SERIAL=A50285BI\"\n"
      "  -d DATABASE       load a database or template (dbLoadRecords)\n"
      "  -s SUBSTITUTIONS  load a substitutions file (dbLoadTemplate)\n"
      "  STARTUP-SCRIPT    run an iocsh script (dbLoadRecords, dbLoadTemplate, epicsEnvSet, ...)\n"
      "  -h, --help        show this and exit\n"
      "\n"
      "Files are loaded in the order given; the IOC starts after the last one, unless a\n"
      "script called iocInit. Files named without a folder are also looked for among the\n"
      "installed templates (EPICS_DB_INCLUDE_PATH, by default \"."
      ":" TORVAN_IOC_DB_DIR "\").\n";

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own event dispatcher: an IOC has no GLib main loop to share, and each
    // controller's thread wakes a few times a poll at a tenth less cost.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvan-ioc"));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    QList<Ioc::Step> steps;
    QString macros;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            fputs(usage, stdout);
            return 0;
        }
        const bool option = argument.startsWith(u'-');
        if (option && argument != QLatin1String("-m") && argument != QLatin1String("-d")
            && argument != QLatin1String("-s")) {
            Console::warn(QStringLiteral("unknown option \"%1\"; see --help").arg(argument));
            return Console::UsageError;
        }
        if (option && arguments.isEmpty()) {
            Console::warn(QStringLiteral("%1 needs a value; see --help").arg(argument));
            return Console::UsageError;
        }
        if (argument == QLatin1String("-m"))
            macros = arguments.takeFirst();
        else if (argument == QLatin1String("-d"))
            steps.append({ Ioc::Step::Database, arguments.takeFirst(), macros });
        else if (argument == QLatin1String("-s"))
            steps.append({ Ioc::Step::Substitutions, arguments.takeFirst(), macros });
        else
            steps.append({ Ioc::Step::Script, argument, macros });
    }
    if (steps.isEmpty()) {
        Console::warn(QStringLiteral("nothing to serve: name a database, a substitutions file "
                                     "or a startup script; see --help"));
        return Console::UsageError;
    }

    // For tests and demonstrations only: simulated controllers offered as the
    // adapters found, as the demo does.
    Torvan::offerSimulatedAdapters();
    // SIGTERM (systemd's stop) and Ctrl-C end the event loop, so every line
    // closes cleanly.
    onInterrupt(&app, &QCoreApplication::quit);
    if (!Ioc::start(steps)) {
        Ioc::stop();
        return 1;
    }
    const int status = QCoreApplication::exec();
    Ioc::stop();
    return status;
}
