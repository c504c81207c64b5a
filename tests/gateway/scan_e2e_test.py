#!/usr/bin/python3
"""kelgate's scan end to end: plcsim (with its frame trace) on a
pseudo-terminal, kelgate scanning it from a configuration file, and Modbus
clients reading from the cache, writing through it, and meeting a station
that is switched off and on again.

    scan_e2e_test.py BUILD_DIR
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

# The line, the network and the client helpers are gateway_test's (which
# takes BUILD_DIR from the command line).
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gateway_test import BUILD, SNP, SNPX, SILENT, Line, exception_of  # noqa: E402

CONFIG = """
[modbus]
allow_write = "R:1-20,Q:1-64"

[scan]
max_age_ms = 5000

[[scan.group]]
station = "*"
area = "R"
first = 1
last = 20
interval_ms = 200

[[scan.group]]
station = 1
area = "Q"
first = 1
last = 40
name = "valves"

[mqtt]
host = "read by the publisher, not by the gateway"
"""


def wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def sim_reads(line, what):
    """The frames in plcsim's trace that read `what` (e.g. "%R idx 2 len 5")."""
    return [entry for entry in line.read_sim_log().splitlines() if "read " + what in entry]


class Scan(unittest.TestCase):
    """Scanned ranges come from the cache; writes go through it."""

    @classmethod
    def setUpClass(cls):
        fd, cls.config = tempfile.mkstemp(suffix=".toml")
        with os.fdopen(fd, "w") as f:
            f.write(CONFIG)
        cls.line = Line(["--config", cls.config], ["--trace"])
        cls.c = cls.line.client()
        # The first cycle fills the cache.
        wait_for(lambda: not cls.c.read_holding_registers(0, 1, slave=SNPX).isError(), 20, "the first scan")

    @classmethod
    def tearDownClass(cls):
        cls.c.close()
        os.unlink(cls.config)
        status, log = cls.line.stop()
        assert status == 0, log

    def test_scanned_reads_never_reach_the_line(self):
        for station in (SNP, SNPX):
            for _ in range(20):
                r = self.c.read_holding_registers(2, 5, slave=station)  # %R3..%R7
                self.assertEqual(r.registers, [3, 4, 5, 6, 7])
        bits = self.c.read_coils(3, 30, slave=SNP).bits[:30]
        self.assertEqual(len(bits), 30)
        # A read outside the groups goes to the line as before.
        self.assertEqual(self.c.read_holding_registers(99, 1, slave=SNP).registers, [100])
        self.assertEqual(self.c.read_holding_registers(99, 1, slave=SNPX).registers, [100])
        self.assertTrue(sim_reads(self.line, "%R idx 99 len 1"), "the trace shows the reads that reach the line")
        self.assertEqual(sim_reads(self.line, "%R idx 2 len 5"), [])
        self.assertTrue(sim_reads(self.line, "%R idx 0 len 20"), "the scan's blocks")
        self.line.gate.send_signal(signal.SIGUSR1)
        wait_for(lambda: "answered from the cache" in self.line.read_log(), 5, "the report")
        report = re.search(r"clients: 1 connected, 1 in total; requests: .*; (\d+) answered from the cache",
                           self.line.read_log())
        self.assertGreaterEqual(int(report.group(1)), 41)
        # The data's age as the cached answers had it: never above max_age_ms.
        ages = re.search(r"cache: (\d+) answers since the last report, data age median (\d+) ms, p99 (\d+) ms",
                         self.line.read_log())
        self.assertGreaterEqual(int(ages.group(1)), 40)
        self.assertLessEqual(int(ages.group(2)), int(ages.group(3)))
        self.assertLessEqual(int(ages.group(3)), 5000)
        self.assertRegex(self.line.read_log(), r"station 2 \(SNPX OVEN\): \d+ cycles, \d+ block reads, \d+ requests, "
                                               r"failures: none, 0 demotions, 0\.0 s demoted, data age \d+ ms")

    def test_a_write_then_a_read_returns_the_written_value(self):
        for station in (SNP, SNPX):
            with self.subTest(station=station):
                self.assertFalse(self.c.write_registers(9, [4321, 4322], slave=station).isError())
                self.assertEqual(self.c.read_holding_registers(8, 4, slave=station).registers, [9, 4321, 4322, 12])
        self.assertFalse(self.c.write_coil(5, True, slave=SNP).isError())
        self.assertTrue(self.c.read_coils(5, 1, slave=SNP).bits[0])
        # The writes reached the PLCs; the reads after them did not.
        trace = self.line.read_sim_log()
        self.assertIn("SNP write %R idx 9 len 2", trace)
        self.assertIn("SNPX write %R idx 9 len 2", trace)
        self.assertEqual(sim_reads(self.line, "%R idx 8 len 4"), [])


