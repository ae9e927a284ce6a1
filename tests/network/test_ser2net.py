"""torvanctl on controllers behind a terminal server (Debian's ser2net), both
raw (tcp://) and RFC 2217 (rfc2217://): every command, values whose bytes
are 0xFF and 0xFE (the frames' own delimiters, and Telnet's IAC) going
through exactly, a terminal server that goes away in the middle of a watch,
a second client on a port that takes one, and a faulty line behind it.

    test_ser2net.py TORVANCTL SIMULATOR [SEED...]   (the faulty line's seeds; 1 2 3 by default)"""
import concurrent.futures
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from terminalserver import TerminalServer, stop, wait_for

TORVANCTL, SIM = sys.argv[1], sys.argv[2]
FAULT_SEEDS = [int(seed) for seed in sys.argv[3:]] or [1, 2, 3]
KINDS = ("tcp", "rfc2217")
CURRENTS = [0.01234, -0.00456, 0.001, 0.0025, 0.003, 0.004, 0.0255, -0.0001]
SET_POINTS = [1.2, 0.8, 1.25, 0.75, 1.3, 0.7, 1.35, 0.65]
COEFFICIENTS = ["1", "1", "1.02", "0.98", "1.01", "0.99", "1.005", "0.995"]
# Single-precision encodings with 0xFF or 0xFE bytes: 0.499 is ee 7c ff 3e, 1.999
# 3b df ff 3f, 0.243 fe d4 78 3e, 0.497 c9 76 fe 3e; 0.99999994 is ff ff 7f 3f,
# 1.9999999 ff ff ff 3f, 0.9999999 fe ff 7f 3f, -0.99999994 ff ff 7f bf.
FF_SET_POINTS = [0.499, 1.999, 0.243, 0.497, 1.993, 0.361, 0.498, 1.986]
FF_COEFFICIENTS = ["0.99999994", "0.9999999", "1.9999999", "-0.99999994",
                   "1.9999998", "0.99999994", "1", "0.9999999"]
VOLTAGES = re.compile(r"channel ([0-3]): Vc = (\d\.\d{3}) V, Vb = (\d\.\d{3}) V")
COEFFICIENT = re.compile(r"I([CB])([0-3]) = (\S+)")
ROW = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}  (.*)")


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def f32_bytes(value):
    return struct.pack("<f", float(value)).hex()


def torvanctl(url, *arguments, timeout=60):
    return subprocess.run([TORVANCTL, "--port", url, *map(str, arguments)],
                          capture_output=True, text=True, timeout=timeout)


def said(done):
    return f"status {done.returncode}\n{done.stdout}{done.stderr}"


def voltages_text(set_points):
    return "".join(f"channel {c}: Vc = {f32(set_points[2 * c]):.3f} V, "
                   f"Vb = {f32(set_points[2 * c + 1]):.3f} V\n" for c in range(4))


def coefficients_text(texts):
    return "".join(f"I{'CB'[slot % 2]}{slot // 2} = {text}\n" for slot, text in enumerate(texts))


def currents_row():
    return " ".join(f"I{'cb'[slot % 2]}{slot // 2}={f32(amperes) * 1000:.2f}"
                    for slot, amperes in enumerate(CURRENTS))


def eeprom_image(folder, name, set_points, coefficients):
    path = os.path.join(folder, f"{name}.eeprom")
    with open(path, "w") as image:
        image.write(f"setpoints {' '.join(map(repr, set_points))}\n"
                    f"coefficients {' '.join(coefficients)}\n")
    return path


def stored_set_points(image):
    with open(image) as lines:
        return next([f32(float(word)) for word in line.split()[1:]]
                    for line in lines if line.startswith("setpoints "))


