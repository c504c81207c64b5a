#!/usr/bin/python3
"""kelgate end to end: plcsim on a pseudo-terminal, kelgate serving it, and
real Modbus clients (pymodbus, mbpoll) talking to kelgate over TCP.

    gateway_test.py BUILD_DIR
"""
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import logging
logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
from pymodbus.client import ModbusTcpClient  # noqa: E402
from pymodbus.mei_message import ReadDeviceInformationRequest  # noqa: E402

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build/linux")
BOARD = 42

# Stations: 1 SNP and 2 SNPX answer; 5 answers every request with an error;
# 6 is silent.
NETWORK = "01PRESS1\n02OVEN*\n05BROKEN\n06MUTE*\n"
SNP, SNPX, BROKEN, SILENT = 1, 2, 5, 6

rng = random.Random(7)
INPUT_BITS = [rng.randint(0, 1) for _ in range(64)]
COIL_BITS = [rng.randint(0, 1) for _ in range(64)]


class Line:
    """plcsim and kelgate in a scratch folder; kelgate's log in a file."""

    def __init__(self, gate_args=(), sim_args=()):
        self.work = tempfile.mkdtemp(prefix="kelgate-test.")
        with open(os.path.join(self.work, "kelG1%02d.int" % BOARD), "w") as f:
            f.write(NETWORK)
        self.sim_log = open(os.path.join(self.work, "plcsim.log"), "w")
        self.sim = subprocess.Popen(
            [os.path.join(BUILD, "plcsim"), "--network", "kelG1%02d.int" % BOARD,
             "--fault", "%d:error=5,1" % BROKEN, "--fault", "%d:silent" % SILENT,
             "--set", "I1=" + ",".join(map(str, INPUT_BITS)),
             "--set", "Q1=" + ",".join(map(str, COIL_BITS)), *sim_args],
            cwd=self.work, stdout=subprocess.PIPE, stderr=self.sim_log, text=True)
        slave = self.sim.stdout.readline().strip()
        assert slave.startswith("/dev/"), "plcsim did not start"
        self.log_path = os.path.join(self.work, "kelgate.log")
        self.log = open(self.log_path, "w")
        self.gate = subprocess.Popen(
            [os.path.join(BUILD, "kelgate"), "--port", slave[len("/dev/"):], "--board", str(BOARD),
             "--listen", "127.0.0.1:0", "--timeout", "200", *gate_args],
            cwd=self.work, stdout=subprocess.DEVNULL, stderr=self.log)
        self.port = None
        for _ in range(200):
            m = re.search(r" at 127\.0\.0\.1:(\d+);", self.read_log())
            if m:
                self.port = int(m.group(1))
                break
            time.sleep(0.05)
        assert self.port, "kelgate did not start:\n" + self.read_log()

    def read_log(self):
        with open(self.log_path) as f:
            return f.read()

    def read_sim_log(self):
        """What plcsim wrote to standard error (its frames, given --trace)."""
        with open(os.path.join(self.work, "plcsim.log")) as f:
            return f.read()

    def client(self):
        c = ModbusTcpClient("127.0.0.1", port=self.port, timeout=10, retries=0)
        assert c.connect()
        return c

    def stop(self, sig=signal.SIGTERM):
        """Stops kelgate with the signal; returns its exit status and log."""
        status = None
        if self.gate.poll() is None:
            self.gate.send_signal(sig)
            status = self.gate.wait(10)
        log = self.read_log()
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(10)
        self.sim.stdout.close()
        self.sim_log.close()
        self.log.close()
        shutil.rmtree(self.work, ignore_errors=True)
        return status, log


def exception_of(response):
    return response.exception_code if response.isError() and hasattr(response, "exception_code") else None


