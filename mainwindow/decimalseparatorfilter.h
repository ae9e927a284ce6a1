#ifndef DECIMALSEPARATORFILTER_H
#define DECIMALSEPARATORFILTER_H

#include <QObject>

// Makes a typed "." or "," the decimal separator of the widget's locale.
//
// A QDoubleSpinBox under a decimal-comma locale takes a typed "." as a group
// separator: "0.125" would become 1 V. With this filter installed, either key
// types the locale's own decimal separator.
class DecimalSeparatorFilter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

#endif // DECIMALSEPARATORFILTER_H
