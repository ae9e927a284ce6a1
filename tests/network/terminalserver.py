"""A terminal server for the tests: Debian's ser2net in a folder of the test's
own, serving simulated controllers (torvan-sim) on free local ports, raw
(tcp://) or as RFC 2217 (rfc2217://). tests/tango/common.py supplies the
simulator and the process helpers."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tango"))

from common import Simulator, free_port, stop, wait_for  # noqa: E402

SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"
KINDS = {"tcp": "tcp", "rfc2217": "telnet(rfc2217),tcp"}


def listening(port):
    """Whether a socket listens on 127.0.0.1:port, seen in /proc rather than by
    connecting: a connection would take the port's one client place and open
    its device."""
    wanted = f"0100007F:{port:04X}"
    with open("/proc/net/tcp") as table:
        return any(fields[1] == wanted and fields[3] == "0A"
                   for fields in (line.split() for line in table.readlines()[1:]))


class TerminalServer:
    """ser2net with one accepter per simulator, each with a device of its own:
    where two accepters share a device, the second can open it only some time
    after the first one's client left. add() before start(); urls[name] is the
    address a client opens."""

    def __init__(self, folder, sim_program):
        self.folder, self.sim_program = folder, sim_program
        self.config = os.path.join(folder, "ser2net.yaml")
        self.lines, self.ports, self.sims, self.urls = [], [], {}, {}
        self.process, self.starts = None, 0

    def add(self, name, kind, *sim_options, kick=False):
        """A simulator started with the options given, behind an accepter of the
        kind given ("tcp" or "rfc2217") that takes one client at a time: a
        second one is refused, or, with kick, takes the place of the first."""
        sim = Simulator(self.sim_program, os.path.join(self.folder, name), *sim_options)
        self.sims[name] = sim
        port = free_port()
        self.lines.append(f"connection: &{name}\n"
                          f"  accepter: {KINDS[kind]},127.0.0.1,{port}\n"
                          f"  connector: serialdev,{sim.path},115200n81,local\n"
                          f"  options:\n"
                          f"    chardelay: false\n"
                          f"    max-connections: 1\n"
                          + ("    kickolduser: true\n" if kick else ""))
        self.ports.append(port)
        self.urls[name] = f"{kind}://127.0.0.1:{port}"
        return sim

    def start(self):
        if self.process:  # one at a time: a second would find the ports taken
            stop(self.process)
        with open(self.config, "w") as config:
            config.write("".join(self.lines))
        self.starts += 1
        # Its words go to a file: it says "Unable to start mdns" whatever it serves.
        with open(os.path.join(self.folder, f"ser2net.{self.starts}.log"), "w") as log:
            self.process = subprocess.Popen([SER2NET, "-n", "-c", self.config],
                                            stdout=log, stderr=subprocess.STDOUT)
        wait_for(lambda: self.process.poll() is None and all(map(listening, self.ports)),
                 10, f"ser2net did not listen on {self.ports} (see {log.name})")

    def kill(self):
        """Gone at once, without a word to its clients: the system closes their connections."""
        self.process.kill()
        self.process.wait()

    def stop(self):
        if self.process:
            stop(self.process)
        for sim in self.sims.values():
            sim.stop()
