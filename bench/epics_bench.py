"""The EPICS IOC's figures: a current read and a set-point write from pyepics,
the IOC's CPU while it polls, and its resident memory; then one IOC serving 1,
4 and 8 controllers, each on a simulator of its own found by its serial
number, its CPU per polled controller and its memory for each.

    /usr/bin/python3 bench/epics_bench.py build/epicsioc/torvan-ioc build/sim/torvan-sim
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

IOC, SIM = sys.argv[1], sys.argv[2]
TEMPLATES = os.path.join(os.path.dirname(IOC), "db")


def free_port():
    with socket.socket() as tcp, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        tcp.bind(("", 0))
        udp.bind(("", tcp.getsockname()[1]))
        return tcp.getsockname()[1]


os.environ.update(EPICS_CA_ADDR_LIST="127.0.0.1", EPICS_CA_AUTO_ADDR_LIST="NO",
                  EPICS_CA_SERVER_PORT=str(free_port()), EPICS_CA_REPEATER_PORT=str(free_port()))
import epics  # noqa: E402  (reads the ports above once)


def cpu_seconds(pid):
    """The process's CPU time, all its threads, from the scheduler's own account
    (nanoseconds: the IOC's few hundredths of a percent are below a clock tick)."""
    total = 0
    for thread in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{thread}/schedstat") as schedstat:
            total += int(schedstat.read().split()[0])
    return total / 1e9


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


def wait_on(prefix):
    for _ in range(300):
        if epics.caget(prefix + "State", as_string=True, timeout=1) == "On":
            return
        time.sleep(0.1)
    sys.exit(f"epics_bench: {prefix}State is not On")


def polling_cost(ioc, seconds=30):
    """CPU in % of a core while the IOC polls with no client, and its memory."""
    time.sleep(2)
    before, started = cpu_seconds(ioc.pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(ioc.pid) - before) / (time.monotonic() - started) * 100, rss_mb(ioc.pid)


def rack(units, folder):
    """One IOC with a controller per simulator, each found by its serial number;
    returns the IOC, the simulators and the controllers' prefixes."""
    sims = [subprocess.Popen([SIM], stdout=subprocess.PIPE, text=True) for _ in range(units)]
    serials = [f"BENCH{unit:03}" for unit in range(units)]
    prefixes = [f"BENCH{units}:{unit}:" for unit in range(units)]
    adapters = os.path.join(folder, f"adapters{units}")
    with open(adapters, "w") as lines:
        for sim, serial in zip(sims, serials):
            lines.write(f"{sim.stdout.readline().strip()} {serial}\n")
    substitutions = os.path.join(folder, f"rack{units}.substitutions")
    with open(substitutions, "w") as rows:
        rows.write('file "torvan-bias.template" {\n    pattern { P, SERIAL }\n')
        rows.writelines(f'    {{ "{p}", "{s}" }}\n' for p, s in zip(prefixes, serials))
        rows.write("}\n")
    ioc = subprocess.Popen([IOC, "-s", substitutions], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                           env=dict(os.environ, TORVAN_SIMULATED_ADAPTER=adapters,
                                    EPICS_DB_INCLUDE_PATH=TEMPLATES))
    for prefix in prefixes:
        wait_on(prefix)
    return ioc, sims, prefixes


def stop(ioc, sims):
    ioc.send_signal(signal.SIGTERM)
    ioc.wait(20)
    for sim in sims:
        sim.send_signal(signal.SIGTERM)
        sim.wait(20)


repeater = subprocess.Popen(["caRepeater"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    with tempfile.TemporaryDirectory() as folder:
        ioc, sims, [prefix] = rack(1, folder)
        try:
            current = epics.PV(prefix + "Ic0", auto_monitor=False)
            set_point = epics.PV(prefix + "Vb2", auto_monitor=False)
            current.wait_for_connection(10)
            set_point.wait_for_connection(10)
            values = iter([0.5, 1.0] * 1000)
            read = timed(lambda: current.get(use_monitor=False), 1000)
            write = timed(lambda: set_point.put(next(values), wait=True), 200)
            current.disconnect()
            set_point.disconnect()
            cpu, rss = polling_cost(ioc)
            print(f"current read (Ic0)        median {read[0]:.3f} ms, p99 {read[1]:.3f} ms")
            print(f"set-point write (Vb2)     median {write[0]:.3f} ms, p99 {write[1]:.3f} ms")
            print(f"IOC CPU while polling     {cpu:.3f} % of a core (30 s, no client)")
            print(f"IOC resident memory       {rss:.1f} MB")
        finally:
            stop(ioc, sims)
        for units in (1, 4, 8):
            ioc, sims, _ = rack(units, folder)
            try:
                cpu, rss = polling_cost(ioc)
            finally:
                stop(ioc, sims)
            print(f"one IOC, {units} controller{'s' if units > 1 else ' '}  "
                  f"CPU {cpu:.3f} % of a core, "
                  f"{cpu / units:.3f} % per polled controller (target 0.05 %), "
                  f"resident memory {rss:.1f} MB")
finally:
    repeater.terminate()
    repeater.wait()
