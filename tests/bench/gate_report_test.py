#!/usr/bin/env python3
"""bench/gate_report.py holds each mode's figures against the gateway's
targets: a figure just past its limit fails, a mode not run is said so."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
import gate_report  # noqa: E402


def row(mode, live, **figures):
    r = {"mode": mode, "live": str(live), "silent": "0" if mode == "reference" else str(max(1, live // 4)),
         "live_per_s": "4.0", "live_median_ms": "1.0", "live_p99_ms": "2.0", "live_exceptions": "0",
         "live_codes": "-", "live_failed": "0", "silent_requests": "100", "silent_median_ms": "1.0",
         "silent_0x0B": "100", "age_median_ms": "700", "scan_ms": "1000", "cycle_model_ms": "800"}
    r.update({k: str(v) for k, v in figures.items()})
    return r


def verdicts(rows):
    return {target: verdict for target, verdict, _ in gate_report.verdicts(rows)}


class Targets(unittest.TestCase):
    def test_each_target_at_its_limit(self):
        cases = [
            # (what, rows, words in the target, verdict)
            ("health at 80 % of the reference", [row("reference", 4, live_per_s=5), row("health", 4, live_per_s=4)],
             "answers/s", "PASS"),
            ("health below 80 %", [row("reference", 4, live_per_s=5), row("health", 4, live_per_s=3.99)],
             "answers/s", "FAIL"),
            ("silent 0x0B at 5 ms", [row("reference", 4), row("health", 4, silent_median_ms=5)],
             "health, 4 live clients: silent", "FAIL"),
            ("silent clients never answered 0x0B", [row("reference", 4), row("health", 4, silent_0x0B=0)],
             "health, 4 live clients: silent", "FAIL"),
            ("scan p99 under 5 ms", [row("scan", 4), row("scan", 16, live_p99_ms=4.9)], "16 live clients: p99", "PASS"),
            ("scan with one exception", [row("scan", 16, live_exceptions=1, live_codes="0x0B:1")], "p99", "FAIL"),
            ("scan with a client that got no reply", [row("scan", 16, live_failed=1)], "p99", "FAIL"),
            ("data age under interval plus cycle", [row("scan", 8, age_median_ms=1799)], "data age", "PASS"),
            ("data age at interval plus cycle", [row("scan", 8, age_median_ms=1800)], "data age", "FAIL"),
            ("no health run", [row("reference", 4), row("pass", 4)], "with health, live", "not run"),
            ("no scan run", [row("reference", 4)], "with the scan", "not run"),
        ]
        for what, rows, words, expected in cases:
            with self.subTest(what):
                found = [v for t, v in verdicts(rows).items() if words in t]
                self.assertTrue(found, verdicts(rows))
                self.assertEqual(found[0], expected, verdicts(rows))

    def test_the_p99_target_takes_the_run_with_the_most_clients(self):
        rows = [row("scan", 4, live_p99_ms=100), row("scan", 16, live_p99_ms=1)]
        self.assertEqual([v for t, v in verdicts(rows).items() if "p99" in t], ["PASS"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
