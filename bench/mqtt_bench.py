#!/usr/bin/python3
"""The MQTT publisher measured on a line paced at 19200 baud (plcsim --pace),
through a real mosquitto broker, with the end-to-end test's harness:

- latency from a change in PLC memory (a Modbus write through kelgate) to
  the DDATA that carries it at a subscriber, median and 99th percentile;
- 64 stations scanned: messages per second and broker bytes per scan cycle
  with report by exception, against the bytes a DDATA of every metric per
  station and cycle would take (encoded with the same schema).

    mqtt_bench.py BUILD_DIR [CHANGES]
"""
import importlib.machinery
import os
import re
import shutil
import signal
import statistics
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/linux")
CHANGES = int(sys.argv[2]) if len(sys.argv) > 2 else 40
HERE = os.path.dirname(os.path.abspath(__file__))
sys.argv = [sys.argv[0], BUILD]
h = importlib.machinery.SourceFileLoader(
    "mqtt_test", os.path.join(HERE, "..", "tests", "gateway", "mqtt_test.py")).load_module()
from pymodbus.client import ModbusTcpClient  # noqa: E402


def group(station, first, last, interval):
    return ('[[scan.group]]\nstation = %s\narea = "R"\nfirst = %d\nlast = %d\ninterval_ms = %d\n'
            % (station, first, last, interval))


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def latency(work):
    broker = h.Broker(work)
    h.NETWORK = "01PRESS1\n02PRESS2\n03OVEN*\n"
    h.SCAN = group('"*"', 1, 10, 500)
    h.SIM_SETS = []
    sub = h.Subscriber(broker, ["spBv1.0/#"])
    gate = h.Gate(work, 'host = "127.0.0.1"\nport = %d\nnode = "bench"' % broker.port, sim_args=["--pace"],
                  extra="[modbus]\nallow_write = \"R:1-10\"\n")
    try:
        birth = sub.wait("DBIRTH/bench/PLC03", timeout=30)[0][1]
        alias = h.metric(birth, "%R00005").alias
        modbus = ModbusTcpClient("127.0.0.1", port=gate.modbus_port, timeout=10, retries=0)
        assert modbus.connect()
        samples = []
        for k in range(CHANGES):
            mark = sub.mark()
            value = 1000 + k
            assert not modbus.write_register(4, value, slave=3).isError()
            written = time.monotonic()
            got = h.wait_until(lambda: [m for m in sub.find("DDATA/bench/PLC03", mark)
                                        if h.metrics(m[1]).get(alias, (None, None))[1] == value], 10, "DDATA")
            samples.append((got[0][2] - written) * 1000)
            time.sleep(0.25)
        modbus.close()
        return samples
    finally:
        gate.stop()
        sub.close()
        broker.stop()


def station_cycles(gate):
    """Scan cycles of every station so far, from kelgate's SIGUSR1 report."""
    mark = len(gate.read_log())
    gate.gate.send_signal(signal.SIGUSR1)
    h.wait_until(lambda: "line: " in gate.read_log()[mark:], 10, "the report")
    lines = gate.read_log()[mark:].splitlines()
    return sum(int(re.search(r"\): (\d+) cycles", line).group(1)) for line in lines if re.search(r"\): \d+ cycles", line))


def sixty_four(work, seconds=30):
    broker = h.Broker(work)
    h.NETWORK = "".join("%02dPLC%02d%s\n" % (n, n, "*" if n % 2 == 0 else "") for n in range(1, 65))
    h.SCAN = group('"*"', 1, 4, 1000)
    h.SIM_SETS = []
    sub = h.Subscriber(broker, ["spBv1.0/#"])
    gate = h.Gate(work, 'host = "127.0.0.1"\nport = %d\nnode = "bench"' % broker.port, sim_args=["--pace"],
                  extra="[modbus]\nallow_write = \"R:1-10\"\n")
    try:
        sub.wait("DBIRTH/bench/PLC64", timeout=120)
        births = sub.mark()
        before = station_cycles(gate)
        # One value changes every second, written through the Modbus door.
        modbus = ModbusTcpClient("127.0.0.1", port=gate.modbus_port, timeout=10, retries=0)
        assert modbus.connect()
        start = time.monotonic()
        k = 0
        while time.monotonic() - start < seconds:
            k += 1
            modbus.write_register(0, k, slave=1 + k % 64)
            time.sleep(1)
        elapsed = time.monotonic() - start
        modbus.close()
        data = sub.find("DDATA/bench", births)
        cycles = (station_cycles(gate) - before) / 64
        # A DDATA of every metric of a station, as publishing without report
        # by exception would send each cycle.
        pb = h.decoder.schema()
        full = pb.Payload()
        full.timestamp, full.seq = int(time.time() * 1000), 200
        for n in range(4):
            m = full.metrics.add()
            m.alias, m.timestamp, m.datatype, m.int_value = 100 + n, full.timestamp, 6, 1000 + n
        return {"elapsed": elapsed, "messages": len(data), "bytes": sum(len(m[1].SerializeToString()) for m in data),
                "cycles": cycles, "full_station_bytes": len(full.SerializeToString())}
    finally:
        gate.stop()
        sub.close()
        broker.stop()


def main():
    work = tempfile.mkdtemp(prefix="kelgate-mqtt-bench.")
    try:
        samples = latency(work)
        print("Change to DDATA, 3 stations, %%R1-%%R10 scanned every 500 ms, %d changes: "
              "median %.0f ms, p99 %.0f ms (min %.0f ms, max %.0f ms)"
              % (len(samples), statistics.median(samples), percentile(samples, 99), min(samples), max(samples)))
        shutil.rmtree(work)
        os.mkdir(work)
        r = sixty_four(work)
        per_cycle = r["bytes"] / max(1, r["cycles"])
        print("64 stations, %%R1-%%R4 of each scanned every 1000 ms, one change a second, over %.0f s: "
              "%.1f cycles of the line, %.2f DDATA per second; broker traffic per cycle %.0f payload bytes "
              "with report by exception, against 64 DDATA of %d bytes (%d bytes) without it"
              % (r["elapsed"], r["cycles"], r["messages"] / r["elapsed"], per_cycle, r["full_station_bytes"],
                 64 * r["full_station_bytes"]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
