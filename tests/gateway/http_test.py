#!/usr/bin/python3
"""kelgate's HTTP door and its own reliability, end to end: plcsim on a
pseudo-terminal behind a symlink this test makes, kelgate scanning it with a
configuration file, Modbus clients (pymodbus) driving it; /metrics read with
Debian's Prometheus parser, the status page rendered by headless chromium;
the device pulled away and brought back; the configuration reloaded.

    http_test.py BUILD_DIR

With KELGATE_SCREENSHOT=FILE the status page is also saved there (the
README's picture).
"""
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import logging
logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
from pymodbus.client import ModbusTcpClient  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build/linux")
BOARD = 43
# 1 SNP and 2 SNPX answer; 6 is silent and gets demoted.
NETWORK = "01PRESS1\n02OVEN*\n06MUTE*\n"
STATES = {1: "good", 2: "good", 6: "demoted"}
CONFIG = """\
[scan]
[[scan.group]]
station = "*"
area = "R"
first = 1
last = 10
interval_ms = 200

[health]
hold_s = 60
"""
CHROMIUM = ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def wait_for(what, check, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class Gateway:
    """plcsim behind a symlink (the driver's port name has room for 11
    characters, so it lives at /tmp/kNNNNN) and kelgate with --http."""

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="kelgate-http.")
        with open(os.path.join(self.work, "kelG1%02d.int" % BOARD), "w") as f:
            f.write(NETWORK)
        self.config = os.path.join(self.work, "kelgate.toml")
        with open(self.config, "w") as f:
            f.write(CONFIG)
        while True:
            self.link = "/tmp/k%05d" % random.randrange(100000)
            if not os.path.lexists(self.link):
                break
        self.sim = self.gate = None
        self.log_path = os.path.join(self.work, "kelgate.log")
        self.log = open(self.log_path, "w")
        try:
            self.start_sim()
            self.gate = subprocess.Popen(
                [os.path.join(BUILD, "kelgate"), "--config", self.config, "--port", self.link, "--board",
                 str(BOARD), "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--timeout", "200"],
                cwd=self.work, stdout=subprocess.DEVNULL, stderr=self.log)
            m = wait_for("kelgate to start", lambda: re.search(
                r" at 127\.0\.0\.1:(\d+);.*status page at http://127\.0\.0\.1:(\d+)/", self.read_log(), re.S))
            self.port, self.http = int(m.group(1)), int(m.group(2))
        except BaseException:
            self.stop()
            raise

    def start_sim(self):
        self.sim = subprocess.Popen(
            [os.path.join(BUILD, "plcsim"), "--network", "kelG1%02d.int" % BOARD, "--fault", "6:silent"],
            cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        slave = self.sim.stdout.readline().strip()
        assert slave.startswith("/dev/"), "plcsim did not start"
        os.symlink(slave, self.link)

    def stop_sim(self):
        """Unplugs the device: the simulator's pseudo-terminal goes, and the
        link with it."""
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(10)
        self.sim.stdout.close()
        os.unlink(self.link)

    def read_log(self):
        with open(self.log_path) as f:
            return f.read()

    def get(self, path):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.http, path), timeout=10) as r:
            return r.status, r.headers.get("Content-Type"), r.read().decode()

    def metrics(self):
        """{(family, sample name, frozenset(labels)): value}"""
        _, kind, text = self.get("/metrics")
        assert kind.startswith("text/plain; version=0.0.4"), kind
        out = {}
        for family in text_string_to_metric_families(text):
            for s in family.samples:
                labels = {k: v for k, v in s.labels.items() if k not in ("snp_id", "protocol")}
                out[(s.name, frozenset(labels.items()))] = s.value
        return out

    def stations(self):
        return json.loads(self.get("/api/stations")[2])

    def client(self):
        c = ModbusTcpClient("127.0.0.1", port=self.port, timeout=10, retries=0)
        assert c.connect()
        return c

    def stop(self):
        """Stops kelgate (SIGTERM) and plcsim; neither outlives the test,
        whatever happened. Returns kelgate's exit status and log."""
        status = None
        try:
            if self.gate is not None and self.gate.poll() is None:
                self.gate.send_signal(signal.SIGTERM)
                status = self.gate.wait(15)
        finally:
            for process in (self.gate, self.sim):
                if process is not None and process.poll() is None:
                    process.terminate()
                    try:
                        process.wait(10)
                    except subprocess.TimeoutExpired:
                        process.kill()
                        process.wait()
            if self.sim is not None:
                self.sim.stdout.close()
            if os.path.lexists(self.link):
                os.unlink(self.link)
            log = self.read_log()
            self.log.close()
            shutil.rmtree(self.work, ignore_errors=True)
        return status, log


