#!/usr/bin/env python3
"""bench/callgrind_cost.py counts each object's own instructions, not the
inclusive costs of the calls it makes, and divides by the repetitions."""
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "callgrind_cost.py")

FIRST = """# callgrind format
version: 1
desc: Trigger: Client Request: SNPX read 1 register
positions: line
events: Ir
summary: 1000

ob=(1) /b/kelbench
fl=(1) ???
fn=(1) main
cob=(2) /b/libderevu1.so
cfi=(2) ???
cfn=(2) KelMain
calls=1 0
0 900
0 100

ob=(2)
fl=(2)
fn=(2)
0 700
+1 50
cob=(3) /usr/lib/libc.so.6
cfi=(3) ???
cfn=(3) poll
calls=2 0
0 150

ob=(3)
fl=(3)
fn=(3)
0 150
"""

# A later dump may name an object only by the number an earlier one gave it.
SECOND = """# callgrind format
version: 1
desc: Trigger: Client Request: SNP read 1 register
positions: line
events: Ir

ob=(2)
fn=(2)
0 2000
"""

# Without compressed names every object is named where it is used.
THIRD = """# callgrind format
version: 1
desc: Trigger: Client Request: SNP write 5 registers
positions: line
events: Ir

ob=/b/libderevu1.so
fn=KelMain
0 300
cob=/usr/lib/libc.so.6
cfn=write
calls=1 0
0 40
ob=/usr/lib/libc.so.6
fn=write
0 40
"""


class CallgrindCost(unittest.TestCase):
    def test_self_costs_per_object_and_request(self):
        with tempfile.TemporaryDirectory() as folder:
            for suffix, text in (("1", FIRST), ("2", SECOND), ("3", THIRD)):
                with open(os.path.join(folder, "callgrind.out." + suffix), "w", encoding="utf-8") as f:
                    f.write(text)
            out = subprocess.run(
                [sys.executable, SCRIPT, "--reps", "10", os.path.join(folder, "callgrind.out.2"),
                 os.path.join(folder, "callgrind.out.1"), os.path.join(folder, "callgrind.out.3")],
                check=True, capture_output=True, text=True).stdout
        self.assertEqual(out.splitlines(), [
            "case\tdriver_instructions\tall_instructions",
            "SNPX read 1 register\t75\t100",
            "SNP read 1 register\t200\t200",
            "SNP write 5 registers\t30\t34",
        ])

    def test_functions_of_one_case(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "callgrind.out.1")
            with open(path, "w", encoding="utf-8") as f:
                f.write(FIRST)
            out = subprocess.run([sys.executable, SCRIPT, "--reps", "10", "--functions", "SNPX read 1 register", path],
                                 check=True, capture_output=True, text=True).stdout
        self.assertEqual([line.split() for line in out.splitlines()],
                         [["75", "KelMain", "[libderevu1.so]"], ["15", "poll", "[libc.so.6]"],
                          ["10", "main", "[kelbench]"]])


if __name__ == "__main__":
    unittest.main()
