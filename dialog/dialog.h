#ifndef DIALOG_H
#define DIALOG_H

#include <QDialog>

#include <array>
#include <memory>

class QLineEdit;
class QSerialPort;
class Ui_Dialog;
namespace Torvan {
class Controller;
}

// Reads the controller's eight calibration coefficients into the form's fields
// and writes them back. The field texts are the only copy.
class Dialog : public QDialog
{
    Q_OBJECT

public:
    explicit Dialog(QWidget *parent = nullptr);
    ~Dialog() override;

    void setSerialPort(QSerialPort *port);

private slots:
    void on_pbRead_clicked();
    void on_pbWrite_clicked();

private:
    std::array<QLineEdit *, 8> fieldsInSlotOrder() const;
    QLocale fieldLocale() const;

    Ui_Dialog *ui;
    // Over the port borrowed from the main window while shown.
    std::unique_ptr<Torvan::Controller> controller;
};

#endif // DIALOG_H