class Functions(unittest.TestCase):
    """Every function code on an SNP and an SNPX station, and the exceptions."""

    @classmethod
    def setUpClass(cls):
        map_file = os.path.join(tempfile.gettempdir(), "kelgate-map-%d.txt" % os.getpid())
        with open(map_file, "w") as f:
            f.write("holding 0-999 R 1\nholding 1000-1009 AQ 1\ninput 0-99 AI 1\n"
                    "coils 0-255 Q 1\ndiscrete 0-255 I 1\n")
        cls.line = Line(["--allow-write", "R:1-200,AQ:1-5,Q:1-64", "--map", map_file])
        os.unlink(map_file)
        cls.c = cls.line.client()

    @classmethod
    def tearDownClass(cls):
        cls.c.close()
        status, log = cls.line.stop(signal.SIGINT)
        assert status == 0 and "stopping (SIGINT)" in log and log.rstrip().endswith("stopped"), log

    def test_reads_match_the_simulators_memory(self):
        for station in (SNP, SNPX):
            with self.subTest(station=station):
                r = self.c.read_holding_registers(99, 125, slave=station)  # %R100..%R224 hold 100..224
                self.assertFalse(r.isError(), r)
                self.assertEqual(r.registers, list(range(100, 225)))
                r = self.c.read_input_registers(4, 10, slave=station)  # %AIn = 10000 + n
                self.assertEqual(r.registers, [10000 + n for n in range(5, 15)])
                r = self.c.read_holding_registers(1000, 3, slave=station)  # mapped to %AQ1..
                self.assertEqual(r.registers, [20001, 20002, 20003])
                r = self.c.read_discrete_inputs(3, 45, slave=station)
                self.assertEqual([int(b) for b in r.bits[:45]], INPUT_BITS[3:48])
                r = self.c.read_coils(0, 64, slave=station)
                self.assertEqual([int(b) for b in r.bits[:64]], COIL_BITS)

    def test_writes_reach_the_plc(self):
        for station in (SNP, SNPX):
            with self.subTest(station=station):
                self.assertFalse(self.c.write_register(9, 0xBEEF, slave=station).isError())
                values = [station * 1000 + k for k in range(120)]
                self.assertFalse(self.c.write_registers(20, values, slave=station).isError())
                self.assertEqual(self.c.read_holding_registers(9, 1, slave=station).registers, [0xBEEF])
                self.assertEqual(self.c.read_holding_registers(20, 120, slave=station).registers, values)
                self.assertFalse(self.c.write_registers(1000, [7, 8], slave=station).isError())  # %AQ1, %AQ2
                self.assertEqual(self.c.read_holding_registers(1000, 3, slave=station).registers, [7, 8, 20003])

                self.assertFalse(self.c.write_coil(40, True, slave=station).isError())
                self.assertFalse(self.c.write_coil(41, False, slave=station).isError())
                # Coils 13..50: loose bits around two whole words (%Q17..%Q48).
                bits = [bool(rng.randint(0, 1)) for _ in range(38)]
                self.assertFalse(self.c.write_coils(13, bits, slave=station).isError())
                back = self.c.read_coils(0, 64, slave=station).bits[:64]
                expect = [bool(b) for b in COIL_BITS]
                expect[13:51] = bits
                self.assertEqual(back, expect)

    def test_exceptions(self):
        # Which requests are refused before the line is kelgate's rules
        # (rules_test); here one refusal shows it never reaches the PLC.
        cases = [
            ("silent station", lambda: self.c.read_holding_registers(0, 2, slave=SILENT), 0x0B),
            ("PLC error", lambda: self.c.read_holding_registers(0, 2, slave=BROKEN), 0x04),
            ("PLC error on write", lambda: self.c.write_register(0, 1, slave=BROKEN), 0x04),
            ("write past the allowed range", lambda: self.c.write_registers(1004, [1, 2], slave=SNPX), 0x02),
            # The stations are those of the board's network file.
            ("unit no station", lambda: self.c.read_holding_registers(0, 1, slave=3), 0x0A),
            ("function not served", lambda: self.c.readwrite_registers(
                read_address=0, read_count=1, write_address=0, write_registers=[1], slave=SNP), 0x01),
            # A function libmodbus itself does not know: its data is skipped.
            ("unknown function", lambda: self.c.execute(ReadDeviceInformationRequest(slave=SNP)), 0x01),
            ("the connection still works", lambda: self.c.read_holding_registers(0, 1, slave=SNP), None),
        ]
        for what, call, code in cases:
            with self.subTest(what):
                self.assertEqual(exception_of(call()), code)
        # The silent station's failure demoted it: its requests are answered
        # at once, without the line.
        t0 = time.monotonic()
        self.assertEqual(exception_of(self.c.read_holding_registers(0, 2, slave=SILENT)), 0x0B)
        self.assertLess(time.monotonic() - t0, 0.2)
        # The refused write never reached the PLC.
        self.assertEqual(self.c.read_holding_registers(1004, 2, slave=SNPX).registers, [20005, 20006])
        # The failures were logged with a time stamp.
        log = self.line.read_log()
        self.assertRegex(log, r"\d\d:\d\d:\d\d\.\d{3} kelgate: station 6: .*no response.*exception 0x0B")
        self.assertRegex(log, r"kelgate: station 5: .*PLC error status.*exception 0x04")
        # Failure lines are rate-limited per station: the second failure of
        # station 5 within seconds is counted, not logged.
        self.assertEqual(log.count("kelgate: station 5:"), 1, log)

    def test_mbpoll_reads_through_the_gateway(self):
        out = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(self.line.port), "-a", str(SNPX), "-t", "3",
                              "-r", "1", "-c", "3", "-1", "127.0.0.1"],
                             capture_output=True, text=True, timeout=30).stdout
        self.assertRegex(out, r"\[1\]:\s+10001\s+\[2\]:\s+10002\s+\[3\]:\s+10003")
        out = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(self.line.port), "-a", str(SNP), "-t", "4",
                              "-r", "201", "-c", "2", "-1", "127.0.0.1"],
                             capture_output=True, text=True, timeout=30).stdout
        self.assertRegex(out, r"\[201\]:\s+201\s+\[202\]:\s+202")


