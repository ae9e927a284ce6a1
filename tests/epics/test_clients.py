"""torvan-ioc on one simulated controller, through the clients a facility
uses (caget, caput, camonitor, pvget over Channel Access, pyepics): every kind
of record, writes and their frames on the wire, refusals, alarm limits from
macros, and writes the controller does not apply."""
import math
import re
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

from ioc import Adapters, Ioc, caget, client, f32, start_repeater, stop, wait_for

import epics
from epics.dbr import AlarmSeverity, AlarmStatus

P = "TEST:BIAS:"
SERIAL = "TVC00001"
# Ic0, Ib0, Ic1, Ib1, ..., in A; the IOC serves them in mA.
CURRENTS = [0.0123456, -0.0045678, 0.001, 0.002, 0.003, 0.004, 0.0255, -0.0001]
# Limits in mA for the four Ic, and one for Ib0 alone.
LIMITS = "Ic_HIGH=10,Ic_HIHI=20,Ib0_LOLO=-4"
SET_POINTS = [1.2, 0.8, 1.25, 0.75, 1.3, 0.7, 1.35, 0.65]  # the simulator's own
COEFFICIENTS = [1.0, 1.0, 1.02, 0.98, 1.01, 0.99, 1.005, 0.995]


def start(test, *sim_options, prefix=P, facility_records=""):
    """An IOC of the test class's own on a simulator of its own, once it is On;
    with a facility's own records beside the controller's, if given."""
    folder = tempfile.TemporaryDirectory()
    test.addClassCleanup(folder.cleanup)
    adapters = Adapters(folder.name)
    test.addClassCleanup(adapters.unplug_all)
    test.sim = adapters.plug("ttyUSB0", SERIAL, "--currents", ",".join(map(str, CURRENTS)),
                             *sim_options)
    databases = ["-d", "torvan-bias.template"]
    if facility_records:
        with open(f"{folder.name}/facility.db", "w") as db:
            db.write(facility_records)
        databases += ["-d", f"{folder.name}/facility.db"]
    test.ioc = Ioc(adapters, "-m", f"P={prefix},SERIAL={SERIAL},{LIMITS}", *databases)
    test.addClassCleanup(test.ioc.stop)
    test.ioc.wait_on(prefix)


def alarm(name):
    """The record's value, alarm severity and alarm status, as pyepics reads them."""
    reading = epics.PV(name).get_with_metadata(form="time", timeout=10)
    return (reading["value"], AlarmSeverity(reading["severity"]).name,
            AlarmStatus(reading["status"]).name)


def setUpModule():
    repeater = start_repeater()
    unittest.addModuleCleanup(stop, repeater)


