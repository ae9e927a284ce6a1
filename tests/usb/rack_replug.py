"""A rack of two adapters re-plugged in the other order, in the guest of
scripts/usb-adapter: the kernel hands out ttyUSB0 and ttyUSB1 the other way
round, and whatever names an adapter by its serial number (torvanctl
--serial-number and watch, the TANGO server's SerialNumber property, the udev
rule's /dev/torvan/SERIAL) still reaches the same controller. What names it by
port reaches the other one; that is shown too.

    rack_replug.py BUILD

ftdi0 (TVA00001) is plugged in as ttyUSB0 when it starts, ftdi1 (TVB00002)
is not; both are plugged in when it ends.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tango"))
from common import free_port, stop, wait_for  # noqa: E402
from host import ask_host, f32  # noqa: E402

import tango  # noqa: E402

BUILD = sys.argv[1]
CTL = os.path.join(BUILD, "torvanctl", "torvanctl")
SERVER = os.path.join(BUILD, "tangoserver", "TorvanBiasController")
# Each adapter's serial number, and its simulator's Ic0 (scripts/usb-adapter), in
# amperes: what tells the two controllers apart (an earlier check restored one's
# set-points and coefficients onto the other).
IC0 = {"TVA00001": 0.0123456, "TVB00002": 0.001}
IC0_CSV = {"TVA00001": "12.35", "TVB00002": "1.00"}
DEVICES = {"rack/bias/a": "TVA00001", "rack/bias/b": "TVB00002"}


def torvanctl(*arguments):
    done = subprocess.run([CTL, *arguments], capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        raise AssertionError(f"torvanctl {' '.join(arguments)}: status {done.returncode}, "
                             f"{done.stderr.strip()}")
    return done.stdout


def ic0(*choice):
    """Ic0 in mA, as torvanctl reads it."""
    return json.loads(torvanctl("currents", "--channel", "0", "--json", *choice))[0]["Ic_mA"]


def shown(amperes):
    return round(amperes * 1000, 2)


def serial_numbers():
    """Which port each serial number is on, as torvanctl lists them."""
    return {p["serialNumber"]: p["port"] for p in json.loads(torvanctl("ports", "--json"))}


def plug(*adapters):
    for adapter, device in adapters:
        assert ask_host(f"plug {adapter}") == "ok"
        wait_for(lambda: os.path.exists(f"/dev/{device}"), 20, f"/dev/{device} after plugging")
    subprocess.run(["udevadm", "settle", "--timeout=20"], check=True)


def unplug(*adapters):
    for adapter, device in adapters:
        assert ask_host(f"unplug {adapter}") == "ok"
        wait_for(lambda: not os.path.exists(f"/dev/{device}"), 20, f"/dev/{device} gone")


class RackReplugged(unittest.TestCase):
    """One process at a time has a port: the server, then torvanctl."""

    def start_server(self):
        # The devices' properties from a file, TANGO's database-less store.
        database = os.path.join(tempfile.mkdtemp(), "rack.db")
        with open(database, "w") as out:
            out.write("TorvanBiasController/rack/DEVICE/TorvanBiasController: "
                      + ", ".join(f'"{d}"' for d in DEVICES) + "\n")
            out.writelines(f"{device}->SerialNumber: {serial}\n"
                           for device, serial in DEVICES.items())
        port = free_port()
        server = subprocess.Popen([SERVER, "rack", f"-file={database}",
                                   "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"])
        self.addCleanup(stop, server)
        for name in DEVICES:
            self.devices[name] = tango.DeviceProxy(f"tango://127.0.0.1:{port}/{name}#dbase=no")
            self.devices[name].set_timeout_millis(10000)
        return server

    def serving(self, name, port):
        """The device is ON and serves its own adapter's controller, found on port."""
        device, serial_number = self.devices[name], DEVICES[name]
        wait_for(lambda: device.state() == tango.DevState.ON
                 and abs(device.read_attribute("Ic0").value - f32(IC0[serial_number]) * 1000)
                 < 1e-6, 40,
                 f"{name} serving {serial_number}'s controller")
        self.assertIn(f"{port} (serial number {serial_number})", device.status())

    def test_serial_numbers_survive_replugging_in_the_other_order(self):
        self.devices = {}
        plug(("ftdi1", "ttyUSB1"))
        self.assertEqual(serial_numbers(), {"TVA00001": "ttyUSB0", "TVB00002": "ttyUSB1"})
        self.assertEqual(ic0("--port", "ttyUSB0"), shown(IC0["TVA00001"]))
        for serial_number, amperes in IC0.items():
            self.assertEqual(ic0("--serial-number", serial_number), shown(amperes))
        server = self.start_server()
        self.serving("rack/bias/a", "ttyUSB0")
        self.serving("rack/bias/b", "ttyUSB1")

        unplug(("ftdi0", "ttyUSB0"), ("ftdi1", "ttyUSB1"))
        plug(("ftdi1", "ttyUSB0"), ("ftdi0", "ttyUSB1"))
        # The server reopens each line by itself, by serial number.
        self.serving("rack/bias/a", "ttyUSB1")
        self.serving("rack/bias/b", "ttyUSB0")
        stop(server)

        self.assertEqual(serial_numbers(), {"TVB00002": "ttyUSB0", "TVA00001": "ttyUSB1"},
                         "the port names did not swap")
        self.assertEqual(ic0("--port", "ttyUSB0"), shown(IC0["TVB00002"]))  # why ports will not do
        for serial_number, amperes in IC0.items():
            self.assertEqual(ic0("--serial-number", serial_number), shown(amperes))
        self.assertEqual(os.path.realpath("/dev/torvan/TVA00001"), "/dev/ttyUSB1")
        self.assertEqual(os.path.realpath("/dev/torvan/TVB00002"), "/dev/ttyUSB0")

        # Once more the other way round, under a watch of TVA00001 (on ttyUSB1 now).
        watch = subprocess.Popen([CTL, "watch", "--csv", "--interval", "200",
                                  "--serial-number", "TVA00001"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(stop, watch)
        time.sleep(1)
        unplug(("ftdi0", "ttyUSB1"), ("ftdi1", "ttyUSB0"))
        time.sleep(0.5)
        plug(("ftdi0", "ttyUSB0"), ("ftdi1", "ttyUSB1"))
        time.sleep(1.5)
        watch.send_signal(signal.SIGINT)
        out, err = watch.communicate(timeout=10)
        print(err, end="")
        rows = out.splitlines()[1:]
        self.assertEqual(err.count("was lost"), 1)
        self.assertEqual(err.count("TVA00001 is back, on ttyUSB0"), 1)
        self.assertTrue([row for row in rows if row.endswith(",,,,,,,")],
                        "no row for the ticks the watch missed")
        self.assertTrue(rows[0].split(",")[1] == IC0_CSV["TVA00001"] == rows[-1].split(",")[1],
                        f"the watch's first and last rows: {rows[0]} / {rows[-1]}")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
