"""The driver module as a ctypes host sees it: driver description and address
parsing through KelMain. Argument: the build folder."""
import ctypes
import os
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