class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        start(cls)

    def test_caget_reads_every_kind(self):
        numbers = [("Ic0", f32(CURRENTS[0]) * 1000), ("Ib3", f32(CURRENTS[7]) * 1000),
                   ("Vc0-RB", f32(SET_POINTS[0])), ("Vb3-RB", f32(SET_POINTS[7])),
                   ("Vc0", f32(SET_POINTS[0])), ("CoefIB3-RB", f32(COEFFICIENTS[7])),
                   ("CoefIC3", f32(COEFFICIENTS[6]))]
        for name, value in numbers:
            with self.subTest(name):
                [text] = client("caget", "-t", "-g", "12", P + name).split()
                self.assertAlmostEqual(float(text), value, delta=abs(value) * 1e-9)
        texts = [("State", "On"), ("Adapter", f"serial number {SERIAL}")]
        for name, text in texts:
            with self.subTest(name):
                self.assertEqual(caget(P + name), [text])

    def test_caput_writes_a_set_point_once_read_back(self):
        before = len(self.sim.frames())
        output = client("caput", "-c", "-t", P + "Vb2", "1.25")
        self.assertEqual(output.split(), ["1.25"])
        wait_for(lambda: caget(P + "Vb2-RB") == ["1.25"], 5, "Vb2-RB does not read 1.25")
        sent = self.sim.frames()[before:]
        s_frame = sent.index("ff 53 05 00 00 a0 3f fe")
        self.assertEqual(sent[s_frame + 1], "ff 44 fe")  # D: the read-back

    def test_camonitor_sees_a_new_set_point(self):
        with subprocess.Popen(["camonitor", "-t", "n", P + "Vc2-RB"], stdout=subprocess.PIPE,
                              text=True) as monitor:
            # An update that never comes ends the monitor, and so the wait for it.
            watchdog = threading.Timer(20, monitor.terminate)
            watchdog.start()
            try:
                first = monitor.stdout.readline()
                client("caput", "-c", P + "Vc2", "0.5")
                second = monitor.stdout.readline()
            finally:
                watchdog.cancel()
                monitor.terminate()
        self.assertEqual([line.split()[-1:] for line in (first, second)], [["1.3"], ["0.5"]])

    def test_pvget_reads_over_channel_access(self):
        output = client("pvget", "-p", "ca", "-r", "value", "-M", "json", P + "Ic0")
        name, value = re.fullmatch(r"(\S+) \{value:(\S+)\}\n", output).groups()
        self.assertEqual(name, P + "Ic0")
        self.assertAlmostEqual(float(value), f32(CURRENTS[0]) * 1000, places=9)

    def test_pyepics_writes_a_coefficient_to_the_bit(self):
        exact = f32(1.2345678)
        before = len(self.sim.frames())
        self.assertEqual(epics.caput(P + "CoefIC1", exact, wait=True, timeout=10), 1)
        self.assertEqual(epics.caget(P + "CoefIC1", timeout=10, use_monitor=False), exact)
        wait_for(lambda: epics.caget(P + "CoefIC1-RB", timeout=10) == exact, 5,
                 "CoefIC1-RB does not read what was written")
        # All eight in one C frame, the others as the controller held them.
        held = [f32(v) for v in COEFFICIENTS]
        held[2] = exact
        c_frame = "ff 43 " + " ".join(f"{b:02x}" for b in struct.pack("<8f", *held)) + " fe"
        self.assertIn(c_frame, self.sim.frames()[before:])

    def test_status_reads_whole_as_a_long_string(self):
        status = epics.caget(P + "Status.VAL$", as_string=True, timeout=10)
        self.assertRegex(status, rf"^Connected to .*ttyUSB0.* \(serial number {SERIAL}\); "
                                 r"replies come$")

    def test_write_eeprom_sends_w(self):
        client("caput", "-c", P + "WriteEeprom", "1")
        wait_for(lambda: "ff 57 fe" in self.sim.frames(), 5, "no W frame")
        self.assertEqual(caget(P + "WriteEeprom"), ["Idle"])

    def test_alarm_limits_come_from_the_macros(self):
        table = [("Ic0", "MINOR", "HIGH"), ("Ic3", "MAJOR", "HIHI"), ("Ib0", "MAJOR", "LOLO"),
                 ("Ic1", "NO_ALARM", "NO_ALARM"), ("Ib1", "NO_ALARM", "NO_ALARM")]
        for name, severity, status in table:
            with self.subTest(name):
                self.assertEqual(alarm(P + name)[1:], (severity, status))

    def test_refused_values_send_nothing_and_alarm(self):
        table = [("Vc0", math.nan, f32(SET_POINTS[0])), ("CoefIC0", math.inf, f32(COEFFICIENTS[0]))]
        for name, value, held in table:
            with self.subTest(name):
                before = len(self.sim.frames())
                epics.caput(P + name, value, wait=True, timeout=10)
                self.assertEqual(alarm(P + name)[:2], (held, "INVALID"))
                writes = [f for f in self.sim.frames()[before:] if f[:5] in ("ff 53", "ff 43")]
                self.assertEqual(writes, [])


class WritesNotApplied(unittest.TestCase):
    """A controller that takes S and C frames without applying them."""

    @classmethod
    def setUpClass(cls):
        start(cls, "--ignore-writes")

    def test_a_write_not_read_back_alarms_and_shows_what_is_held(self):
        table = [("Vc1", 0.5, f32(SET_POINTS[2]), "Vc1 reads 1.25, not 0.5"),
                 ("CoefIB2", 1.5, f32(COEFFICIENTS[5]), "CoefIB2 reads 0.99, not 1.5")]
        for name, value, held, message in table:
            with self.subTest(name):
                epics.caput(P + name, value, wait=True, timeout=10)
                self.assertEqual(alarm(P + name), (held, "INVALID", "WRITE"))
                self.assertEqual(epics.caget(P + name + "-RB", timeout=10), held)
                said = f"{P}{name}: {message}: the controller did not apply the write"
                wait_for(lambda: said in self.ioc.output(), 5, f"the IOC did not say {said!r}")


class LinkedByAFacility(unittest.TestCase):
    """A facility's record that reads a set-point and a current (plain links)
    shares their lock; the controller is slow, so polls take long."""

    @classmethod
    def setUpClass(cls):
        power = ('record(calc, "$(P)Power0") {\n    field(SCAN, "1 second")\n'
                 '    field(INPA, "$(P)Vc0")\n    field(INPB, "$(P)Ic0")\n    field(CALC, "A*B")\n}\n')
        start(cls, "--delay", "150", prefix="LINKED:", facility_records=power)

    def test_writes_go_through_while_the_currents_are_polled(self):
        for volts in [0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.25]:
            epics.caput("LINKED:Vc0", volts, wait=True, timeout=10)
            self.assertEqual(alarm("LINKED:Vc0"), (volts, "NO_ALARM", "NO_ALARM"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
