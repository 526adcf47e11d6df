#!/usr/bin/env python3
"""scripts/demo.sh with a stand-in console: the simulator starts, the demo
folder gets a copy of the console and a Config.ini pointing at the simulator,
the user's Config.ini stays as it was, and the simulator stops with the console.

Usage: demo_test.py SOURCE_DIR PATH/TO/meter-sim
"""
import json
import os
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap
import unittest

SOURCE = None
SIM = None

# Talks to both ends of the bus the way the console would, then exits with 7.
FAKE_CONSOLE = textwrap.dedent("""\
    #!/usr/bin/python3
    import configparser, json, os, select, socket, sys, time, serial
    here = os.path.dirname(os.path.abspath(sys.argv[0]))
    ini = configparser.ConfigParser()
    ini.optionxform = str
    ini.read(os.path.join(here, "Config.ini"))
    request = bytes.fromhex("FEFEFE6805913130020068010243C3D216")
    def collect(fd, read):
        got, deadline = b"", time.monotonic() + 3
        while len(got) < 23 and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.2)[0]:
                got += read()
        return got.hex().upper()
    s = socket.create_connection((ini["TCP"]["Host"], int(ini["TCP"]["Port"])), timeout=3)
    s.sendall(request)
    tcp = collect(s, lambda: s.recv(100))
    p = serial.Serial(ini["Ports"]["COM1"], 2400, parity="E", timeout=0)
    p.write(request)
    pty = collect(p.fileno(), lambda: p.read(100))
    json.dump({"self": os.path.abspath(sys.argv[0]), "ini": {k: dict(v) for k, v in ini.items()},
               "tcp": tcp, "pty": pty}, open(os.environ["FAKE_REPORT"], "w"))
    sys.exit(7)
    """)

READING = "FEFEFE6805913130020068810843C33344333333339B16"


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        base = self.tmp.name
        self.build = os.path.join(base, "build")
        os.makedirs(os.path.join(self.build, "console"))
        os.makedirs(os.path.join(self.build, "tools", "meter-sim"))
        os.symlink(SIM, os.path.join(self.build, "tools", "meter-sim", "meter-sim"))
        console = os.path.join(self.build, "console", "meter-console")
        with open(console, "w") as f:
            f.write(FAKE_CONSOLE)
        os.chmod(console, stat.S_IRWXU)
        self.user_ini = os.path.join(self.build, "console", "Config.ini")
        with open(self.user_ini, "w") as f:
            f.write("[TCP]\nHost=192.168.1.100\nPort=1030\n")
        self.demo = os.path.join(base, "demo")
        self.report = os.path.join(base, "report.json")

    def tearDown(self):
        self.tmp.cleanup()

    def run_demo(self, **env_changes):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(METER_DEMO_DIR=self.demo, FAKE_REPORT=self.report, **env_changes)
        return subprocess.run([os.path.join(SOURCE, "scripts", "demo.sh"), self.build],
                              env=env, capture_output=True, text=True, timeout=60)

    def test_runs_the_console_against_the_simulator_and_cleans_up(self):
        done = self.run_demo(QT_QPA_PLATFORM="offscreen")
        self.assertEqual(done.returncode, 7, done.stderr)  # the console's own status


        with open(self.report) as f:
            report = json.load(f)
        self.assertEqual(report["self"], os.path.join(self.demo, "meter-console"))
        self.assertFalse(os.path.islink(report["self"]))
        ini = report["ini"]
        self.assertEqual(ini["COM"], {"Port": "0", "BaudRate": "2", "ByteSize": "0",
                                      "Parity": "0", "StopBits": "0", "TimeOut": "3000"})
        self.assertEqual(ini["TCP"]["Host"], "127.0.0.1")
        self.assertEqual(ini["Ports"]["COM1"], os.path.join(self.demo, "COM1"))
        self.assertEqual(report["tcp"], READING)
        self.assertEqual(report["pty"], READING)

        with open(self.user_ini) as f:
            self.assertEqual(f.read(), "[TCP]\nHost=192.168.1.100\nPort=1030\n")
        # The simulator is gone: its link removed, its port closed.
        self.assertFalse(os.path.lexists(os.path.join(self.demo, "COM1")))
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", int(ini["TCP"]["Port"])), timeout=1)

    def test_without_a_display_says_how_to_run_headless(self):
        done = self.run_demo()
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("xvfb-run -a ./run.sh --demo", done.stderr)
        self.assertIn("QT_QPA_PLATFORM=offscreen", done.stderr)
        self.assertFalse(os.path.exists(self.report))
        self.assertFalse(os.path.lexists(os.path.join(self.demo, "COM1")))


if __name__ == "__main__":
    SOURCE, SIM = sys.argv[1], os.path.abspath(sys.argv[2])
    del sys.argv[1:3]
    unittest.main(verbosity=2)