class Health(unittest.TestCase):
    """A station switched off mid-run is demoted, answered at once, promoted."""

    def test_a_station_switched_off_and_on_again(self):
        # Station 2 ignores the three tries of the first read and the probe
        # after one second; the next probe finds it answering again.
        line = Line(["--scan", "*:R:1-10@200", "--hold-s", "1", "--hold-max-s", "2"], ["--fault", "2:silent@4"])
        try:
            c = line.client()
            # Station 6 is silent for good; the scan reaches it after 2.
            wait_for(lambda: "station 6: demoted" in line.read_log(), 30, "the demotions")
            for station, address in ((SNPX, 0), (SILENT, 0), (SILENT, 99)):  # cached, cached, pass-through
                t0 = time.monotonic()
                self.assertEqual(exception_of(c.read_holding_registers(address, 5, slave=station)), 0x0B)
                self.assertLess(time.monotonic() - t0, 0.2, (station, address))
            wait_for(lambda: "station 2: promoted" in line.read_log(), 30, "the promotion")
            self.assertEqual(c.read_holding_registers(0, 5, slave=SNPX).registers, [1, 2, 3, 4, 5])
            c.close()
        finally:
            status, log = line.stop()
        self.assertEqual(status, 0)
        lines = [re.sub(r"^.* kelgate: ", "", entry) for entry in log.splitlines() if "station 2: " in entry]
        self.assertEqual(lines, [
            "station 2: scan of %R00001-%R00010 failed: no response (KelG1:Read failed. Plc 2. rc = 1. GAS= 02R00001)",
            "station 2: demoted after 1 request(s) in a row without an answer (no response); its requests are "
            "answered 0x0B at once; probe in 1 s",
            "station 2: probe unanswered (no response); next probe in 2 s",
            "station 2: scan of %R00001-%R00010 good again",
            "station 2: promoted: the probe was answered after a hold of 2 s",
        ])
        self.assertRegex(log, r"station 2 \(SNPX OVEN\): \d+ cycles, \d+ block reads, 0 requests, "
                              r"failures: no response x2, 1 demotions, \d+\.\d s demoted")
        self.assertRegex(log, r"station 6 \(SNPX MUTE\): \d+ cycles, \d+ block reads, 0 requests, "
                              r"failures: no response x\d+, 1 demotions \(demoted now\), .*, "
                              r"1 answered 0x0B at once while demoted")


class BadConfiguration(unittest.TestCase):
    """A bad file or a bad --scan: one line, exit 2."""

    def run_gate(self, *args):
        out = subprocess.run([os.path.join(BUILD, "kelgate"), "--port", "pts/0", *args],
                             capture_output=True, text=True, timeout=10)
        return out.returncode, out.stderr

    def test_one_line_and_exit_2(self):
        fd, path = tempfile.mkstemp(suffix=".toml")
        with os.fdopen(fd, "w") as f:
            f.write("[scan]\n\n[[scan.group]]\nstation = 1\narea = \"X\"\nfirst = 1\n")
        try:
            self.assertEqual(self.run_gate("--config", path),
                             (2, path + ":5: area: \"X\" is no PLC area (R, AI, AQ, I, Q, T, M, G, SA, SB, SC, S)\n"))
        finally:
            os.unlink(path)
        # The shipped example is a good file: kelgate goes on to load the driver.
        example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "kelgate.example.toml")
        status, err = self.run_gate("--config", example, "--driver", "/nonexistent/driver.so")
        self.assertEqual(status, 1, err)
        self.assertNotIn(".toml", err)
        self.assertEqual(self.run_gate("--scan", "1:R:1-10@1"),
                         (2, "kelgate: --scan: interval 1 ms is not within 10-86400000 "
                             "(kelgate --help lists the options)\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
