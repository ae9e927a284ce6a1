"""TorvanBiasController with a real TANGO database: MariaDB in a private data
directory with the tango-db schema, DataBaseds, the device registered with
its SerialPort property, and the server started by its instance name only."""
import getpass
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from common import free_port, stop, wait_for

SERVER, SIM = sys.argv[1], sys.argv[2]
SCHEMA = "/usr/share/dbconfig-common/data/tango-db/install/mysql"
DATABASEDS = next(p for p in ("/usr/lib/tango/DataBaseds", "/usr/lib/tango/Databaseds",
                              shutil.which("DataBaseds") or "", shutil.which("Databaseds") or "")
                  if p and os.path.exists(p))
DEVICE = "torvan/bias/db"


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
        data, sock = os.path.join(cls.dir.name, "data"), os.path.join(cls.dir.name, "mysql.sock")
        subprocess.run(["mariadb-install-db", "--no-defaults", f"--datadir={data}", f"--user={getpass.getuser()}",
                        "--auth-root-authentication-method=normal", "--skip-test-db"],
                       check=True, capture_output=True)
        mysql_port = free_port()
        cls.start(["mariadbd", "--no-defaults", f"--datadir={data}", f"--socket={sock}",
                   f"--port={mysql_port}", "--bind-address=127.0.0.1", f"--user={getpass.getuser()}",
                   f"--pid-file={cls.dir.name}/mysql.pid"])
        mysql = ["mariadb", "--no-defaults", f"--socket={sock}", "-uroot"]
        wait_for(lambda: subprocess.run(mysql + ["-e", "SELECT 1"], capture_output=True).returncode == 0,
                 30, "MariaDB did not start")
        # DataBaseds reaches MariaDB over TCP: it takes no socket path of its own.
        subprocess.run(mysql + ["-e", "CREATE DATABASE tango; "
                                "CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY 'tango'; "
                                "GRANT ALL ON tango.* TO 'tango'@'127.0.0.1'"], check=True)
        with open(SCHEMA) as schema:
            subprocess.run(mysql + ["tango"], stdin=schema, check=True, capture_output=True)

        port = free_port()
        cls.env = dict(os.environ, MYSQL_USER="tango", MYSQL_PASSWORD="tango",
                       MYSQL_HOST=f"127.0.0.1:{mysql_port}", MYSQL_DATABASE="tango",
                       TANGO_HOST=f"127.0.0.1:{port}")
        cls.env.pop("TORVAN_SIMULATED_ADAPTER", None)
        os.environ["TANGO_HOST"] = cls.env["TANGO_HOST"]  # /etc/tangorc may name another
        import tango
        cls.tango = tango
        cls.start([DATABASEDS, "2", "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"], env=cls.env)
        wait_for(lambda: tango.Database().get_server_list() is not None, 30, "DataBaseds did not start")

        sim = subprocess.Popen([SIM, "--log"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        cls.addClassCleanup(stop, sim)
        cls.sim_path = sim.stdout.readline().strip()
        database = tango.Database()
        info = tango.DbDevInfo()
        info.name, info._class, info.server = DEVICE, "TorvanBiasController", "TorvanBiasController/dbtest"
        database.add_device(info)
        database.put_device_property(DEVICE, {"SerialPort": [cls.sim_path]})
        cls.start([SERVER, "dbtest"], env=cls.env)
        cls.device = tango.DeviceProxy(DEVICE)
        wait_for(lambda: cls.device.state() == tango.DevState.ON, 30, "the device is not ON")

    def test_reads_and_writes_through_the_database(self):
        self.assertIn(self.sim_path, self.device.status())
        self.assertAlmostEqual(self.device.read_attribute("Vc0").value, 1.2, places=6)
        self.device.write_attribute("Vb2", 1.25)
        self.assertEqual(self.device.read_attribute("Vb2").value, 1.25)
        self.assertGreater(self.device.read_attribute("Ic0").value, 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
