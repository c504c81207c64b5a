#!/usr/bin/env python3
"""The gateway benchmark's figures (gatebench's table): its targets checked,
its section of BENCHMARKS.md and the data of its plot.

usage: gate_report.py RESULTS_DIR PLOTS_DIR    prints the figures and targets

report.py calls section() for BENCHMARKS.md.
"""
import csv
import os
import sys

MODES = ("reference", "pass", "health", "scan")
MODE_NAMES = {
    "reference": "reference: pass-through, silent station not polled",
    "pass": "pass-through (before health)",
    "health": "pass-through with health",
    "scan": "scan with cache",
}
SHARE_TARGET = 0.80   # health: live answers/s against the reference
SILENT_TARGET_MS = 5  # health and scan: the silent station's 0x0B, median
P99_TARGET_MS = 5     # scan: live p99 with the most clients


def load(results):
    path = os.path.join(results, "gateway.tsv")
    if not os.path.exists(path):
        return []
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def num(row, key):
    return float(row[key])


def by_mode(rows):
    table = {}
    for r in rows:
        table[(r["mode"], int(r["live"]))] = r
    return table


def frames_per_request(table, live):
    """Frames of one line request per client read: from the reference run,
    where every client read is one request on the line."""
    ref = table.get(("reference", live))
    if not ref or int(ref["live_answers"]) == 0:
        return None
    return int(ref["frames"]) / int(ref["live_answers"])


def verdicts(rows):
    """(target, verdict, detail) with verdict PASS, FAIL or 'not run'."""
    table = by_mode(rows)
    lives = sorted({int(r["live"]) for r in rows})
    out = []

    def check(target, ok, detail):
        out.append((target, "PASS" if ok else "FAIL", detail))

    health = [n for n in lives if ("health", n) in table and ("reference", n) in table]
    if not health:
        out.append(("with health, live answers/s >= 80 % of the reference", "not run", ""))
        out.append((f"with health, the silent station's 0x0B in under {SILENT_TARGET_MS} ms (median)", "not run", ""))
    for n in health:
        h, ref = table[("health", n)], table[("reference", n)]
        share = num(h, "live_per_s") / num(ref, "live_per_s") if num(ref, "live_per_s") else 0
        check(f"with health, {n} live clients: answers/s >= {SHARE_TARGET:.0%} of the reference", share >= SHARE_TARGET,
              f"{num(h, 'live_per_s'):.2f} against {num(ref, 'live_per_s'):.2f}/s, {share:.0%}")
        check(f"with health, {n} live clients: silent station's 0x0B in under {SILENT_TARGET_MS} ms (median)",
              0 <= num(h, "silent_median_ms") < SILENT_TARGET_MS and int(h["silent_0x0B"]) > 0,
              f"median {num(h, 'silent_median_ms'):.2f} ms, {h['silent_0x0B']} of {h['silent_requests']} 0x0B")
    scans = [n for n in lives if ("scan", n) in table]
    if not scans:
        out.append(("with the scan, live p99 under 5 ms with 16 clients, no exception", "not run", ""))
    else:
        most = table[("scan", max(scans))]
        check(f"with the scan, {max(scans)} live clients: p99 under {P99_TARGET_MS} ms, no exception",
              0 <= num(most, "live_p99_ms") < P99_TARGET_MS and int(most["live_exceptions"]) == 0
              and int(most["live_failed"]) == 0,
              f"p99 {num(most, 'live_p99_ms'):.2f} ms, exceptions {most['live_codes']}, "
              f"no reply {most['live_failed']}")
    for n in scans:
        s = table[("scan", n)]
        check(f"with the scan, {n} live clients: silent station's 0x0B in under {SILENT_TARGET_MS} ms (median)",
              0 <= num(s, "silent_median_ms") < SILENT_TARGET_MS and int(s["silent_0x0B"]) > 0,
              f"median {num(s, 'silent_median_ms'):.2f} ms")
        limit = num(s, "scan_ms") + num(s, "cycle_model_ms")
        check(f"with the scan, {n} live clients: data age median under the interval plus one cycle",
              0 <= num(s, "age_median_ms") < limit,
              f"{num(s, 'age_median_ms'):.0f} ms against {num(s, 'scan_ms'):.0f} + {num(s, 'cycle_model_ms'):.0f} ms")
    return out


