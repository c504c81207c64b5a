#!/usr/bin/python3
"""kelgate as systemd runs it: log lines without timestamps when standard
error is the journal's stream (JOURNAL_STREAM names its device and inode),
with them otherwise; READY=1 on the notify socket once the server listens,
STOPPING=1 when it stops, and no READY when the board cannot be loaded.
The notify socket is one the test binds itself; plcsim serves the line.

    service_test.py BUILD_DIR
"""
import os
import re
import shutil
import signal
import struct
import socket
import subprocess
import sys
import tempfile
import unittest

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build/linux")
BOARD = 42
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} kelgate: "


class Service:
    """plcsim, a notify socket and kelgate in a scratch folder."""

    def __init__(self, journal, port=None, wrapper=()):
        self.work = tempfile.mkdtemp(prefix="kelgate-service-test.")
        with open(os.path.join(self.work, "kelG1%02d.int" % BOARD), "w") as f:
            f.write("01PRESS1\n02OVEN*\n")
        self.sim = subprocess.Popen([os.path.join(BUILD, "plcsim"), "--network", "kelG1%02d.int" % BOARD],
                                    cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        slave = self.sim.stdout.readline().strip()
        assert slave.startswith("/dev/"), "plcsim did not start"
        self.line = port or slave[len("/dev/"):]

        self.notify_path = os.path.join(self.work, "notify")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        self.notify.settimeout(20)

        self.log_path = os.path.join(self.work, "kelgate.log")
        self.log = open(self.log_path, "w")
        env = {k: v for k, v in os.environ.items() if k not in ("JOURNAL_STREAM", "NOTIFY_SOCKET")}
        env["NOTIFY_SOCKET"] = self.notify_path
        if wrapper:
            # The leak check of a sanitizer build traces the process itself,
            # which it cannot do under another tracer.
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
        if journal == "stderr":
            stat = os.fstat(self.log.fileno())
            env["JOURNAL_STREAM"] = "%d:%d" % (stat.st_dev, stat.st_ino)
        elif journal == "elsewhere":
            # Inherited from a service whose output went to the journal, while
            # this program's standard error is a file.
            stat = os.stat(self.notify_path)
            env["JOURNAL_STREAM"] = "%d:%d" % (stat.st_dev, stat.st_ino)
        self.gate = subprocess.Popen(
            [*wrapper, os.path.join(BUILD, "kelgate"), "--port", self.line, "--board", str(BOARD),
             "--listen", "127.0.0.1:0", "--timeout", "200"],
            cwd=self.work, env=env, stdout=subprocess.DEVNULL, stderr=self.log)

    def message(self):
        return self.notify.recv(4096).decode()

    def read_log(self):
        with open(self.log_path) as f:
            return f.read()

    def close(self):
        if self.gate.poll() is None:
            self.gate.kill()
            self.gate.wait(10)
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(10)
        self.sim.stdout.close()
        self.notify.close()
        self.log.close()
        shutil.rmtree(self.work, ignore_errors=True)


class UnderSystemd(unittest.TestCase):
    def test_log_format_readiness_and_stop(self):
        for journal, prefix in (("stderr", ""), ("elsewhere", STAMP), (None, STAMP)):
            with self.subTest(journal=journal):
                service = Service(journal)
                try:
                    ready = service.message()
                    self.assertEqual(ready, "READY=1\nSTATUS=serving board %d on %s" % (BOARD, service.line))
                    # Ready means listening: the start line names the port and
                    # a client connects at once.
                    started = re.search(r" at 127\.0\.0\.1:(\d+);", service.read_log())
                    self.assertIsNotNone(started, service.read_log())
                    socket.create_connection(("127.0.0.1", int(started.group(1))), timeout=5).close()

                    service.gate.send_signal(signal.SIGTERM)
                    self.assertEqual(service.message(), "STOPPING=1")
                    self.assertEqual(service.gate.wait(10), 0)
                    lines = service.read_log().splitlines()
                    self.assertRegex(lines[0], "^" + prefix + r"serving board %d on %s \(stations 1 SNP, 2 SNPX\) "
                                     r"at 127\.0\.0\.1:\d+; " % (BOARD, re.escape(service.line)))
                    self.assertRegex(lines[-1], "^" + prefix + "stopped$")
                    for line in lines:
                        self.assertRegex(line, "^" + prefix + r"[a-z ]")
                        if not prefix:
                            self.assertNotRegex(line, r"^\d{4}-")
                finally:
                    service.close()

    def test_no_readiness_when_the_board_cannot_be_loaded(self):
        service = Service("stderr", port="ttyKELNONE9")
        try:
            self.assertEqual(service.gate.wait(20), 1)
            service.notify.settimeout(0.5)
            with self.assertRaises(socket.timeout):
                service.message()
            self.assertEqual(service.read_log(),
                             "board %d cannot be loaded on ttyKELNONE9: KELG1: Fail to open ttyKELNONE9\n" % BOARD)
        finally:
            service.close()


def syscall_groups():
    """systemd's system call groups: name -> members (calls and groups)."""
    listing = subprocess.run(["systemd-analyze", "syscall-filter", "--no-pager"], capture_output=True, text=True,
                             check=True).stdout
    groups, current = {}, None
    for line in listing.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), [])
        elif current is not None and line.startswith("    ") and not line.strip().startswith("#"):
            current.append(line.strip())
    return groups


