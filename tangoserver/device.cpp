// The TANGO side of the server, kept to this one file: the device class
// TorvanBiasController, its attributes and its command. Each device has a
// bridge of its own, which alone talks to its line, on a Qt thread of its own:
// one server instance serves a rack of controllers, and no line waits for
// another's reply.
//
// Clients are served under TANGO's BY_DEVICE model: each device's monitor is
// held through every attribute read and write and every command, Init among
// them. TANGO copies a value into the reply only after read() returns, from the
// Attribute object that every request and every event of that attribute shares;
// the monitor covers that copy and each attribute's own mutex, held until the
// reply has gone, covers the rest. Without the monitor (NO_SYNC) nothing covers
// those objects, and two reads of the same attributes in another order can
// deadlock on their mutexes. Two rules keep the monitor from ever being waited
// for in vain:
// - a request that waits for the line lets go of it meanwhile (awaitLine), so
//   other clients keep reading the last values;
// - events are pushed from a thread of the device's own, never from the
//   bridge's, which a client holding the monitor may be waiting for.
#include "device.h"

#include "bridge.h"
#include "quantities.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

#include <tango/tango.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sys/time.h>
#include <thread>

namespace {

enum class Quantity { SetPoint, Current, Coefficient };

// A value older than this reads as ATTR_INVALID, never as live. The currents
// are polled every 400 ms; set-points and coefficients are read again every
// few seconds (and after every write).
qint64 staleAfterMs(Quantity quantity)
{
    return quantity == Quantity::Current ? 1000 : 8000;
}

// TANGO's attribute names ignore case, so the coefficients (IC0 ...) carry a
// prefix that keeps them apart from the currents (Ic0 ...).
std::string attributeName(Quantity quantity, int slot)
{
    const QString name = quantity == Quantity::SetPoint ? Torvan::setPointName(slot)
        : quantity == Quantity::Current                 ? Torvan::currentName(slot)
                                                        : "Coef" + Torvan::coefficientName(slot);
    return name.toStdString();
}

[[noreturn]] void refuse(const QString &why, const char *where)
{
    Tango::Except::throw_exception("TorvanRequestFailed", why.toStdString(), where);
}

timeval timeOf(qint64 ms)
{
    return { time_t(ms / 1000), suseconds_t((ms % 1000) * 1000) };
}

class TorvanBiasController : public TANGO_BASE_CLASS
{
public:
    TorvanBiasController(Tango::DeviceClass *deviceClass, std::string &name)
        : TANGO_BASE_CLASS(deviceClass, name)
    {
        line.start();
        bridge->moveToThread(&line);
        bridge->setObserver([this](const Bridge::Snapshot &s) { eventsToPush(s); });
        events = std::thread([this] { pushEvents(); });
        init_device();
    }

    // Only once no request is left: CORBA deletes a device after its last call.
    ~TorvanBiasController() override
    {
        bridge->finish();
        delete bridge;
        {
            std::lock_guard lock(eventMutex);
            stopping = true;
        }
        eventWake.notify_one();
        events.join();
    }

    // The bridge lives as long as the device: Init, which calls delete_device()
    // and init_device(), only has it reopen the line, so no client ever finds it
    // half replaced.
    void init_device() override
    {
        // A failure shows in the state and status, and the bridge keeps trying.
        const Torvan::AdapterChoice adapter { property("SerialPort"), property("SerialNumber") };
        awaitLine([this, &adapter] { return bridge->open(adapter); });
    }

    void delete_device() override { }

    // Runs a request that waits for the line, up to seconds, without the
    // device's monitor, at whatever depth TANGO took it, and takes it back
    // before TANGO goes on.
    Torvan::Done awaitLine(const std::function<Torvan::Done()> &request)
    {
        Tango::TangoMonitor &monitor = get_dev_monitor();
        // Counted while still held: once let go, another client may take it.
        long depth = holdsMonitor() ? monitor.get_locking_ctr() : 0;
        for (long i = 0; i < depth; ++i)
            monitor.rel_monitor();
        const Torvan::Done done = request();
        while (depth > 0) {
            try {
                monitor.get_monitor();
                --depth;
            } catch (const Tango::DevFailed &) {
                // Timed out behind another client's request: the caller must
                // have the monitor back, so it waits again.
            }
        }
        return done;
    }

