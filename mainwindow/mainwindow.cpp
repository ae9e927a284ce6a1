#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "decimalseparatorfilter.h"
#include "dialog.h"
#include "quantities.h"

#include <QMessageBox>
#include <QTimer>

#include <cmath>
#include <cstdlib>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui_MainWindow)
    , port(new QSerialPort(this))
    , controller(port)
    , pollTimer(new QTimer(this))
    , dialog(new Dialog(this))
{
    ui->setupUi(this);

    auto *separatorFilter = new DecimalSeparatorFilter(this);
    ui->dsbVc->installEventFilter(separatorFilter);
    ui->dsbVb->installEventFilter(separatorFilter);

    // Typed into, a box holds the user's set-point for the channel chosen.
    for (QDoubleSpinBox *box : { ui->dsbVc, ui->dsbVb })
        connect(box, &QDoubleSpinBox::valueChanged, this, [this, box] { typedBoxes.insert(box); });

    on_pbUpdatePorts_clicked();
    pollTimer->setInterval(Torvan::PollIntervalMs);
    connect(pollTimer, &QTimer::timeout, this, &MainWindow::timerTimeOut);
    // The watch has closed the port: show the window as if "Close" had been pressed.
    controller.onLineLost(this, [this] { showDisconnected(); });
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::on_pbUpdatePorts_clicked()
{
    controller.whenIdle(this, [this] {
        const QStringList names = Torvan::Controller::adapterPortNames();
        ui->cbPorts->clear();
        ui->cbPorts->addItems(names);
        ui->pbConnect->setEnabled(!names.isEmpty());
    });
}

void MainWindow::on_pbConnect_clicked()
{
    controller.whenIdle(this, [this] { connectOrClose(); });
}

void MainWindow::connectOrClose()
{
    if (controller.isOpen()) {
        showDisconnected();
        return;
    }
    if (!controller.openLine(ui->cbPorts->currentText())) {
        QMessageBox::critical(this, tr("Error"), tr("Can't open Serial Port"), QMessageBox::Ok);
        std::exit(1);
    }
    ui->pbConnect->setText(tr("Close"));
    ui->groupBox->setEnabled(true);
    ui->pbEeprom->setEnabled(true);
    ui->pbWriteEEPROM->setEnabled(true);
    updateVoltages(ui->sbChannel->value());
    updateCurrents();
    if (controller.isOpen()) // the adapter may have gone during the first reads
        pollTimer->start();
}

void MainWindow::timerTimeOut()
{
    // Not a press: inside another request's wait the read is refused, and the
    // next tick reads afresh rather than a queue of stale ticks.
    updateCurrents();
}

void MainWindow::on_sbChannel_valueChanged(int arg1)
{
    Q_UNUSED(arg1);
    // Inside a wait the read is queued for the channel chosen now, so that a
    // "Set" clicked after this change, and queued behind it, finds that
    // channel's set-points in the boxes.
    const int channel = ui->sbChannel->value();
    typedBoxes.clear();
    controller.whenIdle(this, [this, channel] { showChannel(channel); });
}

void MainWindow::on_pbSetVc_clicked()
{
    setVoltage(Link::cSlot(ui->sbChannel->value()), ui->dsbVc);
}

void MainWindow::on_pbSetVb_clicked()
{
    setVoltage(Link::bSlot(ui->sbChannel->value()), ui->dsbVb);
}

void MainWindow::on_pbEeprom_clicked()
{
    controller.whenIdle(this, [this] { showCoefficients(); });
}

void MainWindow::showCoefficients()
{
    // Closed while the click waited for a reply, or a second click that
    // waited its turn while the first opened the dialog.
    if (!controller.isOpen() || dialog->isVisible())
        return;
    // The dialog's exchanges must not meet a poll: polling pauses while it is shown.
    pollTimer->stop();
    dialog->setSerialPort(port);
    dialog->exec();
    if (controller.isOpen())
        pollTimer->start();
}

void MainWindow::on_pbWriteEEPROM_clicked()
{
    controller.whenIdle(this, [this] { controller.commit(); });
}

void MainWindow::updateVoltages(int channel)
{
    const auto volts = controller.readSetPoints();
    if (!volts)
        return;
    // A value that is not a number would show as 0.000 or 2.500, and the next
    // "Set" would send it; such a reading leaves its box as it was.
    const float vc = (*volts)[Link::cSlot(channel)];
    const float vb = (*volts)[Link::bSlot(channel)];
    if (std::isfinite(vc))
        ui->dsbVc->setValue(vc);
    if (std::isfinite(vb))
        ui->dsbVb->setValue(vb);
    boxesChannel = channel;
    typedBoxes.clear();
}

void MainWindow::updateCurrents()
{
    const auto amperes = controller.readCurrents();
    if (!amperes)
        return;
    const int channel = ui->sbChannel->value();
    ui->lIc->setText(
        tr("Ic(mA) = %1").arg(Torvan::milliampsText((*amperes)[Link::cSlot(channel)])));
    ui->lIb->setText(
        tr("Ib(mA) = %1").arg(Torvan::milliampsText((*amperes)[Link::bSlot(channel)])));
}

void MainWindow::showChannel(int channel)
{
    updateVoltages(channel);
    updateCurrents();
}

// The set-point is the one of the channel chosen at the click, and the value
// the one its box shows then, whatever is typed while the click waits its
// turn. Only while the box still shows a set-point of another channel (that
// channel's read is still to come, and nothing was typed since the change)
// does the click wait for the read and send what it shows; should the read
// fail, the value shown at the click.
void MainWindow::setVoltage(int setPointIndex, const QDoubleSpinBox *box)
{
    const int channel = setPointIndex / 2;
    const double shown = box->value();
    const bool readToCome = boxesChannel != channel && !typedBoxes.contains(box);
    controller.whenIdle(this, [=] {
        const bool read = readToCome && boxesChannel == channel;
        controller.setPoint(setPointIndex, read ? box->value() : shown);
    });
}

void MainWindow::showDisconnected()
{
    if (controller.isOpen())
        controller.closeLine();
    ui->pbConnect->setText(tr("Connect"));
    ui->groupBox->setEnabled(false);
    ui->pbEeprom->setEnabled(false);
    ui->pbWriteEEPROM->setEnabled(false);
    pollTimer->stop();
}
