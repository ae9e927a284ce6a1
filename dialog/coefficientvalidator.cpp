#include "coefficientvalidator.h"

QValidator::State CoefficientValidator::validate(QString &input, int &position) const
{
    const State own = QDoubleValidator::validate(input, position);
    if (own == Acceptable)
        return own;
    QDoubleValidator plain;
    plain.setLocale(QLocale::c());
    return std::max(own, plain.validate(input, position));
}

void CoefficientValidator::fixup(QString &) const
{ }
