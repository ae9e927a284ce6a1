#ifndef COEFFICIENTVALIDATOR_H
#define COEFFICIENTVALIDATOR_H

#include <QDoubleValidator>

// A coefficient field's check: a number in the user's language, or in the
// plain form with a point ("0.995") that is understood in every language.
//
// A plain QDoubleValidator under French or Swiss German refuses the other
// decimal mark as a keystroke, so "0.995" typed in French would leave "0995"
// in the field; and when the cursor leaves a field, it rewrites text it
// takes for grouped digits: "1,5" under English becomes "1.5e+01", fifteen.
// Here text stays as typed; whether it is a number is decided when it is
// written, never by reading a thousands separator.
class CoefficientValidator : public QDoubleValidator
{
    Q_OBJECT

public:
    using QDoubleValidator::QDoubleValidator;

    State validate(QString &input, int &position) const override;
    void fixup(QString &input) const override;
};

#endif // COEFFICIENTVALIDATOR_H
