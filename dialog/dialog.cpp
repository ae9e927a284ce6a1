#include "dialog.h"
#include "ui_dialog.h"

#include "coefficienttext.h"
#include "coefficientvalidator.h"
#include "controller.h"

#include <QSerialPort>

Dialog::Dialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui_Dialog)
{
    ui->setupUi(this);
    for (QLineEdit *field :
         { ui->leIc0, ui->leIc1, ui->leIc2, ui->leIc3, ui->leIb0, ui->leIb1, ui->leIb2, ui->leIb3 })
        field->setValidator(new CoefficientValidator(this));
}

Dialog::~Dialog()
{
    delete ui;
}

void Dialog::setSerialPort(QSerialPort *port)
{
    controller = port ? std::make_unique<Torvan::Controller>(port) : nullptr;
}

void Dialog::on_pbRead_clicked()
{
    if (!controller)
        return;
    controller->whenIdle(this, [this] {
        const auto coefficients = controller->readCoefficients();
        if (!coefficients)
            return;
        const auto fields = fieldsInSlotOrder();
        for (int slot = 0; slot < Link::SlotCount; ++slot)
            fields[slot]->setText(Torvan::coefficientText((*coefficients)[slot], fieldLocale()));
    });
}

void Dialog::on_pbWrite_clicked()
{
    if (!controller)
        return;
    // Calibration data: a field that holds no number is never sent as 0. Nothing
    // goes out, and the first such field is handed back to the user.
    Link::ValueBlock values;
    const auto fields = fieldsInSlotOrder();
    for (int slot = 0; slot < Link::SlotCount; ++slot) {
        const auto value = Torvan::parseCoefficient(fields[slot]->text(), fieldLocale());
        if (!value) {
            fields[slot]->setFocus(Qt::OtherFocusReason);
            fields[slot]->selectAll();
            return;
        }
        values[slot] = *value;
    }
    controller->whenIdle(this, [this, values] { controller->writeCoefficients(values); });
}

std::array<QLineEdit *, 8> Dialog::fieldsInSlotOrder() const
{
    return {
        ui->leIc0, ui->leIb0, ui->leIc1, ui->leIb1, ui->leIc2, ui->leIb2, ui->leIc3, ui->leIb3
    };
}

// Shown and read in the locale the validators check against.
QLocale Dialog::fieldLocale() const
{
    return ui->leIc0->validator()->locale();
}
