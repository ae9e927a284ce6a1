"""The TANGO device server's figures: a current read and a set-point write
from PyTango, the server's CPU while it polls, and its resident memory; then
one instance serving 1, 4 and 8 devices, each on a simulator of its own (a
file database names their lines), its CPU and memory for each.

    /usr/bin/python3 bench/tango_bench.py build/tangoserver/TorvanBiasController build/sim/torvan-sim
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import tango

SERVER, SIM = sys.argv[1], sys.argv[2]
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024


def timed(action, count):
    samples = []
    for _ in range(count):
        start = time.perf_counter()
        action()
        samples.append((time.perf_counter() - start) * 1000)
    samples.sort()
    return statistics.median(samples), samples[int(0.99 * len(samples))]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_on(device):
    for _ in range(200):
        try:
            if device.state() == tango.DevState.ON:
                return
        except tango.DevFailed:
            pass
        time.sleep(0.1)
    sys.exit(f"tango_bench: {device.dev_name()} is not ON")


def polling_cost(server, seconds=20):
    """CPU in % of a core while the server polls with no client, and its memory."""
    time.sleep(2)
    before, started = cpu_seconds(server.pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(server.pid) - before) / (time.monotonic() - started) * 100, rss_mb(server.pid)


def rack_cost(units, folder):
    """One server instance with a device per simulated controller."""
    sims = [subprocess.Popen([SIM], stdout=subprocess.PIPE, text=True) for _ in range(units)]
    names = [f"torvan/rack/{unit}" for unit in range(units)]
    database = os.path.join(folder, f"rack{units}.db")
    with open(database, "w") as lines:
        lines.write("TorvanBiasController/rack/DEVICE/TorvanBiasController: "
                    + ", ".join(f'"{name}"' for name in names) + "\n")
        for name, sim in zip(names, sims):
            lines.write(f'{name}->SerialPort: "{sim.stdout.readline().strip()}"\n')
    port = free_port()
    server = subprocess.Popen([SERVER, "rack", f"-file={database}",
                               "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"],
                              stderr=subprocess.DEVNULL)
    try:
        for name in names:
            wait_on(tango.DeviceProxy(f"tango://127.0.0.1:{port}/{name}#dbase=no"))
        return polling_cost(server)
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(20)
        for sim in sims:
            sim.send_signal(signal.SIGTERM)
            sim.wait(20)


sim = subprocess.Popen([SIM], stdout=subprocess.PIPE, text=True)  # paced at 115200 baud
path = sim.stdout.readline().strip()
port = free_port()
server = subprocess.Popen([SERVER, "bench", "-nodb", "-dlist", "torvan/bias/bench",
                           "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"],
                          env=dict(os.environ, TORVAN_SIMULATED_ADAPTER=path))
try:
    device = tango.DeviceProxy(f"tango://127.0.0.1:{port}/torvan/bias/bench#dbase=no")
    wait_on(device)
    values = iter([0.5, 1.0] * 1000)
    read = timed(lambda: device.read_attribute("Ic0"), 1000)
    write = timed(lambda: device.write_attribute("Vb2", next(values)), 200)
    del device
    cpu, rss = polling_cost(server)
    print(f"current read (Ic0)       median {read[0]:.3f} ms, p99 {read[1]:.3f} ms")
    print(f"set-point write (Vb2)    median {write[0]:.3f} ms, p99 {write[1]:.3f} ms")
    print(f"server CPU while polling {cpu:.2f} % of a core (20 s, no client)")
    print(f"server resident memory   {rss:.1f} MB")
finally:
    server.send_signal(signal.SIGTERM)
    server.wait(20)
    sim.send_signal(signal.SIGTERM)

with tempfile.TemporaryDirectory() as folder:
    for units in (1, 4, 8):
        cpu, rss = rack_cost(units, folder)
        print(f"one instance, {units} device{'s' if units > 1 else ' '}  CPU {cpu:.2f} % of a core, "
              f"resident memory {rss:.1f} MB")
