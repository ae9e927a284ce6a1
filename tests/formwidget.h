#ifndef FORMWIDGET_H
#define FORMWIDGET_H

#include <QComboBox>
#include <QMainWindow>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

// The main window's own widget of that name. The coefficient dialog, a child
// of the window too, reuses some names (groupBox, label), so the search starts
// at the central widget. A missing widget ends the test run: every test after
// it would only fail more obscurely.
template<typename T> T *formWidget(const QMainWindow *window, const char *name)
{
    auto *found = window->centralWidget()->findChild<T *>(QLatin1String(name));
    if (!found) {
        fprintf(stderr, "no %s named %s in the main window\n", T::staticMetaObject.className(),
                name);
        std::abort();
    }
    return found;
}

// The names the main window's port list offers, in its order.
inline QStringList listedPorts(const QMainWindow *window)
{
    const auto *ports = formWidget<QComboBox>(window, "cbPorts");
    QStringList names;
    for (int i = 0; i < ports->count(); ++i)
        names.append(ports->itemText(i));
    return names;
}

#endif // FORMWIDGET_H
