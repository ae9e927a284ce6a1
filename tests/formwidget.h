#ifndef FORMWIDGET_H
#define FORMWIDGET_H

#include <QMainWindow>

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

#endif // FORMWIDGET_H