class Clients(unittest.TestCase):
    """Many clients at once, bad clients, the client limit, the deadline, stopping."""

    def test_eight_clients_poll_while_bad_clients_come_and_go(self):
        line = Line(["--max-clients", "10", "--idle-timeout", "2"])
        try:
            idle = socket.create_connection(("127.0.0.1", line.port))
            errors = []
            counts = [0] * 8
            stop = time.monotonic() + 4

            def poll(k):
                c = line.client()
                station = SNP if k % 2 == 0 else SNPX
                start = 1 + 10 * k
                try:
                    while time.monotonic() < stop:
                        r = c.read_holding_registers(start - 1, 10, slave=station)
                        if r.isError() or r.registers != list(range(start, start + 10)):
                            errors.append((k, r))
                        r = c.read_input_registers(start - 1, 2, slave=station)
                        if r.isError() or r.registers != [10000 + start, 10001 + start]:
                            errors.append((k, r))
                        counts[k] += 1
                finally:
                    c.close()

            threads = [threading.Thread(target=poll, args=(k,)) for k in range(8)]
            for t in threads:
                t.start()
            time.sleep(0.5)
            # Garbage, then a frame cut off by a disconnect, then a frame
            # whose length field lies: each closes only its own connection.
            valid = struct.pack(">HHHBBHH", 1, 0, 6, SNP, 3, 0, 1)
            for junk, close_early in ((b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", False), (valid[:9], True),
                                      (struct.pack(">HHHBBHH", 1, 0, 200, SNP, 3, 0, 1), False),
                                      (struct.pack(">HHHBBHHB", 1, 0, 257, SNP, 16, 0, 125, 250) + bytes(250),
                                       False)):
                s = socket.create_connection(("127.0.0.1", line.port))
                s.sendall(junk)
                if close_early:
                    s.close()
                    continue
                s.settimeout(5)
                try:
                    self.assertEqual(s.recv(100), b"", junk)
                except ConnectionResetError:
                    pass
                s.close()
            for t in threads:
                t.join()
            self.assertEqual(errors, [])
            # Clients take turns on the line: each got about the same share
            # (a change of station costs an attach, so rounds are slow).
            self.assertGreaterEqual(min(counts), 1, counts)
            self.assertLessEqual(max(counts) - min(counts), 2, counts)
            self.assertIn("malformed frame", line.read_log())
            # The client that never spoke was closed after its idle time.
            idle.settimeout(1)
            self.assertEqual(idle.recv(10), b"")
            idle.close()
            self.assertIn("timed out", line.read_log())
        finally:
            line.stop()

    def test_client_limit_deadline_and_clean_stop(self):
        line = Line(["--max-clients", "2", "--deadline", "300"])
        try:
            a, b = line.client(), line.client()
            third = socket.create_connection(("127.0.0.1", line.port))
            third.settimeout(5)
            self.assertEqual(third.recv(10), b"")  # closed at once: two clients are connected
            third.close()
            self.assertIn("refused: 2 clients connected", line.read_log())

            # While the silent station holds the line (three tries of about
            # 0.4 s), the other client's request waits past its deadline.
            slow = threading.Thread(target=lambda: a.read_holding_registers(0, 1, slave=SILENT))
            slow.start()
            time.sleep(0.3)
            t0 = time.monotonic()
            self.assertEqual(exception_of(b.read_holding_registers(0, 1, slave=SNP)), 0x0B)
            self.assertLess(time.monotonic() - t0, 1.0)
            slow.join()
            self.assertEqual(b.read_holding_registers(0, 1, slave=SNP).registers, [1])

            a.close()
            time.sleep(0.3)
            c = line.client()  # a place is free again
            self.assertEqual(c.read_holding_registers(4, 1, slave=SNPX).registers, [5])

            line.gate.send_signal(signal.SIGUSR1)
            time.sleep(0.3)
            self.assertRegex(line.read_log(), r"unit 1: \d+ requests, \d+ answered, exceptions: 0x0B x1")
            port = line.port
            line.gate.send_signal(signal.SIGTERM)
            self.assertEqual(line.gate.wait(10), 0)
            self.assertIn("stopped", line.read_log())
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", port), timeout=2)
            b.close()
            c.close()
        finally:
            line.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