    Bridge &controller() { return *bridge; }

    Tango::DevState dev_state() override
    {
        const Bridge::Snapshot s = bridge->snapshot();
        set_state(s.on ? Tango::ON : Tango::FAULT);
        set_status(s.status.toStdString());
        return get_state();
    }

    Tango::ConstDevString dev_status() override
    {
        dev_state();
        return TANGO_BASE_CLASS::dev_status();
    }

    void read(Quantity quantity, int slot, Tango::Attribute &attribute)
    {
        const Bridge::Snapshot s = bridge->snapshot();
        const Bridge::Reading &reading = readingOf(s, quantity);
        if (reading.atMs < 0) {
            attribute.set_quality(Tango::ATTR_INVALID);
            return;
        }
        const bool stale
            = QDateTime::currentMSecsSinceEpoch() - reading.atMs > staleAfterMs(quantity);
        const Tango::AttrQuality quality = stale ? Tango::ATTR_INVALID : Tango::ATTR_VALID;
        timeval when = timeOf(reading.atMs);
        // Handed over (release = true): TANGO keeps a copy of its own for the
        // reply, so no value buffer of the device is shared with it.
        if (quantity == Quantity::Coefficient)
            attribute.set_value_date_quality(new Tango::DevFloat(reading.values[slot]), when,
                                             quality, 1, 0, true);
        else
            attribute.set_value_date_quality(
                new Tango::DevDouble(valueOf(quantity, reading.values[slot])), when, quality, 1, 0,
                true);
    }

private:
    static const Bridge::Reading &readingOf(const Bridge::Snapshot &s, Quantity quantity)
    {
        return quantity == Quantity::SetPoint ? s.setPoints
            : quantity == Quantity::Current   ? s.currents
                                              : s.coefficients;
    }

    static double valueOf(Quantity quantity, float raw)
    {
        return quantity == Quantity::Current ? Torvan::milliamps(raw) : double(raw);
    }

    // A device property, from the database or a database file; empty without.
    QString property(const char *name)
    {
        if (!Tango::Util::_UseDb && !Tango::Util::_FileDb)
            return {};
        Tango::DbData data;
        data.push_back(Tango::DbDatum(name));
        get_db_device()->get_property(data);
        std::string value;
        if (!data[0].is_empty())
            data[0] >> value;
        return QString::fromStdString(value).trimmed();
    }

    bool holdsMonitor()
    {
        omni_thread *const self = omni_thread::self();
        Tango::TangoMonitor &monitor = get_dev_monitor();
        omni_mutex_lock owner(monitor); // what the monitor keeps its owner under
        return self && monitor.get_locking_thread_id() == self->id();
    }

    // On the bridge's thread, after each new reading: only the latest counts.
    void eventsToPush(const Bridge::Snapshot &s)
    {
        {
            std::lock_guard lock(eventMutex);
            latest = s;
        }
        eventWake.notify_one();
    }

    // The events thread: change and archive events, filtered by TANGO against
    // each attribute's abs_change, for every reading not pushed yet.
    void pushEvents()
    {
        const omni_thread::ensure_self omniThread; // the monitor knows threads by it
        std::unique_lock lock(eventMutex);
        for (;;) {
            eventWake.wait(lock, [this] { return stopping || latest; });
            if (stopping)
                return;
            const Bridge::Snapshot s = std::move(*latest);
            latest.reset();
            lock.unlock();
            pushNew(s);
            lock.lock();
        }
    }

