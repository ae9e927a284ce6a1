"""torvan-ioc when a controller's adapter goes away: every reading goes into
INVALID alarm, COMM, within 2 s, still showing what the controller last sent,
and all of them recover on their own once the adapter is plugged in again
(on another port, found by its serial number). The line goes two ways: the
simulator hangs up by itself after some requests, as an unplugged adapter
does, or it is killed."""
import os
import sys
import tempfile
import threading
import time
import unittest

from ioc import Adapters, Ioc, f32, start_repeater, stop, wait_for

import epics
from epics.dbr import AlarmSeverity, AlarmStatus

P = "UNPLUG:"
SERIAL = "TVU00001"
# One record of each block, and the state.
WATCHED = ["Ic0", "Vc0-RB", "CoefIB3-RB", "Vb1-RB"]
HELD = {"Vc0-RB": f32(1.2), "CoefIB3-RB": f32(0.995), "Vb1-RB": f32(0.75)}
ALARM_WITHIN_S = 2
# The IOC tries to reopen a lost line every 3 s.
BACK_WITHIN_S = 15


class Watch:
    """Monitors of the watched records: each one's latest value and alarm, and
    when it last changed."""

    def __init__(self):
        self.lock = threading.Lock()
        self.latest = {}
        self.pvs = [epics.PV(P + name, form="time", callback=self.changed) for name in WATCHED]
        for pv in self.pvs:
            if not pv.wait_for_connection(10):
                raise AssertionError(f"{pv.pvname} did not connect")

    def changed(self, pvname, value, severity, status, **_):
        with self.lock:
            self.latest[pvname[len(P):]] = (value, AlarmSeverity(severity).name,
                                           AlarmStatus(status).name, time.monotonic())

    def all_in(self, severity, status):
        """The latest time a watched record came into this alarm, once all have."""
        with self.lock:
            if len(self.latest) == len(WATCHED) and all(
                    reading[1:3] == (severity, status) for reading in self.latest.values()):
                return max(reading[3] for reading in self.latest.values())
        return None


def hang_up(sim):
    """When the simulator was seen to have ended: a little after it hung up."""
    wait_for(lambda: sim.process.poll() is not None, 60, "the simulator did not hang up")
    return time.monotonic()


def kill(sim):
    sim.process.kill()
    return time.monotonic()


class Unplugged(unittest.TestCase):
    def test_a_lost_line_alarms_every_reading_until_it_is_back(self):
        repeater = start_repeater()
        self.addCleanup(stop, repeater)
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        adapters = Adapters(folder.name)
        self.addCleanup(adapters.unplug_all)
        # Hangs up some seconds after the IOC's first requests.
        sim = adapters.plug("ttyUSB0", SERIAL, "--hang-up-after", "25")
        # Loaded as the systemd unit loads a rack: a substitutions file.
        with open(os.path.join(folder.name, "unplug.substitutions"), "w") as rows:
            rows.write(f'file "torvan-bias.template" {{ {{ P="{P}", SERIAL="{SERIAL}" }} }}\n')
        ioc = Ioc(adapters, "-s", "unplug.substitutions")
        self.addCleanup(ioc.stop)
        ioc.wait_on(P)
        watch = Watch()

        for way, port, lose in (("hangs up", "ttyUSB0", hang_up), ("is killed", "ttyUSB1", kill)):
            with self.subTest(way):
                gone = lose(sim)
                wait_for(lambda: watch.all_in("INVALID", "COMM"), 20,
                         lambda: f"not INVALID, COMM ({watch.latest}); the IOC said:\n"
                                 f"{ioc.output()}\n")
                alarmed = watch.all_in("INVALID", "COMM") - gone
                self.assertLessEqual(alarmed, ALARM_WITHIN_S)
                for name, value in HELD.items():
                    self.assertEqual(watch.latest[name][0], value, name)
                self.assertEqual(epics.caget(P + "State", as_string=True, timeout=10,
                                             use_monitor=False), "Fault")
                self.assertIn("lost", epics.caget(P + "Status.VAL$", as_string=True, timeout=10,
                                                  use_monitor=False))

                adapters.unplug(port)
                sim = adapters.plug("ttyUSB1" if port == "ttyUSB0" else "ttyUSB0", SERIAL)
                plugged = time.monotonic()
                wait_for(lambda: watch.all_in("NO_ALARM", "NO_ALARM"), BACK_WITHIN_S,
                         lambda: f"no recovery ({watch.latest}); the IOC said:\n"
                                 f"{ioc.output()}\n")
                print(f"\nthe line {way}: every reading INVALID {alarmed:+.2f} s after, back "
                      f"{watch.all_in('NO_ALARM', 'NO_ALARM') - plugged:.1f} s after the "
                      "re-plug", file=sys.stderr)
                self.assertEqual(epics.caget(P + "State", as_string=True, timeout=10,
                                             use_monitor=False), "On")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
