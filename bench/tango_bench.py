"""The TANGO device server's figures: a current read and a set-point write
from PyTango, the server's CPU while it polls, and its resident memory.

    /usr/bin/python3 bench/tango_bench.py build/tangoserver/TorvanBiasController build/sim/torvan-sim
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
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


sim = subprocess.Popen([SIM], stdout=subprocess.PIPE, text=True)  # paced at 115200 baud
path = sim.stdout.readline().strip()
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
server = subprocess.Popen([SERVER, "bench", "-nodb", "-dlist", "torvan/bias/bench",
                           "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"],
                          env=dict(os.environ, TORVAN_SIMULATED_ADAPTER=path))
try:
    device = tango.DeviceProxy(f"tango://127.0.0.1:{port}/torvan/bias/bench#dbase=no")
    for _ in range(200):
        try:
            if device.state() == tango.DevState.ON:
                break
        except tango.DevFailed:
            pass
        time.sleep(0.1)
    values = iter([0.5, 1.0] * 1000)
    read = timed(lambda: device.read_attribute("Ic0"), 1000)
    write = timed(lambda: device.write_attribute("Vb2", next(values)), 200)
    del device
    time.sleep(2)
    before, started = cpu_seconds(server.pid), time.monotonic()
    time.sleep(20)
    cpu = (cpu_seconds(server.pid) - before) / (time.monotonic() - started) * 100
    print(f"current read (Ic0)       median {read[0]:.3f} ms, p99 {read[1]:.3f} ms")
    print(f"set-point write (Vb2)    median {write[0]:.3f} ms, p99 {write[1]:.3f} ms")
    print(f"server CPU while polling {cpu:.2f} % of a core (20 s, no client)")
    print(f"server resident memory   {rss_mb(server.pid):.1f} MB")
finally:
    server.send_signal(signal.SIGTERM)
    server.wait(20)
    sim.send_signal(signal.SIGTERM)
