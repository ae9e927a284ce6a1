"""TorvanBiasController with a real TANGO database: MariaDB in a private data
directory with the tango-db schema, DataBaseds, the device registered with
its SerialPort property, and the server started by its instance name only,
then through TANGO's Starter as a facility starts it; and one instance
serving a rack of eight controllers, a device each."""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from common import Database, ahead_of_the_rest, stop, wait_for

SERVER, SIM = sys.argv[1], sys.argv[2]
STARTER = "/usr/lib/tango/Starter"
DEVICE = "torvan/bias/db"
RACK = 8
# Starter, like this test, finds a server's process by program and instance
# name on the whole machine: another run's server must not pass for this one's.
STARTED = f"started{os.getpid()}"
REQUEST = re.compile(r"^\s*([0-9.]+) ms  ([A-Z])  .*?(  OVERLAP)?$")


def started_processes(server):
    """The processes of a server Starter started: they are no child of this test."""
    program, instance = os.path.basename(SERVER), server.split("/")[1]
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                words = cmdline.read().split(b"\0")
        except OSError:
            continue
        if len(words) > 1 and os.path.basename(words[0].decode()) == program and words[1].decode() == instance:
            found.append(int(pid))
    return found


def kill_started(server):
    for pid in started_processes(server):
        os.kill(pid, signal.SIGKILL)


class WithDatabase(unittest.TestCase):
    @classmethod
    def start(cls, command, **kwargs):
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   **kwargs)
        # Stopped in reverse order, even when setting up failed half way.
        cls.addClassCleanup(stop, process)
        return process

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        database = Database(cls.dir.name, cls.start)
        cls.env, cls.tango, cls.register = database.env, database.tango, database.register

        sim = subprocess.Popen(ahead_of_the_rest([SIM, "--log"]), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        cls.addClassCleanup(stop, sim)
        cls.sim_path = sim.stdout.readline().strip()
        cls.register(DEVICE, "dbtest", cls.sim_path)
        cls.start([SERVER, "dbtest"], env=cls.env)
        cls.device = cls.tango.DeviceProxy(DEVICE)
        wait_for(lambda: cls.device.state() == cls.tango.DevState.ON, 30, "the device is not ON")

    def test_reads_and_writes_through_the_database(self):
        self.assertIn(self.sim_path, self.device.status())
        self.assertAlmostEqual(self.device.read_attribute("Vc0").value, 1.2, places=6)
        self.device.write_attribute("Vb2", 1.25)
        self.assertEqual(self.device.read_attribute("Vb2").value, 1.25)
        self.assertGreater(self.device.read_attribute("Ic0").value, 0)


    def test_one_instance_serves_a_rack(self):
        # Each controller of the rack reports currents of its own.
        currents = [[0.001 * (unit + 1) + 0.0001 * slot for slot in range(8)] for unit in range(RACK)]
        sims, logs, links = [], [], []
        for unit in range(RACK):
            log = open(os.path.join(self.dir.name, f"rack{unit}.log"), "w")
            self.addCleanup(log.close)
            sims.append(subprocess.Popen(ahead_of_the_rest([SIM, "--log", "--currents",
                                                            ",".join(map(str, currents[unit]))]),
                                         stdout=subprocess.PIPE, stderr=log, text=True))
            self.addCleanup(stop, sims[-1])
            self.addCleanup(sims[-1].stdout.close)
            logs.append(log.name)
            # Through a link that goes when its simulator does, so a device reopening
            # a lost line never finds a pseudo-terminal given to someone else since.
            links.append(os.path.join(self.dir.name, f"rack{unit}"))
            os.symlink(sims[-1].stdout.readline().strip(), links[-1])
            self.register(f"torvan/rack/{unit}", "rack", links[-1])
        # Stopped with this test: its devices would reopen their lines' paths, which
        # later simulators may be given.
        server = subprocess.Popen([SERVER, "rack"], env=self.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(stop, server)
        devices = [self.tango.DeviceProxy(f"torvan/rack/{unit}") for unit in range(RACK)]
        wait_for(lambda: all(d.state() == self.tango.DevState.ON for d in devices), 30,
                 "not every device of the rack is ON")

        def fresh(unit):
            reading = devices[unit].read_attribute("Ic0")
            self.assertEqual(reading.quality, self.tango.AttrQuality.ATTR_VALID, unit)
            self.assertAlmostEqual(reading.value, currents[unit][0] * 1000, places=4, msg=unit)
            self.assertLess(time.time() - reading.time.totime(), 1.0, unit)

        deadline = time.monotonic() + 4
        while time.monotonic() < deadline:
            for unit in range(RACK):
                fresh(unit)
            time.sleep(0.1)
        for unit, log in enumerate(logs):
            with open(log) as lines:
                requests = [m for m in map(REQUEST.match, lines) if m]
            self.assertFalse([m for m in requests if m.group(3)], f"overlap on line {unit}")
            polls = [float(m.group(1)) for m in requests if m.group(2) == "R"]
            self.assertGreaterEqual(len(polls), 10, unit)
            # Polled every 400 ms, whatever the other lines do.
            self.assertLess(max(b - a for a, b in zip(polls[5:], polls[6:])), 600, unit)

        os.unlink(links[3])
        stop(sims[3])
        wait_for(lambda: devices[3].state() == self.tango.DevState.FAULT, 10, "no FAULT on line 3")
        time.sleep(1)
        for unit in set(range(RACK)) - {3}:
            self.assertEqual(devices[unit].state(), self.tango.DevState.ON, unit)
            fresh(unit)


    def test_starter_starts_and_stops_the_server(self):
        # Starter runs servers from its StartDsPath: here the build's, a staging tree.
        host = socket.gethostname().split(".")[0]
        admin = f"tango/admin/{host}"
        database = self.tango.Database()
        info = self.tango.DbDevInfo()
        info.name, info._class, info.server = admin, "Starter", f"Starter/{host}"
        database.add_device(info)
        database.put_device_property(admin, {"StartDsPath": [os.path.dirname(os.path.abspath(SERVER))]})
        self.start([STARTER, host], env=self.env)
        starter = self.tango.DeviceProxy(admin)
        wait_for(lambda: starter.ping() is not None, 30, "Starter did not start")

        sim = subprocess.Popen(ahead_of_the_rest([SIM]), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(stop, sim)
        self.addCleanup(sim.stdout.close)
        self.register("torvan/bias/started", STARTED, sim.stdout.readline().strip())
        server = f"TorvanBiasController/{STARTED}"
        self.addCleanup(kill_started, server)
        starter.command_inout("DevStart", server)
        device = self.tango.DeviceProxy("torvan/bias/started")
        wait_for(lambda: device.state() == self.tango.DevState.ON, 30, "the started device is not ON")
        self.assertEqual(device.read_attribute("Ic0").quality, self.tango.AttrQuality.ATTR_VALID)
        # Starter learns by polling that a server it started runs; only then does it stop it.
        wait_for(lambda: server in starter.command_inout("DevGetRunningServers", True), 30,
                 "Starter does not see the server running")
        starter.command_inout("DevStop", server)
        wait_for(lambda: server in starter.command_inout("DevGetStopServers", True), 30,
                 "Starter did not stop the server")
        self.assertFalse(started_processes(server), "the server still runs")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