def ms(value):
    v = float(value)
    if v < 0:
        return "–"
    return f"{v:.2f}" if v < 10 else f"{v:.1f}" if v < 1000 else f"{v:,.0f}"


def write_plot_data(rows, plots):
    table = by_mode(rows)
    lives = sorted({int(r["live"]) for r in rows})
    with open(os.path.join(plots, "gateway.dat"), "w", encoding="utf-8") as f:
        f.write("# live\t" + "\t".join(f"{m}_per_s\t{m}_median_ms\t{m}_p99_ms" for m in MODES) + "\n")
        for n in lives:
            cells = [str(n)]
            for m in MODES:
                r = table.get((m, n))
                if r and num(r, "live_median_ms") >= 0:
                    cells += [r["live_per_s"], r["live_median_ms"], r["live_p99_ms"]]
                else:
                    cells += ["?", "?", "?"]
            f.write("\t".join(cells) + "\n")


def headline(rows):
    """Bullets for BENCHMARKS.md's headline: each mode with the most clients."""
    if not rows:
        return []
    table = by_mode(rows)
    most = max(int(r["live"]) for r in rows)
    parts = []
    for m in MODES:
        r = table.get((m, most))
        if r:
            parts.append(f"{m} {num(r, 'live_per_s'):.1f}/s, p99 {ms(r['live_p99_ms'])} ms")
    results = verdicts(rows)
    met = sum(1 for _, v, _ in results if v == "PASS")
    run = sum(1 for _, v, _ in results if v != "not run")
    return [f"- Gateway, {most} live clients and a switched-off station, live clients' answers and latency: "
            + "; ".join(parts) + f". Targets met: **{met} of {run}**"
            + (f" ({len(results) - run} not run)" if run < len(results) else "") + "."]


