"""What the TANGO tests share."""
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds, what):
    """Until predicate() holds; a predicate that raises has not held yet."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if predicate():
                return
        except Exception:  # the process asked is not up yet
            pass
        time.sleep(0.05)
    raise AssertionError(f"{what} within {seconds} s")


def stop(process):
    """Ends a process the test started, kindly first."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
