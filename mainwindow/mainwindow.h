#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "controller.h"

#include <QMainWindow>
#include <QSerialPort>
#include <QSet>

class Dialog;
class QDoubleSpinBox;
class QTimer;
class Ui_MainWindow;

// The tool's window and all of its control logic. The widgets are the only
// state: what the controller reports goes straight into them.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_pbUpdatePorts_clicked();
    void on_pbConnect_clicked();
    void timerTimeOut();
    void on_sbChannel_valueChanged(int arg1);
    void on_pbSetVc_clicked();
    void on_pbSetVb_clicked();
    void on_pbEeprom_clicked();
    void on_pbWriteEEPROM_clicked();

private:
    void updateVoltages(int channel);
    void updateCurrents();
    void showChannel(int channel);
    void setVoltage(int setPointIndex, const QDoubleSpinBox *box);
    void showDisconnected();
    void connectOrClose();
    void showCoefficients();

    Ui_MainWindow *ui;
    QSerialPort *port; // the window's child, lent to the dialog
    Torvan::Controller controller;
    QTimer *pollTimer;
    Dialog *dialog;
    // The channel whose set-points the boxes show as last read, and the boxes
    // typed into since then or since the channel changed.
    int boxesChannel = -1;
    QSet<const QDoubleSpinBox *> typedBoxes;
};

#endif // MAINWINDOW_H
