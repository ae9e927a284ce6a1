"""The TANGO server on the emulated FT232, in the guest of scripts/usb-adapter:
it finds the one adapter itself, goes to FAULT when the adapter is unplugged,
and comes back ON by itself when it is plugged in again. PyTango is the client.

    tango_unplug.py SERVER
"""
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tango"))
from common import free_port, stop, wait_for  # noqa: E402
from host import ask_host, f32  # noqa: E402

import tango  # noqa: E402

SERVER = sys.argv[1]
DEVICE = "torvan/bias/usb"
# What the host's simulator behind ttyUSB0 reports, in amperes.
IC0, IB2 = 0.0123456, -0.0271828


class UnplugUnderTheServer(unittest.TestCase):
    def setUp(self):
        port = free_port()
        self.server = subprocess.Popen([SERVER, "usb", "-nodb", "-dlist", DEVICE,
                                        "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"])
        self.addCleanup(stop, self.server)
        self.device = tango.DeviceProxy(f"tango://127.0.0.1:{port}/{DEVICE}#dbase=no")
        self.device.set_timeout_millis(10000)
        wait_for(lambda: self.device.state() == tango.DevState.ON, 60, "the device is not ON")

    def assertLive(self, name, amperes):
        reading = self.device.read_attribute(name)
        self.assertEqual(reading.quality, tango.AttrQuality.ATTR_VALID, name)
        self.assertAlmostEqual(reading.value, f32(amperes) * 1000, places=9)

    def test_fault_while_unplugged_then_on_again(self):
        self.assertIn("ttyUSB0", self.device.status())
        self.assertLive("Ic0", IC0)

        self.assertEqual(ask_host("unplug ftdi0"), "ok")
        wait_for(lambda: self.device.state() == tango.DevState.FAULT, 10, "no FAULT")
        status = self.device.status()
        self.assertIn("the line to ttyUSB0 was lost", status)
        time.sleep(1.2)  # past the age at which a current goes stale
        self.assertEqual(self.device.read_attribute("Ic0").quality,
                         tango.AttrQuality.ATTR_INVALID)

        replugged = time.monotonic()
        self.assertEqual(ask_host("plug ftdi0"), "ok")
        wait_for(lambda: self.device.state() == tango.DevState.ON, 30, "not ON again")
        print(f"ON again {time.monotonic() - replugged:.1f} s after plugging back in")
        self.assertLive("Ic0", IC0)
        self.assertLive("Ib2", IB2)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
