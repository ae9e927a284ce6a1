"""What the TANGO tests share."""
import getpass
import os
import queue
import re
import shutil
import socket
import subprocess
import tempfile
import time

FRAME = re.compile(r" ms  [A-Z]  ([0-9a-f ]+?)(  OVERLAP)?$")
SCHEMA = "/usr/share/dbconfig-common/data/tango-db/install/mysql"


def databaseds():
    """TANGO's database server, from tango-db (which not every machine has)."""
    return next(p for p in ("/usr/lib/tango/DataBaseds", "/usr/lib/tango/Databaseds",
                            shutil.which("DataBaseds") or "", shutil.which("Databaseds") or "")
                if p and os.path.exists(p))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds, what):
    """Until predicate() holds; a predicate that raises has not held yet. What
    did not happen is a text, or a function that says it once it is known."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if predicate():
                return
        except Exception:  # the process asked is not up yet
            pass
        time.sleep(0.05)
    raise AssertionError(f"{what() if callable(what) else what} within {seconds} s")


def run(command, **kwargs):
    """A set-up step; if it fails, the failure shows what the tool said."""
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise AssertionError(f"{command[0]} failed with status {done.returncode}:\n"
                             f"{done.stdout}{done.stderr}")


def stop(process):
    """Ends a process the test started, kindly first."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def ahead_of_the_rest(command):
    """The command, to be run ahead of everything else on this machine where the
    test may raise priorities (as root): the controller a simulator stands for
    answers on a processor of its own, however busy the machine is."""
    return ["nice", "-n", str(-10 - os.nice(0)), *command] if os.geteuid() == 0 else command


def run_clients_for(seconds, clients, ready, go, done, results):
    """Starts the client processes, lets them go at once when all are ready,
    tells them after seconds that they are done, and returns what they put on
    results (fewer reports if one never came within 30 s). Every client is
    gone on return."""
    for client in clients:
        client.start()
    try:
        for _ in clients:
            ready.get(timeout=60)
        go.set()
        time.sleep(seconds)
        done.set()
        reports = []
        for _ in clients:
            try:
                reports.append(results.get(timeout=30))
            except queue.Empty:
                break
        return reports
    finally:
        done.set()
        for client in clients:
            client.join(10)
            if client.is_alive():
                client.kill()


class Findings:
    """What went wrong: counted in full, the first few kept as examples."""

    def __init__(self):
        self.count, self.examples = 0, []

    def add(self, what):
        self.count += 1
        if len(self.examples) < 10:
            self.examples.append(what)


class Simulator:
    """A torvan-sim (the program given), its requests logged to a file; reached
    through a symlink that a later simulator can take over."""

    def __init__(self, program, link, *options):
        self.link = link
        # The simulator appends to its log through a file of its own: a shared
        # file offset would let this process's reads move where it writes.
        handle, self.log = tempfile.mkstemp(suffix=".log", dir=os.path.dirname(link))
        os.close(handle)
        with open(self.log, "a") as log:
            self.process = subprocess.Popen(ahead_of_the_rest([program, "--log", *options]),
                                            stdout=subprocess.PIPE, stderr=log, text=True)
        self.path = self.process.stdout.readline().strip()
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(self.path, link)

    def lines(self):
        with open(self.log) as log:
            return log.readlines()

    def frames(self):
        return [m.group(1) for m in map(FRAME.search, self.lines()) if m]

    def overlaps(self):
        return sum("OVERLAP" in line for line in self.lines())

    def stop(self):
        # The link goes with it: the server, reopening it, must not find a
        # pseudo-terminal the system has since given to someone else.
        if os.path.realpath(self.link) == self.path:
            os.unlink(self.link)
        stop(self.process)
        self.process.stdout.close()


class Database:
    """A TANGO database of the test's own: MariaDB in a private data directory
    with tango-db's schema, and DataBaseds on it. start(command, **kwargs)
    starts a process and sees to its stopping. Processes that use the database
    are started with env; this process finds it through TANGO_HOST."""

    def __init__(self, folder, start):
        data, sock = os.path.join(folder, "data"), os.path.join(folder, "mysql.sock")
        # A temporary folder of its own: MariaDB deletes every "#sql" file in its
        # temporary folder as it starts, another test's database's files among them.
        tmp = os.path.join(folder, "tmp")
        os.mkdir(tmp)
        # No name resolution (--force goes on without it): a root without /etc/hosts
        # cannot resolve its own host name.
        run(["mariadb-install-db", "--no-defaults", f"--datadir={data}", f"--user={getpass.getuser()}",
             "--auth-root-authentication-method=normal", "--skip-test-db", "--skip-name-resolve",
             "--force", f"--tmpdir={tmp}"])
        mysql_port = free_port()
        start(["mariadbd", "--no-defaults", f"--datadir={data}", f"--socket={sock}", f"--tmpdir={tmp}",
               f"--port={mysql_port}", "--bind-address=127.0.0.1", "--skip-name-resolve",
               f"--user={getpass.getuser()}", f"--pid-file={folder}/mysql.pid"])
        mysql = ["mariadb", "--no-defaults", f"--socket={sock}", "-uroot"]
        wait_for(lambda: subprocess.run(mysql + ["-e", "SELECT 1"], capture_output=True).returncode == 0,
                 30, "MariaDB did not start")
        # DataBaseds reaches MariaDB over TCP: it takes no socket path of its own.
        run(mysql + ["-e", "CREATE DATABASE tango; "
                     "CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY 'tango'; "
                     "GRANT ALL ON tango.* TO 'tango'@'127.0.0.1'"])
        with open(SCHEMA) as schema:
            run(mysql + ["tango"], stdin=schema)

        port = free_port()
        self.env = dict(os.environ, MYSQL_USER="tango", MYSQL_PASSWORD="tango",
                        MYSQL_HOST=f"127.0.0.1:{mysql_port}", MYSQL_DATABASE="tango",
                        TANGO_HOST=f"127.0.0.1:{port}")
        self.env.pop("TORVAN_SIMULATED_ADAPTER", None)
        os.environ["TANGO_HOST"] = self.env["TANGO_HOST"]  # /etc/tangorc may name another
        import tango
        self.tango = tango
        start([databaseds(), "2", "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"], env=self.env)
        wait_for(lambda: tango.Database().get_server_list() is not None, 30, "DataBaseds did not start")

    def register(self, name, instance, port):
        """A TorvanBiasController device of the server instance given, on the port given."""
        database = self.tango.Database()
        info = self.tango.DbDevInfo()
        info.name, info._class = name, "TorvanBiasController"
        info.server = f"TorvanBiasController/{instance}"
        database.add_device(info)
        database.put_device_property(name, {"SerialPort": [port]})
