"""kelhost's commands against plcsim on a pseudo-terminal: check, scan, poll,
read with --hex and --repeat, and usage errors. Argument: the build folder."""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/linux"
KELHOST = os.path.join(BUILD, "kelhost")

# A mixed line: two SNP stations, an SNPX station, a silent one; station 02
# answers every read with an error nack.
NETWORK = "WAIT10\n01PRESS1\n02PRESS2\n03OVEN*\n04SILENT\n"


def kelhost(*args, folder):
    run = subprocess.run([KELHOST, "--dir", folder, *args], capture_output=True, text=True, timeout=120)
    return run.returncode, run.stdout, run.stderr


class KelhostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="kelhost-test.")
        with open(os.path.join(cls.folder, "kelG101.int"), "w") as f:
            f.write(NETWORK)
        cls.trace = open(os.path.join(cls.folder, "trace.txt"), "w+")
        cls.sim = subprocess.Popen([os.path.join(BUILD, "plcsim"), "--network", os.path.join(cls.folder, "kelG101.int"),
                                    "--fault", "4:silent", "--fault", "2:error=4,1/read", "--trace"],
                                   stdout=subprocess.PIPE, stderr=cls.trace, text=True)
        cls.port = cls.sim.stdout.readline().strip().replace("/dev/", "")

    @classmethod
    def tearDownClass(cls):
        cls.sim.terminate()
        cls.sim.wait()
        cls.trace.close()

    def run_on_line(self, *args):
        return kelhost("--port", self.port, *args, folder=self.folder)

    def test_check_shows_what_the_driver_takes_from_good_and_bad_files(self):
        cases = [
            ("WAIT50\n01PLCA\n02PLCB*\n", 0, ["WAIT  attach-response wait 500 ms", "01  PLCA      SNP",
                                             "02  PLCB      SNPX", "[32] KelG1: Attach response Wait Time is 500 mSec",
                                             "accepted: 2 stations"]),
            ("RTS\n05ABC*DEF\n", 0, ["RTS   held on", "05  ABC       SNPX", "accepted: 1 station"]),
            ("01PLCA\nRTS\n", 1, ["01  PLCA      SNP", "[32] KelG1: Line 1 in file kelG107.int is illegal !",
                                  "rejected"]),
            ("WAIT9\n65PLC\n", 1, ["[32] KelG1: Invalid Wait Time in File kelG107.int",
                                   "[32] KelG1: Line 1 in file kelG107.int is illegal !", "rejected"]),
            (None, 0, ["(not found)", "peer-to-peer mode", "[32] KelG1 : File kelG107.int not found, Peer To Peer Mode"]),
        ]
        with tempfile.TemporaryDirectory() as folder:
            for content, status, expected in cases:
                path = os.path.join(folder, "kelG107.int")
                if content is None:
                    os.remove(path)
                else:
                    with open(path, "w") as f:
                        f.write(content)
                rc, out, err = kelhost("--board", "7", "check", folder=folder)
                self.assertEqual((rc, err), (status, ""), content)
                for text in expected:
                    self.assertIn(text, out, content)

    def test_scan_reports_the_silent_station_without_holding_up_the_others(self):
        rc, out, _ = self.run_on_line("--quiet", "scan")
        self.assertEqual(rc, 1, out)
        rows = {line[:2]: line for line in out.splitlines() if re.match(r"\d\d  ", line)}
        self.assertEqual(sorted(rows), ["01", "02", "03", "04"])
        self.assertRegex(rows["01"], r"^01  PRESS1    SNP       yes +\d+\.\d ms$")
        self.assertRegex(rows["02"], r"^02  PRESS2    SNP       yes .* PLC error status: KELG1:Error Nack received for read!")
        self.assertRegex(rows["03"], r"^03  OVEN      SNPX      yes ")
        self.assertRegex(rows["04"], r"^04  SILENT    SNP       no .* not attached: KELG1: Failed to receive Attach response")
        for station in ("01", "02", "03"):
            self.assertLess(float(re.search(r"([\d.]+) ms", rows[station]).group(1)), 1000.0, rows[station])
        self.assertIn("3 of 4 stations answered", out)
        rc, out, _ = self.run_on_line("--quiet", "scan", "3-3")
        self.assertEqual((rc, [line[:2] for line in out.splitlines()][1:2]), (0, ["03"]))

    def test_poll_counts_failures_of_the_faulty_station_only(self):
        rc, out, err = self.run_on_line("--interval", "50", "poll", "--count", "3", "01R00001", "02R00001*2", "03F00001")
        self.assertEqual(rc, 1, err)
        self.assertEqual(len(re.findall(r"round \d  01R00001 = 1  ok", out)), 3)
        self.assertEqual(len(re.findall(r"round \d  02R00001\*2: PLC error status", out)), 3)
        self.assertEqual(len(re.findall(r"round \d  time [\d.]+ ms", out)), 3)
        counters = {line[:2]: line.split()[1:] for line in out.splitlines() if re.match(r"\d\d  +\d", line)}
        # requests, successes, no response, checksum, NAK, PLC error, not attached, other
        self.assertEqual(counters, {"01": ["3", "3", "0", "0", "0", "0", "0", "0"],
                                    "02": ["3", "0", "0", "0", "0", "3", "0", "0"],
                                    "03": ["3", "3", "0", "0", "0", "0", "0", "0"]})
        self.assertRegex(out, r"last error  \d\d:\d\d:\d\d  02R00001\*2: PLC error status \(KELG1:Error Nack")
        self.assertIn("done after 3 rounds", out)
        self.assertIn("[8] KELG1:Error Nack received for read!", err)

    def test_poll_stops_cleanly_on_ctrl_c_with_the_totals(self):
        poll = subprocess.Popen([KELHOST, "--dir", self.folder, "--port", self.port, "--quiet", "poll", "--interval",
                                 "100", "01R00001"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1.0)
        poll.send_signal(signal.SIGINT)
        out, _ = poll.communicate(timeout=30)
        self.assertEqual(poll.returncode, 0)
        rounds = int(re.search(r"stopped after (\d+) rounds", out).group(1))
        self.assertGreater(rounds, 1)
        self.assertRegex(out, r"\n01 +%d +%d +0 +0 +0 +0 +0 +0\n" % (rounds, rounds))

    def test_values_are_decimal_or_0x_hexadecimal(self):
        rc, out, _ = self.run_on_line("--quiet", "01R00020=010,0x10,-1", "01R00020*3")
        self.assertEqual((rc, out.splitlines()[-1]), (0, "01R00020*3 = 10 16 65535"))

    def test_read_in_hex_with_the_time_per_round(self):
        rc, out, _ = self.run_on_line("--quiet", "--hex", "--repeat", "2", "read", "01R00010*2", "03F00001", "01R000102")
        self.assertEqual(rc, 0, out)
        self.assertEqual(out.count("01R00010*2 = 0x000A 0x000B\n"), 2)
        self.assertEqual(out.count("03F00001 = 0x00020001\n"), 2)
        self.assertEqual(out.count("01R000102 = 0\n"), 2)
        self.assertEqual(len(re.findall(r"^round [12]: [\d.]+ ms$", out, re.M)), 2)

    def test_usage_errors_say_what_and_where_and_send_nothing(self):
        cases = [
            (["--baud", "abc", "info"], "kelhost: --baud abc: not a number from 1 to 65535"),
            (["--stop-bits", "3", "info"], "kelhost: --stop-bits 3: not 1, 1.5 or 2"),
            (["--frobnicate"], "kelhost: --frobnicate: unknown option"),
            (["write", "01R00001=70000"], "kelhost: 01R00001=70000: value 70000 is out of range for a register word"),
            (["write", "01R000105=2"], "kelhost: 01R000105=2: value 2 is out of range for a bit"),
            (["01F00001=4294967296"], "kelhost: 01F00001=4294967296: value 4294967296 is out of range for a 32-bit"),
            (["read", "01X00001"], "kelhost: 01X00001: area 'X' is not one of"),
            (["read", "01R0001"], "kelhost: 01R0001: a GAS has 8 or 9 characters"),
            (["read", "01R00001=5"], "kelhost: read 01R00001=5: a write"),
            (["write", "01R00001=0x"], "kelhost: 01R00001=0x: value '0x' is not a number"),
            (["01R00001*0"], "kelhost: 01R00001*0: count 0: not a number from 1 to 65535"),
            (["poll", "01R00001=1"], "kelhost: poll 01R00001=1: poll only reads tags"),
            (["scan", "9-2"], "kelhost: scan 9-2: the first station comes after the last"),
            (["01R00001", "09R00001=1"], "kelhost: 09R00001=1: the driver refuses this address on board 1 "
                                         "(kelg1: Parse error Plc Address (9) not defined in init file)"),
            ([], "kelhost: nothing to do"),
        ]
        time.sleep(0.3)
        traced = os.path.getsize(self.trace.name)
        for args, line in cases:
            rc, out, err = self.run_on_line(*args)
            self.assertEqual((rc, out), (2, ""), args)
            self.assertEqual(err.count("\n"), 1, err)
            self.assertTrue(err.startswith(line), err)
        time.sleep(0.3)
        self.assertEqual(os.path.getsize(self.trace.name), traced, "a usage error sent frames")

    def test_help_per_command_with_examples(self):
        for args in (["help", "scan"], ["scan", "--help"]):
            rc, out, _ = kelhost(*args, folder=self.folder)
            self.assertEqual(rc, 0)
            self.assertTrue(out.startswith("usage: kelhost --port NAME [options] scan [FIRST-LAST]"), out)
            self.assertIn("examples:\n  kelhost --port pts/7 scan\n", out)


if __name__ == "__main__":
    unittest.main()
