// Loaded into a program with "-plugin startupprobe": at the first expose of a
// window it prints the monotonic clock and the peak resident set size, then
// ends the process at once.
#include <QCoreApplication>
#include <QEvent>
#include <QGenericPlugin>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

class ExposeWatcher : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && watched->isWindowType()
            && static_cast<QWindow *>(watched)->isExposed()) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            rusage usage;
            getrusage(RUSAGE_SELF, &usage);
            printf("exposed %lld %ld\n", qint64(now.tv_sec) * 1000000000 + now.tv_nsec,
                   usage.ru_maxrss);
            fflush(stdout);
            _exit(0);
        }
        return false;
    }
};

class StartupProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "startupprobe.json")

public:
    QObject *create(const QString &, const QString &) override
    {
        auto *watcher = new ExposeWatcher;
        QCoreApplication::instance()->installEventFilter(watcher);
        return watcher;
    }
};

#include "startupprobe.moc"
