"""The driver module as a ctypes host sees it: driver description and address
parsing through KelMain. Argument: the build folder."""
import ctypes
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import kelhost  # noqa: E402

BUILD = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/linux"


class DriverInfoTest(unittest.TestCase):
    def test_values_and_banner(self):
        host = kelhost.Host(BUILD)
        rc, info = host.driver_info()
        self.assertEqual(rc, 0)
        self.assertEqual((info.version, info.contextSize, info.hostValue1, info.hostValue2),
                         (710, 1300, 4, 0x004C0023))
        self.assertEqual(info.name, b"General Electric SNP(X)")
        line = info.defaultLine
        self.assertEqual((line.baudRate, line.dataBits, line.stopBits, line.parity), (19200, 8, 0, 1))
        banner = ctypes.string_at(info.banner)
        self.assertEqual(len(banner), 373)
        self.assertTrue(all(len(l) == 61 for l in banner[1:-1].split(b"\n")))


class ParseTest(unittest.TestCase):
    def setUp(self):
        self.cwd = os.getcwd()
        self.dir = tempfile.TemporaryDirectory()
        os.chdir(self.dir.name)
        self.host = kelhost.Host(BUILD, board=41)

    def tearDown(self):
        os.chdir(self.cwd)
        self.dir.cleanup()

    def test_peer_to_peer_without_network_file(self):
        self.assertEqual(self.host.load(None), 0)
        self.assertIn((32, "KelG1 : File kelG141.int not found, Peer To Peer Mode"), self.host.messages)
        rc, record = self.host.parse("00r00001")
        self.assertEqual(rc, 0)
        self.assertEqual((record.station, record.area, record.element, record.bit, record.width),
                         (0, ord("R"), 0, 255, 16))
        rc, _ = self.host.parse("01R00001")
        self.assertEqual(rc, 1)
        self.assertEqual(self.host.messages[-1],
                         (8, "kelg1: Parse error Plc Address must be zero without init file"))

    def test_stations_from_network_file(self):
        with open("kelG141.int", "w") as f:
            f.write("WAIT50\n01PLCA\n03PLCB*\n")
        self.assertEqual(self.host.load(None), 0)
        self.assertIn((32, "KelG1: Attach response Wait Time is 500 mSec"), self.host.messages)
        self.assertEqual(self.host.parse("03M00017", data_type=6)[0], 0)
        rc, record = self.host.parse("01R000105", data_type=6)
        self.assertEqual((rc, record.element, record.bit), (0, 9, 5))
        self.assertEqual(self.host.parse("02R00001")[0], 1)
        self.assertEqual(self.host.messages[-1], (8, "kelg1: Parse error Plc Address (2) not defined in init file"))
        # Block limits follow the station's protocol.
        self.assertEqual(self.host.parse("01R00001", count=500, block=True)[0], 0)
        self.assertEqual(self.host.parse("01R00001", count=501, block=True)[0], 1)
        self.assertEqual(self.host.parse("03R00001", count=256, block=True)[0], 0)
        self.assertEqual(self.host.parse("03R00001", count=257, block=True)[0], 1)


class OnSimulatorTest(unittest.TestCase):
    """A board on the simulator's pseudo-terminal, with an SNP and an SNPX station."""

    def setUp(self):
        self.cwd = os.getcwd()
        self.dir = tempfile.TemporaryDirectory()
        os.chdir(self.dir.name)
        with open("kelG142.int", "w") as f:
            f.write("01PLCA\n02PLCB*\n")
        self.sim = subprocess.Popen([os.path.join(BUILD, "plcsim"), "--network", "kelG142.int",
                                     "--set", "1:R5=4321"], stdout=subprocess.PIPE, text=True)
        self.port = self.sim.stdout.readline().strip()[len("/dev/"):]
        self.host = kelhost.Host(BUILD, board=42)

    def tearDown(self):
        self.host.call(11)
        self.sim.terminate()
        self.sim.wait(timeout=10)
        os.chdir(self.cwd)
        self.dir.cleanup()

    def read(self, gas, data_type=0, count=1):
        rc, record = self.host.parse(gas, data_type, count, block=count > 1)
        self.assertEqual(rc, 0, gas)
        tag, buffer = self.host.tag(record, count, count * (2 if record.width == 32 else 1) + 1)
        rc = self.host.call(6 if count > 1 else 5, tag)
        self.assertEqual(rc, 0, (gas, self.host.messages[-3:]))
        return list(buffer)

    def write(self, gas, values, data_type=0):
        rc, record = self.host.parse(gas, data_type, len(values), block=len(values) > 1)
        self.assertEqual(rc, 0, gas)
        tag, buffer = self.host.tag(record, len(values), len(values) + 1)
        first = 0 if len(values) > 1 else 1
        for k, value in enumerate(values):
            buffer[first + k] = value
        rc = self.host.call(10 if len(values) > 1 else 7, tag)
        self.assertEqual(rc, 0, (gas, self.host.messages[-3:]))

    def test_reads_and_writes_both_protocols(self):
        self.assertEqual(self.host.load(self.port), 0)
        self.assertEqual(self.host.messages[-1], (32, "KELG1: Driver for %s loaded successfully" % self.port))
        self.assertEqual(self.host.parse("02R00001")[0], 0)
        # A single 16-bit value lands in the second word of the host's buffer.
        self.assertEqual(self.read("01R00005"), [0, 4321])
        for station in ("01", "02"):
            self.write(station + "R00010", [11, 22, 33, 44, 55])
            self.assertEqual(self.read(station + "R00010", count=5)[:5], [11, 22, 33, 44, 55])
            self.write(station + "R000103", [1], data_type=6)
            self.assertEqual(self.read(station + "R00010")[1], 11 | 8)
            self.write(station + "M00017", [1], data_type=6)
            self.assertEqual(self.read(station + "M00017", data_type=6)[1], 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