def watch(url, *options):
    return subprocess.Popen([TORVANCTL, "--port", url, "watch", *map(str, options)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def rows_until(process, count):
    """The first rows a watch prints, once it has printed them."""
    return [process.stdout.readline().rstrip("\n") for _ in range(count)]


def readings(lines):
    """The readings of watch's rows, without their times; a line that is no row, whole."""
    return [match[1] if (match := ROW.fullmatch(line)) else line for line in lines]


class ThroughATerminalServer(unittest.TestCase):
    """One ser2net, one simulator per port: tcp and rfc2217 take one client and
    refuse a second; tcp_kick and rfc2217_kick let a new client take the place
    of the one before. held[name] is what each simulator's controller holds."""

    @classmethod
    def setUpClass(cls):
        folder = tempfile.TemporaryDirectory()
        cls.addClassCleanup(folder.cleanup)
        cls.folder = folder.name
        cls.server = TerminalServer(cls.folder, SIM)
        cls.addClassCleanup(cls.server.stop)
        cls.held, cls.eeprom = {}, {}
        for kind in KINDS:
            for name, kick in ((kind, False), (f"{kind}_kick", True)):
                cls.eeprom[name] = eeprom_image(cls.folder, name, SET_POINTS, COEFFICIENTS)
                cls.held[name] = {"set_points": list(SET_POINTS), "coefficients": list(COEFFICIENTS)}
                cls.server.add(name, kind, "--eeprom", cls.eeprom[name],
                               "--currents", ",".join(map(repr, CURRENTS)), kick=kick)
        cls.server.start()

    def url(self, name):
        return self.server.urls[name]

    def set_point(self, name, slot, volts):
        done = torvanctl(self.url(name), "set", slot // 2, "vb" if slot % 2 else "vc", volts)
        self.assertEqual((done.returncode, done.stdout),
                         (0, f"channel {slot // 2} {'Vb' if slot % 2 else 'Vc'} set to {volts:.3f} V "
                             "(verified)\n"), said(done))
        self.held[name]["set_points"][slot] = volts

    def set_coefficients(self, name, texts):
        done = torvanctl(self.url(name), "coefs", "set", *texts)
        self.assertEqual((done.returncode, done.stdout), (0, "wrote the eight coefficients\n"),
                         said(done))
        self.held[name]["coefficients"] = list(texts)

    def assert_holds(self, name):
        """voltages and coefs print exactly what the controller holds."""
        for command, text in (("voltages", voltages_text(self.held[name]["set_points"])),
                              ("coefs", coefficients_text(self.held[name]["coefficients"]))):
            done = torvanctl(self.url(name), command)
            self.assertEqual((done.returncode, done.stdout), (0, text), f"{command}: {said(done)}")

    def test_1_every_command(self):
        for kind in KINDS:
            with self.subTest(kind=kind):
                url = self.url(kind)
                done = torvanctl(url, "ports")
                self.assertEqual(done.returncode, 0, said(done))

                done = torvanctl(url, "currents")
                expected = "".join(f"channel {c}: Ic = {f32(CURRENTS[2 * c]) * 1000:.2f} mA, "
                                   f"Ib = {f32(CURRENTS[2 * c + 1]) * 1000:.2f} mA\n"
                                   for c in range(4))
                self.assertEqual((done.returncode, done.stdout), (0, expected), said(done))

                done = torvanctl(url, "watch", "--count", 3)
                self.assertEqual((done.returncode, readings(done.stdout.splitlines())),
                                 (0, [currents_row()] * 3), said(done))

                # A few times: the W frame is the last thing sent before the
                # connection closes, and a terminal server may drop what comes
                # with the close.
                for volts in (0.375, 0.875, 1.625, 2.125, 1.125):
                    self.set_point(kind, 5, volts)
                    done = torvanctl(url, "commit")
                    self.assertEqual((done.returncode, done.stdout),
                                     (0, "asked the controller to store its settings in EEPROM\n"),
                                     said(done))
                    # The simulator keeps what it stores in its image file.
                    wait_for(lambda: stored_set_points(self.eeprom[kind])[5] == f32(volts), 5,
                             f"the set-point {volts} V was not stored")

                self.set_coefficients(kind, ["1.5", "0.5", "1.25", "0.75", "1", "2", "0.875", "1.125"])
                self.assert_holds(kind)

                backup = os.path.join(self.folder, f"{kind}.json")
                done = torvanctl(url, "backup", backup)
                self.assertEqual(done.returncode, 0, said(done))
                with open(backup) as file:
                    contents = json.load(file)
                self.assertEqual(contents["port"], url)
                self.assertEqual([p["volts"] for p in contents["setPoints"]],
                                 [f32(v) for v in self.held[kind]["set_points"]])

                saved = {key: list(values) for key, values in self.held[kind].items()}
                self.set_point(kind, 5, 0.25)
                self.set_coefficients(kind, ["1"] * 8)
                done = torvanctl(url, "restore", backup)
                self.assertEqual((done.returncode, done.stdout),
                                 (0, f"restored and verified {url} from {backup}\n"), said(done))
                self.held[kind] = saved
                self.assert_holds(kind)

    def test_2_a_backup_is_restored_through_another_address_only_when_asked(self):
        for kind, other in zip(KINDS, reversed(KINDS)):
            with self.subTest(kind=kind):
                self.set_point(kind, 2, 0.625)
                self.set_coefficients(kind, ["1.0625"] * 8)
                backup = os.path.join(self.folder, f"{kind}-elsewhere.json")
                done = torvanctl(self.url(kind), "backup", backup)
                self.assertEqual(done.returncode, 0, said(done))
                self.set_point(other, 2, 2.25)

                sim = self.server.sims[other]
                before = len(sim.frames())
                done = torvanctl(self.url(other), "restore", backup)
                self.assertEqual(done.returncode, 2, said(done))
                self.assertIn(self.url(kind), done.stderr)
                time.sleep(0.2)
                sent = [frame for frame in sim.frames()[before:] if frame[:5] in ("ff 53", "ff 43")]
                self.assertEqual(sent, [], "a refused restore sent frames")

                done = torvanctl(self.url(other), "restore", backup, "--any-adapter")
                self.assertEqual(done.returncode, 0, said(done))
                self.held[other] = {key: list(values) for key, values in self.held[kind].items()}
                self.assert_holds(other)

    def test_3_bytes_0xff_and_0xfe_go_through_exactly(self):
        for kind in KINDS:
            with self.subTest(kind=kind):
                sim = self.server.sims[kind]
                before = len(sim.frames())
                for slot, volts in enumerate(FF_SET_POINTS):
                    self.set_point(kind, slot, volts)
                self.set_coefficients(kind, FF_COEFFICIENTS)
                self.assert_holds(kind)
                # What the controller took in, byte for byte ...
                frames = sim.frames()[before:]
                for slot, volts in enumerate(FF_SET_POINTS):
                    frame = f"ff 53 {slot:02x} " + " ".join(re.findall("..", f32_bytes(volts))) + " fe"
                    self.assertIn(frame, frames)
                frame = "ff 43 " + " ".join(re.findall("..", "".join(map(f32_bytes, FF_COEFFICIENTS))))
                self.assertIn(frame + " fe", frames)
                # ... and what it replied, as a backup records its bytes.
                backup = os.path.join(self.folder, f"{kind}-ff.json")
                done = torvanctl(self.url(kind), "backup", backup)
                self.assertEqual(done.returncode, 0, said(done))
                with open(backup) as file:
                    contents = json.load(file)
                self.assertEqual([p["bytes"] for p in contents["setPoints"]],
                                 [f32_bytes(v) for v in FF_SET_POINTS])
                self.assertEqual([c["bytes"] for c in contents["coefficients"]],
                                 [f32_bytes(c) for c in FF_COEFFICIENTS])

    def test_4_a_watch_waits_for_a_terminal_server_that_went_away(self):
        for kind in KINDS:
            with self.subTest(kind=kind):
                url = self.url(kind)
                watching = watch(url, "--count", 15)
                try:
                    rows = rows_until(watching, 3)
                    self.server.kill()
                    time.sleep(1)
                finally:
                    self.server.start()
                try:
                    out, err = watching.communicate(timeout=60)
                finally:
                    stop(watching)
                rows = readings(rows + out.splitlines())
                lost = [line for line in err.splitlines() if "was lost" in line]
                back = [line for line in err.splitlines() if line.endswith(f"{url} is back")]
                self.assertEqual((len(lost), len(back)), (1, 1), err)
                self.assertEqual(watching.returncode, 5, err)
                empty = " ".join(f"I{'cb'[slot % 2]}{slot // 2}=" for slot in range(8))
                self.assertEqual(set(rows), {currents_row(), empty}, rows)
                self.assertEqual(rows[:3], [currents_row()] * 3)
                # Rows with values again after the gap, and to the end.
                gap_end = max(n for n, row in enumerate(rows) if row == empty)
                self.assertEqual(len(rows), 15)
                self.assertGreaterEqual(len(rows) - gap_end - 1, 3, rows)

    def test_5_a_second_client_is_refused_and_the_first_goes_on(self):
        for kind in KINDS:
            with self.subTest(kind=kind):
                watching = watch(self.url(kind), "--count", 6)
                try:
                    rows = rows_until(watching, 1)
                    # One that reads, and one that only sends: neither may claim to have done it.
                    seconds = [torvanctl(self.url(kind), *command)
                               for command in (["voltages"], ["commit"])]
                    out, err = watching.communicate(timeout=60)
                finally:
                    stop(watching)
                for second in seconds:
                    self.assertNotEqual(second.returncode, 0, said(second))
                    self.assertEqual(second.stdout, "")
                self.assertEqual((watching.returncode, err), (0, ""))
                self.assertEqual(readings(rows + out.splitlines()), [currents_row()] * 6)

    def test_6_a_client_put_out_by_a_newer_one_reports_it_once(self):
        for kind in KINDS:
            name = f"{kind}_kick"
            with self.subTest(kind=kind):
                # A second between readings: the newer client is done before the
                # watch comes back and puts it out in turn.
                watching = watch(self.url(name), "--count", 5, "--interval", 1000)
                try:
                    rows = rows_until(watching, 1)
                    newer = torvanctl(self.url(name), "voltages")
                    out, err = watching.communicate(timeout=60)
                finally:
                    stop(watching)
                self.assertEqual((newer.returncode, newer.stdout),
                                 (0, voltages_text(self.held[name]["set_points"])), said(newer))
                lost = [line for line in err.splitlines() if "was lost" in line]
                self.assertEqual(len(lost), 1, err)
                self.assertEqual(watching.returncode, 5, err)
                rows = readings(rows + out.splitlines())
                self.assertEqual(rows[-1], currents_row(), rows)


class FaultyLine(unittest.TestCase):
    """A controller that misbehaves on a tenth of its requests (--fault-rate 10)
    behind each kind of port, for each seed: reads of the set-points and the
    coefficients, and sets of both, read back. A command may fail, but every
    value printed must be one the controller held, and a set may never read
    back a value other than the one sent (the simulator applies every frame it
    takes in)."""
    ROUNDS = 15
    VOLTS = [0.499, 1.999, 0.243, 1.25, 0.497]
    COEFFICIENT_SETS = [FF_COEFFICIENTS, ["1.5", "0.5", "1.25", "0.75", "1", "2", "0.875", "1.125"]]

    def test_every_value_printed_is_one_the_controller_held(self):
        for seed in FAULT_SEEDS:
            with self.subTest(seed=seed):
                self.faulty_round(seed)

    def faulty_round(self, seed):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        server = TerminalServer(folder.name, SIM)
        self.addCleanup(server.stop)
        for kind in KINDS:
            server.add(kind, kind, "--fault-rate", "10", "--seed", str(seed), "--eeprom",
                       eeprom_image(folder.name, kind, SET_POINTS, COEFFICIENTS))
        server.start()
        # The two lines at once: each is a controller and a client of its own.
        with concurrent.futures.ThreadPoolExecutor(len(KINDS)) as pool:
            reports = dict(zip(KINDS, pool.map(lambda kind: self.commands(server.urls[kind]), KINDS)))
        for kind, (statuses, wrong) in reports.items():
            faults = [line.split()[-1] for line in server.sims[kind].lines() if "fault:" in line]
            print(f"\nseed {seed}, {kind}: statuses {statuses}, faults {faults}, "
                  f"{len(wrong)} values wrong", file=sys.stderr)
            self.assertEqual(wrong, [], kind)
            self.assertGreaterEqual(len(faults), 2, f"{kind}: the line hardly misbehaved")
            self.assertGreater(statuses.get(0, 0), sum(statuses.values()) // 2, kind)

    def commands(self, url):
        """Reads and sets in turn; the statuses they ended with, and every value
        printed that the controller never held."""
        # What each slot may hold: after a set that failed, the old value or the new.
        set_points = [{f"{f32(v):.3f}"} for v in SET_POINTS]
        coefficients = [{text} for text in COEFFICIENTS]
        statuses, wrong = {}, []

        def run(*arguments):
            done = torvanctl(url, *arguments)
            statuses[done.returncode] = statuses.get(done.returncode, 0) + 1
            if done.returncode == 6:
                wrong.append(f"{' '.join(map(str, arguments))}: {done.stderr.strip()}")
            return done

        def check_reads(done):
            for line in done.stdout.splitlines():
                if match := VOLTAGES.fullmatch(line):
                    for slot, text in ((2 * int(match[1]), match[2]), (2 * int(match[1]) + 1, match[3])):
                        if text not in set_points[slot]:
                            wrong.append(f"{line} (slot {slot} held {sorted(set_points[slot])})")
                elif match := COEFFICIENT.fullmatch(line):
                    slot = 2 * int(match[2]) + (match[1] == "B")
                    if match[3] not in coefficients[slot]:
                        wrong.append(f"{line} (held {sorted(coefficients[slot])})")
                else:
                    wrong.append(f"unexpected line {line!r}")

        for n in range(self.ROUNDS):
            check_reads(run("voltages"))
            check_reads(run("coefs"))
            slot, volts = (3 * n) % 8, self.VOLTS[n % len(self.VOLTS)]
            done = run("set", slot // 2, "vb" if slot % 2 else "vc", volts)
            text = f"{f32(volts):.3f}"
            set_points[slot] = {text} if done.returncode == 0 else set_points[slot] | {text}
            if n % 3 == 2:
                texts = self.COEFFICIENT_SETS[n // 3 % 2]
                done = run("coefs", "set", *texts)
                coefficients = [{text} if done.returncode == 0 else held | {text}
                                for held, text in zip(coefficients, texts)]
        return statuses, wrong


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
