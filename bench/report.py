#!/usr/bin/env python3
"""Writes BENCHMARKS.md and the data of its plots from the tables of a run.

usage: report.py RESULTS_DIR BENCHMARKS_MD PLOTS_DIR

RESULTS_DIR holds timing-BAUD.tsv (kelbench), cpu.tsv (callgrind_cost.py)
and machine.txt (key: value lines written by bench/run).
"""
import csv
import glob
import os
import sys

import gate_report

RATIO_TARGET = 1.03
INSTRUCTION_TARGET = 20000


def read_tsv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def read_machine(path):
    info = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                if ":" in line:
                    key, value = line.split(":", 1)
                    info[key.strip()] = value.strip()
    return info


def ms(value):
    v = float(value)
    return f"{v:.1f}" if v < 1000 else f"{v:,.0f}"


def fit(points):
    """Least-squares slope and intercept of (x, y) points."""
    n = len(points)
    if n < 2:
        return 0.0, points[0][1] if points else 0.0
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    sxy = sum((x - mx) * (y - my) for x, y in points)
    slope = sxy / sxx if sxx else 0.0
    return slope, my - slope * mx


def main():
    results, target, plots = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(plots, exist_ok=True)
    timing = {}
    ordinary = []
    if os.path.exists(os.path.join(results, "ordinary-19200.tsv")):
        ordinary = [r for r in read_tsv(os.path.join(results, "ordinary-19200.tsv")) if r["kind"] == "mix"]
    for path in glob.glob(os.path.join(results, "timing-*.tsv")):
        rows = read_tsv(path)
        if rows:
            timing[int(rows[0]["baud"])] = rows
    bauds = sorted(timing)
    cpu = read_tsv(os.path.join(results, "cpu.tsv")) if os.path.exists(os.path.join(results, "cpu.tsv")) else []
    paced_cpu = {}
    if os.path.exists(os.path.join(results, "cpu-paced.tsv")):
        paced_cpu = {c["case"]: c for c in read_tsv(os.path.join(results, "cpu-paced.tsv"))}
    machine = read_machine(os.path.join(results, "machine.txt"))
    main_baud = 19200 if 19200 in timing else (bauds[0] if bauds else 0)

    mix = {b: [r for r in timing[b] if r["kind"] == "mix"] for b in bauds}
    scans = [r for r in timing.get(main_baud, []) if r["kind"] == "scan"]
    errors = sum(int(r["errors"]) for b in bauds for r in timing[b])

    # Plot data: measured and model per case at the main speed; scans.
    with open(os.path.join(plots, "cases.dat"), "w", encoding="utf-8") as f:
        f.write("# case\tmodel_ms\tmedian_ms\tp10_ms\tp90_ms\n")
        for r in mix.get(main_baud, []) + [s for s in scans if s["stations"] in ("1", "4")]:
            f.write(f"\"{r['case']}\"\t{r['model_ms']}\t{r['median_ms']}\t{r['p10_ms']}\t{r['p90_ms']}\n")
    for protocol in ("SNP", "SNPX"):
        with open(os.path.join(plots, f"scan-{protocol.lower()}.dat"), "w", encoding="utf-8") as f:
            f.write("# stations\tmodel_ms\tmedian_ms\tmin_ms\tmax_ms\n")
            for r in scans:
                if r["protocol"] == protocol:
                    f.write(f"{r['stations']}\t{r['model_ms']}\t{r['median_ms']}\t{r['min_ms']}\t{r['max_ms']}\n")

    worst = max((float(r["ratio"]) for b in bauds for r in timing[b]), default=0)
    worst_main = max((float(r["ratio"]) for r in timing.get(main_baud, [])), default=0)
    singles = [c for c in cpu if "1 register" in c["case"] or "1 bit" in c["case"]]
    most_single = max((int(c["driver_instructions"]) for c in singles), default=0)
    most_any = max(cpu, key=lambda c: int(c["driver_instructions"]), default=None)

    out = []
    w = out.append
    w("# Benchmarks: the driver against the wire")
    w("")
    w("The driver module (`libderevu1.so`) is called through `KelMain` by a host")
    w("(`kelbench`, on the host module `host/driver_module.h`) against `plcsim`")
    w(f"on a pseudo-terminal that `plcsim --pace` turns into a {main_baud} baud")
    w("line: every byte takes its character time (11 bits: start, 8 data, odd")
    w("parity, stop) in both directions and every reply waits a fixed")
    w("turnaround. Each case is set against its model time, the time its frames")
    w("must take on such a line. The gateway `kelgate` is measured on the same")
    w("paced line under Modbus TCP clients, with a station switched off (below).")
    w("")
    w("## Headline")
    w("")
    gateway = gate_report.load(results)
    out += gate_report.headline(gateway)
    if main_baud:
        w(f"- Measured ÷ model at {main_baud} baud: at most **{worst_main:.3f}** over every case"
          f" (target {RATIO_TARGET}); at every speed measured, at most {worst:.3f}.")
    if scans:
        for protocol in ("SNP", "SNPX"):
            pts = [(int(r["stations"]), float(r["median_ms"])) for r in scans if r["protocol"] == protocol
                   and int(r["stations"]) > 1]
            mpts = [(int(r["stations"]), float(r["model_ms"])) for r in scans if r["protocol"] == protocol
                    and int(r["stations"]) > 1]
            if pts:
                slope, _ = fit(pts)
                mslope, _ = fit(mpts)
                w(f"- {protocol} scan: {slope:.1f} ms per station measured, {mslope:.1f} ms per station"
                  f" by the model (attach and one register read each).")
    if cpu:
        w(f"- Driver code per single read or write: at most **{most_single:,}** instructions"
          f" (target under {INSTRUCTION_TARGET:,}), parse excluded; the most for any case"
          f" {int(most_any['driver_instructions']):,} ({most_any['case']}).")
    w(f"- Failed requests in the run: {errors}.")
    w("")
    w("![measured and model time per case](bench/plots/cases.svg)")
    w("")
    w("![scan time against the number of stations](bench/plots/scan.svg)")
    w("")
    out += gate_report.section(gateway, plots, read_machine(os.path.join(results, "gateway-machine.txt")))

    for b in bauds:
        w(f"## The requests a host scans with, {b} baud")
        w("")
        w("| case | median ms | p10–p90 ms | min–max ms | model ms | measured ÷ model | bytes | turnarounds | reps |")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in mix[b]:
            flag = "" if int(r["errors"]) == 0 else f" ({r['errors']} failed)"
            w(f"| {r['case']}{flag} | {ms(r['median_ms'])} | {ms(r['p10_ms'])}–{ms(r['p90_ms'])} | "
              f"{ms(r['min_ms'])}–{ms(r['max_ms'])} | {ms(r['model_ms'])} | {float(r['ratio']):.3f} | "
              f"{r['bytes']} | {r['turnarounds']} | {r['reps']} |")
        w("")

    if ordinary:
        w("## The same at 19200 baud with ordinary scheduling")
        w("")
        w("Without real-time scheduling, while other programs keep the machine busy")
        w("(load averages below), every wake-up of the driver or the simulator may")
        w("wait for a processor; the delays add to the line time:")
        w("")
        w("| case | median ms | p10–p90 ms | model ms | measured ÷ model |")
        w("|---|---:|---:|---:|---:|")
        for r in ordinary:
            w(f"| {r['case']} | {ms(r['median_ms'])} | {ms(r['p10_ms'])}–{ms(r['p90_ms'])} | "
              f"{ms(r['model_ms'])} | {float(r['ratio']):.3f} |")
        w("")

    if scans:
        w(f"## Scans: one register from each of N stations on one line, {main_baud} baud")
        w("")
        w("With more than one station every read must first attach its station:")
        w("SNP with a 20 ms break, a 100 ms pause and the 24-byte attach exchange,")
        w("SNPX with the broadcast attach (20 ms break, 100 ms, the frame, 100 ms).")
        w("")
        w("| scan | median ms | min–max ms | model ms | measured ÷ model | pauses ms | reps |")
        w("|---|---:|---:|---:|---:|---:|---:|")
        for r in scans:
            flag = "" if int(r["errors"]) == 0 else f" ({r['errors']} failed)"
            w(f"| {r['case']}{flag} | {ms(r['median_ms'])} | {ms(r['min_ms'])}–{ms(r['max_ms'])} | "
              f"{ms(r['model_ms'])} | {float(r['ratio']):.3f} | {r['pauses_ms']} | {r['reps']} |")
        w("")

    if cpu:
        w("## CPU cost per request")
        w("")
        w("Instructions executed inside `KelMain` per request, counted by")
        w("`valgrind --tool=callgrind` against an unpaced `plcsim` (every reply")
        w("arrives in one piece). *Driver* counts the instructions of the driver")
        w("module itself; *with C library* adds the system call wrappers it calls.")
        w("Parsing the tags happens before counting starts. The last column counts")
        w("the driver module on the paced line, where the bytes of a reply come")
        w("one by one and each wakes the driver's read, as on a serial port whose")
        w("bytes are handed over as they arrive.")
        w("")
        w("| case | driver instructions | with C library | driver, paced line |")
        w("|---|---:|---:|---:|")
        for c in cpu:
            paced = paced_cpu.get(c["case"])
            paced_text = f"{int(paced['driver_instructions']):,}" if paced else "–"
            w(f"| {c['case']} | {int(c['driver_instructions']):,} | {int(c['all_instructions']):,} | {paced_text} |")
        w("")

    w("## What the figures led to")
    w("")
    w("- `plcsim --pace` used to wait in whole milliseconds, so every paced byte")
    w("  cost about 1 ms instead of its 0.57 ms, and it answered as soon as the")
    w("  driver's write arrived at once on the pseudo-terminal: a 256-register")
    w("  SNPX read measured about 626 ms against 321 ms of model. It now stamps")
    w("  every byte with the time it has crossed the line, in both directions,")
    w("  waits with nanosecond timeouts and writes every byte that is due")
    w("  (test: 1000 bytes at their character time within 2%).")
    w("- The driver's sleeps (line breaks, the pauses around attaches and")
    w("  retries) used `nanosleep`, which ends up to the thread's timer slack")
    w("  late: about 100 us over on this machine, per sleep. They now wait on")
    w("  a timer descriptor toward a monotonic deadline: about 50 us over, the")
    w("  machine's wake-up latency.")
    w("- On a real serial device the port asks for low latency, so that a USB")
    w("  adapter hands over the last bytes of a reply at once rather than after")
    w("  its latency timer (16 ms by default on FTDI chips). Pseudo-terminals")
    w("  have no such setting; this is not measured here.")
    w("- The purge before every send returns at once when no byte waits, and")
    w("  reads return when their last byte has arrived: the tables show no")
    w("  waiting beyond the model in any case.")
    w("")
    mqtt = os.path.join(results, "mqtt.txt")
    if os.path.exists(mqtt):
        w("## The MQTT publisher, 19200 baud")
        w("")
        w("kelgate scanning a paced line (`plcsim --pace`) and publishing Sparkplug B")
        w("to mosquitto on a loopback port, a paho subscriber timing the messages")
        w("(`bench/mqtt_bench.py`). A change is a Modbus write through kelgate; its")
        w("latency runs from the write's answer to the DDATA at the subscriber.")
        w("")
        with open(mqtt, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    w("- " + line.strip())
        w("")
    w("## Machine")
    w("")
    for key in ("date", "commit", "kernel", "cpu", "cores", "load before", "load after", "scheduling", "note"):
        if key in machine:
            w(f"- {key}: {machine[key]}")
    w("")
    w("## Method")
    w("")
    w("- `kelbench` loads the driver module with the host module, loads board 1")
    w("  (64 SNP stations `S01`..`S64`) and board 2 (64 SNPX stations `X01*`..`X64*`),")
    w("  each on its own `plcsim --pace --baud B --turnaround 5` process, parses every")
    w("  tag once, then times each request with the monotonic clock. One untimed")
    w("  request first attaches the station the case starts on.")
    w("- The model (`bench/model.cpp`) walks the frames of the exchange: a frame the")
    w("  driver writes reaches the PLC its length in character times after it")
    w("  was written (or after the driver's previous byte); every PLC frame starts a")
    w("  turnaround after the frame it answers and after the PLC's previous frame,")
    w("  and the driver has it when its last byte has arrived; pauses and line")
    w("  breaks are the driver's prescribed sleeps (bytes written before a pause")
    w("  travel during it). The model time is that of one repetition when")
    w("  repetitions follow each other at once, as in a host's scan, so the")
    w("  driver's final ACK of one read delays the next request.")
    w("- Scheduling: the timed runs use real-time scheduling where the system")
    w("  allows it (see Machine), so that the builds and tests of other programs")
    w("  on this shared machine do not delay the wake-ups of the driver and of")
    w("  `plcsim`; the table with ordinary scheduling shows what such delays add.")
    w("- Spread: the 10th to 90th percentile and the extremes of the repetitions.")
    w("- Instructions: `valgrind --tool=callgrind --collect-atstart=no")
    w("  --toggle-collect=KelMain build/linux/kelbench --cpu`; `kelbench` zeroes the")
    w("  counts before and dumps them after each case's repetitions;")
    w("  `bench/callgrind_cost.py` sums the instructions per object.")
    w("")
    w("## How to rerun")
    w("")
    w("```")
    w("make bench                     # builds build/linux, runs everything (about 20 minutes)")
    w("build/linux/kelbench --baud 9600 --reps 5 --no-scans   # one speed, printed as a table")
    w("build/linux/kelbench --smoke                           # every case once, unpaced (the CI check)")
    w("bench/run gateway               # only the gateway benchmark (about 15 minutes)")
    w("build/linux/gatebench --modes scan --live 16 --warmup 30 --measure 30   # one mode, one client count")
    w("build/linux/gatebench --smoke   # every mode a few seconds (the CI check)")
    w("valgrind --tool=callgrind --collect-atstart=no --toggle-collect=KelMain build/linux/kelbench --cpu --reps 20")
    w("bench/callgrind_cost.py --reps 20 --functions 'SNPX read 1 register' callgrind.out.*   # where they go")
    w("```")
    w("")
    w("`make bench` writes the raw tables to `bench/results/`, the plots to")
    w("`bench/plots/` (gnuplot, `bench/plots.gp`) and this file.")
    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