def allowed_calls(unit_text):
    """The system calls that the unit's SystemCallFilter= lines leave open."""
    groups = syscall_groups()

    def expand(names, seen):
        calls = set()
        for name in names:
            if not name.startswith("@"):
                calls.add(name)
            elif name not in seen:
                seen.add(name)
                calls |= expand(groups[name], seen)
        return calls

    allowed = set()
    for value in re.findall(r"^SystemCallFilter=(.*)$", unit_text, re.M):
        if value.startswith("~"):
            allowed -= expand(value[1:].split(), set())
        else:
            allowed |= expand(value.split(), set())
    return allowed


class SystemCalls(unittest.TestCase):
    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_the_gateway_needs_no_call_outside_the_units_filter(self):
        """kelgate starts, notifies, answers a Modbus read over the serial
        line and stops under strace; every call it made must be one that the
        unit's filter allows (a refused call fails with EPERM in service)."""
        with open(os.path.join(BUILD, "packaging", "kelgate@.service")) as f:
            allowed = allowed_calls(f.read())
        self.assertIn("read", allowed)
        trace = tempfile.NamedTemporaryFile(prefix="kelgate-strace.", delete=False)
        trace.close()
        service = Service("stderr", wrapper=("strace", "-f", "-qq", "-o", trace.name))
        try:
            self.assertTrue(service.message().startswith("READY=1"))
            port = int(re.search(r" at 127\.0\.0\.1:(\d+);", service.read_log()).group(1))
            with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
                # Function 3 of unit 1, %R1 and %R2 (plcsim starts %Rn at n).
                client.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, 0, 2))
                self.assertEqual(client.recv(64), struct.pack(">HHHBBBHH", 1, 0, 7, 1, 3, 4, 1, 2))
            with open("/proc/%d/task/%d/children" % (service.gate.pid, service.gate.pid)) as f:
                gateway = int(f.read().split()[0])
            os.kill(gateway, signal.SIGTERM)
            self.assertEqual(service.gate.wait(20), 0)
            with open(trace.name) as f:
                made = {m.group(1) for m in re.finditer(r"^\d+ +(?:<\.\.\. )?(\w+)[( ]", f.read(), re.M)}
        finally:
            service.close()
            os.unlink(trace.name)
        # execve is strace starting the program, before the filter applies in service.
        made.discard("execve")
        self.assertGreater(len(made), 20)
        self.assertEqual(sorted(made - allowed), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