    void pushNew(const Bridge::Snapshot &s)
    {
        try {
            // The monitor first, then each attribute's mutex, as a read takes
            // them: a push rewrites the Attribute whose value a reply may still
            // be sending.
            Tango::AutoTangoMonitor monitor(&get_dev_monitor());
            for (const Quantity quantity :
                 { Quantity::SetPoint, Quantity::Current, Quantity::Coefficient }) {
                const Bridge::Reading &reading = readingOf(s, quantity);
                qint64 &pushed = pushedAtMs[int(quantity)];
                if (reading.atMs < 0 || reading.atMs == pushed)
                    continue;
                pushed = reading.atMs;
                for (int slot = 0; slot < Link::SlotCount; ++slot)
                    pushOne(quantity, slot, reading);
            }
        } catch (const Tango::DevFailed &) {
            // The monitor was held longer than TANGO waits: what was not pushed
            // goes with the next reading.
        }
    }

    void pushOne(Quantity quantity, int slot, const Bridge::Reading &reading)
    {
        const std::string name = attributeName(quantity, slot);
        timeval when = timeOf(reading.atMs);
        try {
            omni_mutex_lock value(
                *get_device_attr()->get_attr_by_name(name.c_str()).get_attr_mutex());
            if (quantity == Quantity::Coefficient) {
                Tango::DevFloat value = reading.values[slot];
                push_change_event(name, &value, when, Tango::ATTR_VALID);
                push_archive_event(name, &value, when, Tango::ATTR_VALID);
            } else {
                Tango::DevDouble value = valueOf(quantity, reading.values[slot]);
                push_change_event(name, &value, when, Tango::ATTR_VALID);
                push_archive_event(name, &value, when, Tango::ATTR_VALID);
            }
        } catch (const Tango::DevFailed &) {
            // Nobody subscribed, or the value did not change enough: nothing to send.
        }
    }

    QThread line;
    Bridge *const bridge = new Bridge(
        QStringLiteral("the device properties SerialNumber and SerialPort choose the adapter"));
    std::thread events;
    std::mutex eventMutex;
    std::condition_variable eventWake;
    std::optional<Bridge::Snapshot> latest; // under eventMutex
    bool stopping = false; // under eventMutex
    qint64 pushedAtMs[3] = { -1, -1, -1 }; // the events thread's own
};

class SlotAttribute : public Tango::Attr
{
public:
    SlotAttribute(Quantity quantity, int slot)
        : Tango::Attr(attributeName(quantity, slot).c_str(),
                      quantity == Quantity::Coefficient ? Tango::DEV_FLOAT : Tango::DEV_DOUBLE,
                      quantity == Quantity::Current ? Tango::READ : Tango::READ_WRITE)
        , quantity(quantity)
        , slot(slot)
    {
        Tango::UserDefaultAttrProp properties;
        if (quantity == Quantity::SetPoint) {
            properties.set_unit("V");
            properties.set_format("%6.3f");
            properties.set_min_value(QByteArray::number(Torvan::SetPointMinVolts).constData());
            properties.set_max_value(QByteArray::number(Torvan::SetPointMaxVolts).constData());
            properties.set_event_abs_change("0.001");
            properties.set_archive_event_abs_change("0.001");
        } else if (quantity == Quantity::Current) {
            properties.set_unit("mA");
            properties.set_format("%6.2f");
            properties.set_event_abs_change("0.01");
            properties.set_archive_event_abs_change("0.01");
        } else {
            properties.set_format("%.9g");
            properties.set_event_abs_change("1e-9");
            properties.set_archive_event_abs_change("1e-9");
        }
        set_default_properties(properties);
        set_change_event(true, true);
        set_archive_event(true, true);
    }

    void read(Tango::DeviceImpl *device, Tango::Attribute &attribute) override
    {
        static_cast<TorvanBiasController *>(device)->read(quantity, slot, attribute);
    }