def section(rows, plots, machine=None):
    """The lines of BENCHMARKS.md's gateway section; writes the plot data."""
    if not rows:
        return []
    write_plot_data(rows, plots)
    table = by_mode(rows)
    lives = sorted({int(r["live"]) for r in rows})
    first = rows[0]
    out = []
    w = out.append
    w("## The gateway: many clients, one line, a station switched off")
    w("")
    w(f"`gatebench` puts `kelgate` in front of `plcsim --pace` at {first['baud']} baud with four live")
    w("stations (1 and 2 SNP, 3 and 4 SNPX) and station 5 (SNP), which is in the network")
    w("file but switched off (`--fault 5:silent`). Each client has its own")
    w("connection and thread (libmodbus) and reads 10 holding registers of its station every")
    w(f"{first['period_ms']} ms; the live clients spread over the four stations, and for every four")
    w("live clients one more polls station 5 (none in the reference). Each run starts a new")
    w(f"`plcsim` and `kelgate`, warms up for {float(first['warmup_s']):.0f} s (the silent station's first")
    w(f"failures) and is measured over the next {float(first['measure_s']):.0f} s.")
    w("")
    w("![live clients' answers per second and latency per mode](bench/plots/gateway.svg)")
    w("")
    w("| mode | live + silent clients | live answers/s | live latency median | p99 | live exceptions | silent clients' latency median | data age median | p99 |")
    w("|---|---:|---:|---:|---:|---|---:|---:|---:|")
    for m in MODES:
        for n in lives:
            r = table.get((m, n))
            if not r:
                continue
            failed = f", {r['live_failed']} no reply" if int(r["live_failed"]) else ""
            w(f"| {MODE_NAMES[m]} | {n} + {r['silent']} | {num(r, 'live_per_s'):.2f} | "
              f"{ms(r['live_median_ms'])} ms | {ms(r['live_p99_ms'])} ms | {r['live_codes'].replace(':', ' ×')}{failed} | "
              f"{ms(r['silent_median_ms']) + ' ms' if int(r['silent']) else '–'} | "
              f"{ms(r['age_median_ms'])} ms | {ms(r['age_p99_ms'])} ms |")
    w("")
    w("Frames on the line per 100 ms client cycle, against what one line request per")
    w("client read would need (the reference's frames per answered read, attach included,")
    w("times the clients polling):")
    w("")
    w("| mode | live + silent clients | frames/s | frames per cycle | one request per client read | frames per live answer | station 1 read every | line time on the silent station |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|")
    for m in MODES:
        for n in lives:
            r = table.get((m, n))
            if not r:
                continue
            per_cycle = num(r, "frames_per_s") * num(r, "period_ms") / 1000
            f1 = frames_per_request(table, n)
            need = f"{(n + int(r['silent'])) * f1:.0f}" if f1 else "–"
            per_answer = f"{int(r['frames']) / int(r['live_answers']):.2f}" if int(r["live_answers"]) else "–"
            w(f"| {MODE_NAMES[m]} | {n} + {r['silent']} | {num(r, 'frames_per_s'):.1f} | {per_cycle:.1f} | {need} | "
              f"{per_answer} | {ms(r['read_period_ms'])} ms | {num(r, 'silent_line_s'):.1f} s |")
    w("")
    w("Targets:")
    w("")
    for target, verdict, detail in verdicts(rows):
        w(f"- **{verdict}** {target}" + (f": {detail}" if detail else ""))
    w("")
    held = [num(r, "silent_line_s") for r in rows if r["mode"] == "health"]
    if held:
        w(f"With health the silent station still held the line for {min(held):.1f} to {max(held):.1f} s of each")
        w(f"{float(first['measure_s']):.0f} s window (*line time on the silent station*): a probe, one request let")
        w("through after the hold, takes every attach try the driver makes, as long as its first failure.")
        w("Between probes its clients get 0x0B at once and the live clients have the line as in the")
        w("reference; the share of the reference's answers they get over a window is what the probes")
        w("in it leave them. The hold doubles after every unanswered probe, so the share grows the")
        w("longer the station stays off.")
        w("")
    w("How it is measured:")
    w("")
    w("- Answers per second count the live clients' normal answers that arrived within the")
    w("  window; latencies are those of the requests sent within it, each followed to its")
    w("  end. Exceptions are the live clients' exception answers (0x0B: station not")
    w("  answering, or the request's deadline passed before the line was free).")
    w("- Data age: `plcsim --clock R1,R11,R21,R31` sets the first register of every")
    w("  client's range, as the station serves a read, to the monotonic clock in")
    w("  milliseconds (modulo 65536); the client subtracts it from its own clock at the")
    w("  answer's arrival. Both run on the same machine and clock, so the age is the time")
    w("  from the PLC's read to the client's receipt: for a pass-through answer the")
    w("  reply's way back, for a cached answer also its time in the cache.")
    w("- Frames: every frame in `plcsim --trace` (`rx` from the gateway, `tx` from a")
    w("  station) written within the window. The cycle the data age is held against is")
    w("  the line time of one scan pass by the model (`bench/model.h`): attach and read")
    w(f"  the 40-register block of each SNP station, one broadcast attach and both SNPX")
    w(f"  blocks: {ms(first['cycle_model_ms'])} ms. *Station 1 read every* is the median time between")
    w("  the line's reads of station 1 (in the scan, its period).")
    w("- The scan runs with `--scan '*:R:1-40@" + next((r["scan_ms"] for r in rows if r["mode"] == "scan"), "1000")
      + "'`: every station of the network file, station 5")
    w("  included, so health demotes it and probes it after its hold.")
    w("")
    if machine:
        w("Run: " + "; ".join(f"{k} {v}" for k, v in machine.items()) + ".")
        w("")
    return out


def main():
    results, plots = sys.argv[1], sys.argv[2]
    os.makedirs(plots, exist_ok=True)
    rows = load(results)
    if not rows:
        print("gateway: no results")
        return 1
    for r in rows:
        print(f"{r['mode']:9} {int(r['live']):2} live + {r['silent']} silent: {num(r, 'live_per_s'):6.2f} answers/s, "
              f"latency median {ms(r['live_median_ms'])} ms p99 {ms(r['live_p99_ms'])} ms, exceptions "
              f"{r['live_codes']}; silent median {ms(r['silent_median_ms'])} ms; data age median "
              f"{ms(r['age_median_ms'])} ms p99 {ms(r['age_p99_ms'])} ms; {num(r, 'frames_per_s'):.1f} frames/s")
    for target, verdict, detail in verdicts(rows):
        print(f"{verdict:7} {target}" + (f": {detail}" if detail else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
