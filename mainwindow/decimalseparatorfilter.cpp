#include "decimalseparatorfilter.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QWidget>

bool DecimalSeparatorFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    const QString typed = key->text();
    if (typed != QLatin1String(".") && typed != QLatin1String(","))
        return false;
    const QString separator = static_cast<QWidget *>(watched)->locale().decimalPoint();
    if (typed == separator)
        return false;
    QKeyEvent replacement(QEvent::KeyPress,
                          separator == QLatin1String(",") ? Qt::Key_Comma : Qt::Key_Period,
                          key->modifiers(), separator, key->isAutoRepeat(), key->count());
    QCoreApplication::sendEvent(watched, &replacement);
    return true;
}
