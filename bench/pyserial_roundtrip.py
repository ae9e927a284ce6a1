#!/usr/bin/python3
"""The peer a lab scripter would write: R, D and G requests (or the COMMANDS
given) over PORT with pyserial, each timed from the request to the 32nd byte of
its reply. PORT is a device or one of pyserial's URLs, such as
rfc2217://HOST:PORT for a terminal server.

Prints one line per command: the letter and every round trip in ms."""
import sys
import time

try:
    import serial
except ImportError:
    sys.exit("pyserial_roundtrip: python3-serial is not installed")


def round_trips(line, command, count):
    request = bytes([0xFF, ord(command), 0xFE])
    samples = []
    for i in range(-20, count):  # the first twenty warm up
        line.reset_input_buffer()
        started = time.perf_counter_ns()
        line.write(request)
        reply = line.read(32)
        elapsed = (time.perf_counter_ns() - started) / 1e6
        if len(reply) != 32:
            sys.exit(f"pyserial_roundtrip: {command}: {len(reply)} bytes, not 32")
        if i >= 0:
            samples.append(elapsed)
    return samples


def main():
    if len(sys.argv) not in (3, 4) or not sys.argv[2].isdigit():
        sys.exit("usage: pyserial_roundtrip.py PORT COUNT [COMMANDS]")
    commands = sys.argv[3] if len(sys.argv) == 4 else "RDG"
    with serial.serial_for_url(sys.argv[1], baudrate=115200, timeout=0.2) as line:
        for command in commands:
            samples = round_trips(line, command, int(sys.argv[2]))
            print(command, " ".join(f"{ms:.4f}" for ms in samples), flush=True)


main()
