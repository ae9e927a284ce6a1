"""A rack of four controllers in one IOC, each found by its adapter's USB
serial number, loaded as a facility would: a startup script that loads a
substitutions file. Each prefix serves its own controller (each has set-points
of its own), and still does once the four are unplugged and plugged in again
in the other order, each port name now another controller's; a set-point
written and stored through a prefix ends in its own controller's EEPROM."""
import os
import sys
import tempfile
import unittest

from ioc import Adapters, Ioc, f32, start_repeater, stop, wait_for

import epics

SERIALS = ["TVR00001", "TVR00002", "TVR00003", "TVR00004"]
PREFIXES = [f"RACK:BIAS{unit + 1}:" for unit in range(len(SERIALS))]
SET_POINT_NAMES = [f"{kind}{channel}" for channel in range(4) for kind in ("Vc", "Vb")]


def set_points(unit):
    """Each controller's own, exact in single precision."""
    return [0.25 * (unit + 1) + 0.03125 * slot for slot in range(8)]


def held(prefix):
    return [epics.caget(f"{prefix}{name}-RB", timeout=10) for name in SET_POINT_NAMES]


def states():
    return [epics.caget(prefix + "State", as_string=True, timeout=10) for prefix in PREFIXES]


class Rack(unittest.TestCase):
    def setUp(self):
        repeater = start_repeater()
        self.addCleanup(stop, repeater)
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name
        self.adapters = Adapters(self.folder)
        self.addCleanup(self.adapters.unplug_all)

    def eeprom(self, unit):
        return os.path.join(self.folder, f"{SERIALS[unit]}.eeprom")

    def plug(self, order):
        """Port ttyUSBn to the controller order[n]."""
        for port, unit in enumerate(order):
            self.adapters.plug(f"ttyUSB{port}", SERIALS[unit], "--eeprom", self.eeprom(unit))

    def start_ioc(self):
        with open(os.path.join(self.folder, "rack.substitutions"), "w") as rack:
            # The serial number by either of its macros' names.
            for macro, units in (("SERIAL", range(0, 2)), ("SerialNumber", range(2, 4))):
                rack.write(f'file "torvan-bias.template" {{\n    pattern {{ P, {macro} }}\n')
                rack.writelines(f'    {{ "{PREFIXES[u]}", "{SERIALS[u]}" }}\n' for u in units)
                rack.write("}\n")
        with open(os.path.join(self.folder, "st.cmd"), "w") as script:
            script.write('dbLoadTemplate("rack.substitutions")\niocInit\n')
        ioc = Ioc(self.adapters, "st.cmd")
        self.addCleanup(ioc.stop)
        ioc.wait_on(*PREFIXES)
        return ioc

    def test_each_prefix_serves_its_own_controller_after_a_re_plug(self):
        for unit in range(len(SERIALS)):
            with open(self.eeprom(unit), "w") as image:
                image.write(f"setpoints {' '.join(map(str, set_points(unit)))}\n"
                            f"coefficients {' '.join(['1'] * 8)}\n")
        self.plug([0, 1, 2, 3])
        self.start_ioc()
        for unit, prefix in enumerate(PREFIXES):
            self.assertEqual(held(prefix), set_points(unit), prefix)

        self.adapters.unplug_all()
        wait_for(lambda: states() == ["Fault"] * 4, 10, "not every controller was lost")
        self.plug([3, 2, 1, 0])
        wait_for(lambda: states() == ["On"] * 4, 30, "not every controller is back")
        for unit, prefix in enumerate(PREFIXES):
            with self.subTest(prefix):
                self.assertEqual(held(prefix), set_points(unit))
                status = epics.caget(prefix + "Status.VAL$", as_string=True, timeout=10)
                self.assertIn(f"ttyUSB{3 - unit} (serial number {SERIALS[unit]})", status)

        self.assertEqual(epics.caput(PREFIXES[1] + "Vb3", 2.125, wait=True, timeout=10), 1)
        self.assertEqual(epics.caput(PREFIXES[1] + "WriteEeprom", 1, wait=True, timeout=10), 1)
        stored = set_points(1)
        stored[7] = 2.125

        def image():
            with open(self.eeprom(1)) as lines:
                return [line.split() for line in lines if line.startswith("setpoints")][0][1:]
        wait_for(lambda: [f32(float(v)) for v in image()] == stored, 5,
                 f"{SERIALS[1]}'s EEPROM does not hold the set-point written through its prefix")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