def station(n):
    return ("station", str(n))


class HttpDoor(unittest.TestCase):
    """One gateway for the whole class, in order: metrics, page, reload,
    vanishing device."""

    @classmethod
    def setUpClass(cls):
        cls.g = Gateway()
        # The silent station is demoted by its first scan read.
        wait_for("station 6 demoted", lambda: cls.g.stations()["stations"][2]["demoted"])

    @classmethod
    def tearDownClass(cls):
        status, log = cls.g.stop()
        assert status == 0 and log.rstrip().endswith("stopped"), log

    def test_1_metrics_count_what_the_clients_did(self):
        c = self.g.client()
        try:
            for _ in range(5):
                self.assertFalse(c.read_holding_registers(0, 10, slave=1).isError())  # scanned: from the cache
            self.assertFalse(c.read_holding_registers(100, 3, slave=2).isError())  # not scanned: on the line
            self.assertEqual(c.write_register(0, 1, slave=1).exception_code, 0x02)  # read-only
            self.assertEqual(c.read_holding_registers(0, 1, slave=6).exception_code, 0x0B)  # demoted
            self.assertEqual(c.read_holding_registers(500, 1, slave=6).exception_code, 0x0B)  # refused at once
            m = self.g.metrics()
        finally:
            c.close()

        def value(name, *labels):
            return m[(name, frozenset(labels))]
        checks = [
            ("kelgate_modbus_requests_total", [("function", "3")], 8),
            ("kelgate_modbus_requests_total", [("function", "6")], 1),
            ("kelgate_modbus_exceptions_total", [("exception", "0x02")], 1),
            ("kelgate_modbus_exceptions_total", [("exception", "0x0B")], 2),
            ("kelgate_modbus_cache_answers_total", [], 6),
            ("kelgate_modbus_connections_total", [], 1),
            ("kelgate_modbus_clients", [], 1),
            ("kelgate_station_requests_total", [station(2)], 1),
            ("kelgate_station_demoted", [station(6)], 1),
            ("kelgate_station_demoted", [station(1)], 0),
            ("kelgate_station_demotions_total", [station(6)], 1),
            ("kelgate_station_rejected_total", [station(6)], 1),
            ("kelgate_station_failures_total", [station(6), ("kind", "no response")], 1),
            ("kelgate_station_failures_total", [station(1), ("kind", "no response")], 0),
            ("kelgate_line_open", [("port", self.g.link)], 1),
            ("kelgate_mqtt_enabled", [], 0),
            ("kelgate_mqtt_connected", [], 0),
            ("kelgate_mqtt_messages_published_total", [], 0),
        ]
        for name, labels, expected in checks:
            with self.subTest(name, labels=labels):
                self.assertEqual(value(name, *labels), expected)
        # Every scan pass reads one block per answering station.
        for n in (1, 2):
            reads = value("kelgate_station_block_reads_total", station(n))
            self.assertGreater(reads, 0)
            self.assertEqual(reads, value("kelgate_station_cycles_total", station(n)))
            self.assertLess(value("kelgate_station_data_age_seconds", station(n)), 5)
            self.assertLess(value("kelgate_station_round_trip_seconds", station(n)), 1)
        self.assertNotIn(("kelgate_station_data_age_seconds", frozenset([station(6)])), m)
        self.assertTrue(0 < value("kelgate_line_busy_ratio", ("port", self.g.link)) <= 1)
        self.assertGreater(value("kelgate_line_cycles_total", ("port", self.g.link)), 0)
        # The JSON tells the same.
        s = {x["station"]: x for x in self.g.stations()["stations"]}
        self.assertEqual({n: x["state"] for n, x in s.items()}, STATES)
        self.assertEqual(s[6]["failures"], {"no response": 1})

    def test_2_status_page_shows_each_station_and_its_state(self):
        profile = tempfile.mkdtemp(prefix="kelgate-chromium.")
        url = "http://127.0.0.1:%d/" % self.g.http
        try:
            # The virtual time lets the page's script fetch and draw.
            dom = subprocess.run(CHROMIUM + ["--user-data-dir=" + profile, "--virtual-time-budget=3000",
                                             "--dump-dom", url],
                                 capture_output=True, text=True, timeout=90).stdout
            shown = {int(n): state for n, state in
                     re.findall(r'data-station="(\d+)" data-state="(\w+)"', dom)}
            self.assertEqual(shown, STATES, dom[-2000:])
            self.assertIn("PRESS1", dom)
            self.assertIn("Serial device", dom)
            shot = os.environ.get("KELGATE_SCREENSHOT") or os.path.join(profile, "page.png")
            subprocess.run(CHROMIUM + ["--user-data-dir=" + profile, "--virtual-time-budget=3000",
                                       "--hide-scrollbars", "--window-size=1000,480", "--screenshot=" + shot, url],
                           capture_output=True, timeout=90)
            with open(shot, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        finally:
            shutil.rmtree(profile, ignore_errors=True)

    def test_3_sighup_reloads_groups_and_policy_and_refuses_a_bad_file(self):
        c = self.g.client()
        try:
            self.assertEqual(c.write_register(20, 7, slave=1).exception_code, 0x02)
            with open(self.g.config, "w") as f:
                f.write(CONFIG.replace("last = 10", "last = 30") + '[modbus]\nallow_write = "R:1-100"\n')
            self.g.gate.send_signal(signal.SIGHUP)
            wait_for("the reload", lambda: "reloaded " + self.g.config in self.g.read_log())
            self.assertIn("reloaded %s: scan: *:R:1-30@200; writable: %%R1-100" % self.g.config, self.g.read_log())
            self.assertFalse(c.write_register(20, 7, slave=1).isError())
            # The new group's range is scanned: read from the cache.
            before = self.g.metrics()[("kelgate_modbus_cache_answers_total", frozenset())]
            wait_for("the new group read", lambda: not c.read_holding_registers(0, 30, slave=1).isError())
            self.assertEqual(c.read_holding_registers(0, 30, slave=1).registers[20], 7)  # %R21
            self.assertGreater(self.g.metrics()[("kelgate_modbus_cache_answers_total", frozenset())], before)

            with open(self.g.config, "w") as f:
                f.write("[modbus]\nallow_write = \"R:1-5\"\n[scan\n")
            self.g.gate.send_signal(signal.SIGHUP)
            line = wait_for("the refusal", lambda: re.search(r"kelgate: reload refused.*", self.g.read_log()))
            # One line, with toml++'s own words after the place.
            self.assertTrue(line.group(0).startswith(
                "kelgate: reload refused, the configuration in force stays: %s:3: " % self.g.config), line.group(0))
            self.assertEqual(self.g.read_log().count("reload refused"), 1)
            self.assertFalse(c.write_register(21, 8, slave=1).isError())  # the old policy holds
        finally:
            c.close()
        self.assertIsNone(self.g.gate.poll())

    def test_4_gateway_serves_again_after_the_device_comes_back(self):
        self.g.stop_sim()
        wait_for("the device missed", lambda: self.g.metrics()[("kelgate_line_open", frozenset([("port",
                                                                  self.g.link)]))] == 0)
        c = self.g.client()
        try:
            self.assertEqual(c.read_holding_registers(200, 1, slave=1).exception_code, 0x0B)
            wait_for("station 1 demoted", lambda: self.g.stations()["stations"][0]["state"] == "demoted")
            time.sleep(1.5)  # a reopen attempt finds nothing
            self.g.start_sim()
            # Back within the backoff (1 s, 2 s, 4 s ...): the stations are
            # probed at once.
            wait_for("station 1 served", lambda: not c.read_holding_registers(200, 1, slave=1).isError(), 10)
        finally:
            c.close()
        log = self.g.read_log()
        self.assertIn("kelgate: serial device %s vanished: its stations are answered 0x0B until it is back; "
                      "reopening in 1 s" % self.g.link, log)
        self.assertIn("kelgate: serial device %s still gone; next attempt in 2 s" % self.g.link, log)
        self.assertRegex(log, r"kelgate: serial device %s is back: reopened after \d+ s" % self.g.link)
        report = self.g.stations()
        self.assertEqual(report["device"], {"port": self.g.link, "board": BOARD, "open": True, "losses": 1})
        wait_for("station 2 good", lambda: self.g.stations()["stations"][1]["state"] == "good")


if __name__ == "__main__":
    unittest.main(verbosity=2)
