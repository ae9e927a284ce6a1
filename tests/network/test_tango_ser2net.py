"""TorvanBiasController on controllers behind a terminal server (Debian's
ser2net), its SerialPort a tcp:// and an rfc2217:// address, through
Debian's PyTango: readings, writes whose bytes are 0xFF and 0xFE, and a
terminal server that goes away and comes back.

    test_tango_ser2net.py SERVER SIMULATOR"""
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from terminalserver import TerminalServer, free_port, stop, wait_for

import tango

SERVER, SIM = sys.argv[1], sys.argv[2]
KINDS = ("tcp", "rfc2217")
CURRENTS = [0.01234, -0.00456, 0.001, 0.0025, 0.003, 0.004, 0.0255, -0.0001]
# 1.999 is 3b df ff 3f, 0.243 fe d4 78 3e; 0.99999994 is ff ff 7f 3f, 0.9999999 fe ff 7f 3f.
WRITES = [("Vb1", 3, 1.999), ("Vc2", 4, 0.243), ("CoefIC0", None, 0.99999994),
          ("CoefIB0", None, 0.9999999)]


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def frame_bytes(*values):
    return " ".join(f"{b:02x}" for b in struct.pack(f"<{len(values)}f", *values))


class ThroughATerminalServer(unittest.TestCase):
    """One server instance with a device per kind of port, each on a simulator of its own."""

    @classmethod
    def setUpClass(cls):
        folder = tempfile.TemporaryDirectory()
        cls.addClassCleanup(folder.cleanup)
        cls.terminal = TerminalServer(folder.name, SIM)
        cls.addClassCleanup(cls.terminal.stop)
        for kind in KINDS:
            cls.terminal.add(kind, kind, "--currents", ",".join(map(repr, CURRENTS)))
        cls.terminal.start()
        # A TANGO file database: the one way to give devices properties without a database server.
        database = os.path.join(folder.name, "devices.db")
        with open(database, "w") as lines:
            lines.write("TorvanBiasController/net/DEVICE/TorvanBiasController: "
                        + ", ".join(f'"torvan/net/{kind}"' for kind in KINDS) + "\n")
            for kind in KINDS:
                lines.write(f'torvan/net/{kind}->SerialPort: "{cls.terminal.urls[kind]}"\n')
        port = free_port()
        server = subprocess.Popen([SERVER, "net", f"-file={database}",
                                   "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"],
                                  stdout=subprocess.DEVNULL)
        cls.addClassCleanup(stop, server)
        cls.devices = {kind: tango.DeviceProxy(f"tango://127.0.0.1:{port}/torvan/net/{kind}#dbase=no")
                       for kind in KINDS}
        for device in cls.devices.values():
            wait_for(lambda: device.state() == tango.DevState.ON, 30, "a device is not ON")

    def test_1_reads_and_writes_go_through_exactly(self):
        for kind, device in self.devices.items():
            with self.subTest(kind=kind):
                self.assertIn(self.terminal.urls[kind], device.status())
                self.assertEqual(device.read_attribute("Vc0").value, f32(1.2))
                reading = device.read_attribute("Ib0")
                self.assertEqual(reading.quality, tango.AttrQuality.ATTR_VALID)
                self.assertAlmostEqual(reading.value, f32(CURRENTS[1]) * 1000, places=9)
                sim = self.terminal.sims[kind]
                for name, slot, value in WRITES:
                    before = len(sim.frames())
                    device.write_attribute(name, value)
                    self.assertEqual(device.read_attribute(name).value, f32(value), name)
                    if slot is not None:  # what the controller took in, byte for byte
                        self.assertIn(f"ff 53 {slot:02x} {frame_bytes(value)} fe",
                                      sim.frames()[before:], name)

    def test_2_a_terminal_server_gone_is_a_fault_until_it_is_back(self):
        self.terminal.kill()
        try:
            for kind, device in self.devices.items():
                wait_for(lambda: device.state() == tango.DevState.FAULT, 10, f"{kind}: no FAULT")
                self.assertIn("lost", device.status())
            time.sleep(1)
        finally:
            self.terminal.start()
        for kind, device in self.devices.items():
            wait_for(lambda: device.state() == tango.DevState.ON, 15, f"{kind}: not ON again")
            reading = device.read_attribute("Ic3")
            self.assertEqual(reading.quality, tango.AttrQuality.ATTR_VALID, kind)
            self.assertAlmostEqual(reading.value, f32(CURRENTS[6]) * 1000, places=9)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
