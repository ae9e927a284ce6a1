#ifndef MODALDIALOG_H
#define MODALDIALOG_H

#include <QApplication>
#include <QTimer>

#include <functional>

// A modal dialog runs an event loop of its own, so a test cannot go on after
// the click that opens it until it closes. This runs check inside that loop,
// once, as soon as a dialog of type T is the active modal widget; the click
// that opens it comes after this call.
template<typename T> void whenModal(QObject *context, std::function<void(T *)> check)
{
    auto *watcher = new QTimer(context);
    QObject::connect(watcher, &QTimer::timeout, context, [watcher, check] {
        auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        watcher->stop();
        watcher->deleteLater();
        check(dialog);
    });
    watcher->start(10);
}

#endif // MODALDIALOG_H
