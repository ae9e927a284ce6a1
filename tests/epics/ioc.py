"""What the IOC's tests share: simulated controllers offered as USB adapters
with serial numbers, an IOC of the test's own, and Channel Access pointed at
it. Each test process takes Channel Access and repeater ports of its own, so
tests run side by side; pyepics, which reads them once, and the command-line
clients find them in the environment.

    test_....py IOC SIMULATOR"""
import os
import socket
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tango"))
from common import Findings, Simulator, run_clients_for, stop, wait_for  # noqa: E402,F401

IOC, SIM = sys.argv[1], sys.argv[2]
TEMPLATE = os.path.join(os.path.dirname(IOC), "db", "torvan-bias.template")


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def free_port():
    """A port free for both TCP and UDP: Channel Access takes both."""
    while True:
        with socket.socket() as tcp, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            tcp.bind(("", 0))
            port = tcp.getsockname()[1]
            try:
                udp.bind(("", port))
                return port
            except OSError:
                continue


# Chosen once per test; the client processes it starts inherit them.
if "TORVAN_TEST_CA_PORTS" not in os.environ:
    os.environ.update(EPICS_CA_ADDR_LIST="127.0.0.1", EPICS_CA_AUTO_ADDR_LIST="NO",
                      EPICS_CA_SERVER_PORT=str(free_port()),
                      EPICS_CA_REPEATER_PORT=str(free_port()), TORVAN_TEST_CA_PORTS="1")


def start_repeater():
    """A CA repeater on this process's own port, so that no client starts one
    that outlives the test; stop() it at the end."""
    return subprocess.Popen(["caRepeater"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def client(*command, timeout=30):
    """A command-line client's output; a failure shows what it said."""
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise AssertionError(f"{' '.join(command)}: status {done.returncode}\n"
                             f"{done.stdout}{done.stderr}")
    return done.stdout


def caget(*names):
    """Each record's value as caget prints it (-t: the value alone)."""
    return client("caget", "-t", *names).splitlines()


class Adapters:
    """Simulators offered as USB adapters in a file of lines "DEVICE SERIAL",
    which the IOC reads afresh at each lookup. Each device is a link named as
    a port (ttyUSB0, ...), so that re-plugging can hand a port to another
    adapter, as the kernel does."""

    def __init__(self, folder):
        self.folder = folder
        self.path = os.path.join(folder, "adapters")
        self.plugged = {}  # port: (serial number, Simulator)
        self.write()

    def plug(self, port, serial, *options):
        sim = Simulator(SIM, os.path.join(self.folder, port), *options)
        self.plugged[port] = (serial, sim)
        self.write()
        return sim

    def unplug(self, port):
        """The adapter leaves the list, then its line goes."""
        serial, sim = self.plugged.pop(port)
        self.write()
        sim.stop()

    def unplug_all(self):
        for port in list(self.plugged):
            self.unplug(port)

    def write(self):
        # Renamed into place: the IOC never reads half a list.
        with open(self.path + ".new", "w") as lines:
            for port, (serial, sim) in self.plugged.items():
                lines.write(f"{sim.link} {serial}\n")
        os.replace(self.path + ".new", self.path)


class Ioc:
    """torvan-ioc with the arguments given, on the adapters given, its output
    kept in a file beside them."""

    def __init__(self, adapters, *arguments):
        self.log = os.path.join(adapters.folder, "ioc.log")
        env = dict(os.environ, TORVAN_SIMULATED_ADAPTER=adapters.path,
                   EPICS_DB_INCLUDE_PATH=os.path.dirname(TEMPLATE))
        with open(self.log, "w") as log:
            self.process = subprocess.Popen([IOC, *arguments], env=env, stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=subprocess.STDOUT,
                                            cwd=adapters.folder)

    def output(self):
        with open(self.log) as log:
            return log.read()

    def wait_on(self, *prefixes, seconds=30):
        """Until each controller's State reads On."""
        for prefix in prefixes:
            wait_for(lambda: caget(f"{prefix}State") == ["On"], seconds,
                     f"{prefix}State is not On; the IOC said:\n{self.output()}")

    def stop(self):
        stop(self.process)
