// A generic plugin that closes every visible top-level window soon after the
// event loop starts, as a user clicking the close box would.
#include <QApplication>
#include <QGenericPlugin>
#include <QTimer>
#include <QWidget>

#include <cstdio>

class WindowCloserPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "windowcloser.json")

public:
    QObject *create(const QString &, const QString &) override
    {
        auto *closer = new QObject;
        QTimer::singleShot(300, closer, [] {
            for (QWidget *window : QApplication::topLevelWidgets()) {
                if (!window->isVisible())
                    continue;
                // Reported so the test can tell which window was shown, and with which icon.
                printf("closing \"%s\" icon=%s\n", qPrintable(window->windowTitle()),
                       window->windowIcon().isNull() ? "none" : "set");
                fflush(stdout);
                window->close();
            }
        });
        return closer;
    }
};

#include "windowcloser.moc"
