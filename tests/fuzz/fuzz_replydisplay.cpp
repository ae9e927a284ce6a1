// Arbitrary value blocks, from the simulated controller over a real
// pseudo-terminal, into the main window: whatever the float patterns (NaN,
// infinities, subnormals, the largest values), the window shows the readings
// as specified, keeps its voltage boxes in range, and never crashes.
//
// Input: 32 bytes of currents, then optionally 32 bytes of set-points and a
// channel byte.
#include "../formwidget.h"
#include "mainwindow.h"
#include "seriallink.h"
#include "simcontroller.h"

#include <QApplication>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

QApplication *app;
SimController *controller;
MainWindow *window;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

template<typename T> T *child(const char *name)
{
    return formWidget<T>(window, name);
}

SimController::Block blockFrom(const uint8_t *bytes)
{
    SimController::Block block;
    std::memcpy(block.data(), bytes, 32);
    return block;
}

QString expectedText(const char *prefix, float amperes)
{
    return QLatin1String(prefix) + QString::number(double(amperes) * 1000, 'f', 2);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app = new QApplication(*argc, *argv);
    controller = new SimController;
    controller->setPacing(false);
    if (!controller->start())
        std::abort();
    Link::setPortSource([] {
        return QList<Link::PortEntry> {
            { controller->devicePath(), Link::AdapterVendorId, Link::AdapterProductId, {} }
        };
    });
    window = new MainWindow;
    window->show();
    child<QPushButton>("pbConnect")->click();
    window->findChild<QTimer *>()->stop();
    require(window->findChild<QSerialPort *>()->isOpen());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 32)
        return 0;
    const SimController::Block amperes = blockFrom(data);
    controller->setFixedCurrents(amperes);

    auto *vc = child<QDoubleSpinBox>("dsbVc");
    auto *vb = child<QDoubleSpinBox>("dsbVb");
    auto *channelBox = child<QSpinBox>("sbChannel");
    if (size >= 65) {
        const SimController::Block volts = blockFrom(data + 32);
        controller->setAllSetPoints(volts);
        const double vcBefore = vc->value(), vbBefore = vb->value();
        const int channel = data[64] % 4;
        if (channel != channelBox->value()) {
            channelBox->setValue(channel); // reads D, then R
            for (const auto &[box, before, reported] :
                 { std::tuple { vc, vcBefore, volts[2 * channel] },
                   std::tuple { vb, vbBefore, volts[2 * channel + 1] } }) {
                if (!std::isfinite(reported))
                    require(box->value() == before);
                else
                    require(box->value()
                            == qBound(0.0, std::round(double(reported) * 1000) / 1000, 2.5));
                require(box->value() >= 0.0 && box->value() <= 2.5);
            }
        }
    }
    require(QMetaObject::invokeMethod(window, "timerTimeOut"));
    const int n = channelBox->value();
    require(child<QLabel>("lIc")->text() == expectedText("Ic(mA) = ", amperes[2 * n]));
    require(child<QLabel>("lIb")->text() == expectedText("Ib(mA) = ", amperes[2 * n + 1]));
    return 0;
}