    void write(Tango::DeviceImpl *device, Tango::WAttribute &attribute) override
    {
        auto *const controller = static_cast<TorvanBiasController *>(device);
        Bridge &bridge = controller->controller();
        Torvan::Done done;
        if (quantity == Quantity::SetPoint) {
            Tango::DevDouble volts;
            attribute.get_write_value(volts);
            if (!Torvan::isSetPointInRange(volts))
                refuse(QStringLiteral("%1 V is outside %2; nothing was sent")
                           .arg(volts)
                           .arg(Torvan::setPointRangeText()),
                       "TorvanBiasController::write");
            const double rounded = Torvan::roundedSetPoint(volts);
            done = controller->awaitLine([&] { return bridge.setPoint(slot, rounded); });
        } else {
            Tango::DevFloat value;
            attribute.get_write_value(value);
            if (!std::isfinite(value))
                refuse(QStringLiteral("a coefficient must be a finite number; nothing was sent"),
                       "TorvanBiasController::write");
            done = controller->awaitLine([&] { return bridge.setCoefficient(slot, value); });
        }
        if (!done)
            refuse(done.failure().message, "TorvanBiasController::write");
    }

    bool is_allowed(Tango::DeviceImpl *, Tango::AttReqType) override { return true; }

private:
    Quantity quantity;
    int slot;
};

class WriteEepromCommand : public Tango::Command
{
public:
    WriteEepromCommand()
        : Tango::Command("WriteEeprom", Tango::DEV_VOID, Tango::DEV_VOID,
                         "Has the controller store its settings in its EEPROM.", "",
                         Tango::OPERATOR)
    { }

    CORBA::Any *execute(Tango::DeviceImpl *device, const CORBA::Any &) override
    {
        auto *const controller = static_cast<TorvanBiasController *>(device);
        Bridge &bridge = controller->controller();
        if (const auto done = controller->awaitLine([&] { return bridge.commit(); }); !done)
            refuse(done.failure().message, "TorvanBiasController::WriteEeprom");
        return new CORBA::Any();
    }

    bool is_allowed(Tango::DeviceImpl *, const CORBA::Any &) override { return true; }
};

} // namespace

class TorvanBiasControllerClass : public Tango::DeviceClass
{
public:
    static TorvanBiasControllerClass *init(const char *name)
    {
        static TorvanBiasControllerClass *instance = nullptr;
        if (!instance) {
            std::string className(name);
            instance = new TorvanBiasControllerClass(className);
        }
        return instance;
    }

protected:
    explicit TorvanBiasControllerClass(std::string &name)
        : Tango::DeviceClass(name)
    { }

    void attribute_factory(std::vector<Tango::Attr *> &attributes) override
    {
        for (const Quantity quantity :
             { Quantity::SetPoint, Quantity::Current, Quantity::Coefficient })
            for (int slot = 0; slot < Link::SlotCount; ++slot)
                attributes.push_back(new SlotAttribute(quantity, slot));
    }

    void command_factory() override { command_list.push_back(new WriteEepromCommand); }

    void device_factory(const Tango::DevVarStringArray *names) override
    {
        for (CORBA::ULong i = 0; i < names->length(); ++i) {
            std::string name((*names)[i].in());
            auto *device = new TorvanBiasController(this, name);
            device_list.push_back(device);
            if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
                export_device(device);
            else
                export_device(device, name.c_str());
        }
    }
};

void Tango::DServer::class_factory()
{
    add_class(TorvanBiasControllerClass::init("TorvanBiasController"));
}

int runDeviceServer(int argc, char *argv[])
{
    try {
        Tango::Util *util = Tango::Util::init(argc, argv);
        // Why BY_DEVICE: see the top of this file.
        util->set_serial_model(Tango::BY_DEVICE);
        std::thread server([util] {
            try {
                util->server_init();
                util->server_run();
            } catch (const CORBA::Exception &failure) {
                Tango::Except::print_exception(failure);
            }
            QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(1); });
        });
        server.detach();
        return QCoreApplication::exec();
    } catch (const CORBA::Exception &failure) { // DevFailed among them
        Tango::Except::print_exception(failure);
        return 1;
    }
}
