#!/usr/bin/python3
"""kelgate publishing to a real broker: mosquitto started here on a free
loopback port (once with TLS and a password file made here), plcsim on a
pseudo-terminal, kelgate scanning it, and a paho subscriber that decodes
the Sparkplug B payloads with the schema compiled by protoc.

    mqtt_test.py BUILD_DIR
"""
import getpass
import importlib.machinery
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

import logging
logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
import paho.mqtt.client as mqtt  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build/linux")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
decoder = importlib.machinery.SourceFileLoader(
    "sparkplug_decode", os.path.join(ROOT, "scripts", "sparkplug-decode")).load_module()
decoder.schema()

BOARD = 43
NETWORK = "01PRESS1\n03OVEN*\n"
INTERVAL_MS = 300
# Station 1: %R1..%R3 = 1, 2, 3 and %M17, %M18 = 1, 0; station 3: %R1..%R3
# and "speed" (float in %R10, %R11) = 5.0.
SIM_SETS = ["--set", "1:M17=1,0", "--set", "3:R10=0,16544"]
SCAN = """
[[scan.group]]
station = "*"
area = "R"
first = 1
last = 3
interval_ms = %d
[[scan.group]]
station = 3
area = "R"
first = 10
last = 11
name = "speed"
type = "float"
[[scan.group]]
station = 1
area = "M"
first = 17
last = 18
""" % INTERVAL_MS


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def attempts(broker):
    """Connection attempts in the broker's log. A TLS handshake that the
    client breaks off may end before the broker logs the new connection;
    the broker then logs only the failed one."""
    log = broker.log()
    return log.count("New connection from") + log.count("Client connection from")


class Broker:
    """mosquitto with its own configuration on a free loopback port."""

    def __init__(self, work, extra=""):
        self.work = work
        self.port = free_port()
        self.conf = os.path.join(work, "mosquitto.conf")
        self.log_path = os.path.join(work, "mosquitto.log")
        with open(self.conf, "w") as f:
            # Run as the test's own user: as root, mosquitto would switch to
            # its own user, which cannot read the scratch folder.
            f.write("user %s\nlistener %d 127.0.0.1\npersistence false\nlog_dest stderr\nlog_type all\n%s"
                    % (getpass.getuser(), self.port, extra or "allow_anonymous true\n"))
        self.proc = None
        self.log_file = None
        self.starts = 0
        self.start()

    def start(self):
        self.log_file = open(self.log_path, "a")
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=self.log_file)
        wait_until(lambda: self.log().count(" running") > self.starts, 10, "mosquitto to start")
        self.starts += 1

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        if self.log_file:
            self.log_file.close()
            self.log_file = None

    def log(self):
        try:
            with open(self.log_path) as f:
                return f.read()
        except FileNotFoundError:
            return ""


class Subscriber:
    """A paho client that keeps every message (topic, decoded payload, time)
    and resubscribes after a broker restart."""

    def __init__(self, broker, topics, tls=None, credentials=None):
        self.messages = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id="test-%d" % os.getpid())
        if credentials:
            self.client.username_pw_set(*credentials)
        if tls:
            self.client.tls_set(ca_certs=tls)
        self.client.reconnect_delay_set(0.1, 0.5)
        self.topics = topics
        self.connected = threading.Event()
        self.client.on_connect = self.on_connect
        self.client.on_message = self.on_message
        self.client.connect("127.0.0.1", broker.port, 30)
        self.client.loop_start()
        assert self.connected.wait(10), "subscriber did not connect"

    def on_connect(self, client, userdata, flags, rc):
        for t in self.topics:
            client.subscribe(t, 1)
        self.connected.set()

    def on_message(self, client, userdata, msg):
        payload = msg.payload if not msg.topic.startswith("spBv1.0/") else decoder.decode(msg.payload)
        with self.lock:
            self.messages.append((msg.topic, payload, time.monotonic(), msg.retain))

    def find(self, topic_part, after=0):
        with self.lock:
            return [m for m in self.messages[after:] if topic_part in m[0]]

    def wait(self, topic_part, after=0, timeout=15, count=1):
        return wait_until(lambda: len(self.find(topic_part, after)) >= count and self.find(topic_part, after),
                          timeout, topic_part)

    def mark(self):
        with self.lock:
            return len(self.messages)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def metrics(payload):
    return {m.name if m.HasField("name") else m.alias: (decoder.TYPE_NAMES.get(m.datatype), decoder.value_of(m))
            for m in payload.metrics}


def metric(payload, name):
    return [m for m in payload.metrics if m.name == name][0]


class Gate:
    """plcsim and kelgate in a scratch folder, kelgate configured by a TOML file."""

    def __init__(self, work, mqtt_section, sim_args=(), extra=""):
        self.work = work
        with open(os.path.join(work, "kelG1%02d.int" % BOARD), "w") as f:
            f.write(NETWORK)
        self.sim = subprocess.Popen(
            [os.path.join(BUILD, "plcsim"), "--network", "kelG1%02d.int" % BOARD, *SIM_SETS,
             "--dump", "1:R1:3", "--dump", "3:R1:3", *sim_args],
            cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        slave = self.sim.stdout.readline().strip()
        assert slave.startswith("/dev/"), "plcsim did not start"
        self.config = os.path.join(work, "kelgate.toml")
        with open(self.config, "w") as f:
            f.write("[health]\nhold_s = 1\nhold_max_s = 2\n%s%s\n[mqtt]\n%s\n" % (extra, SCAN, mqtt_section))
        self.log_path = os.path.join(work, "kelgate.log")
        self.log = open(self.log_path, "w")
        self.gate = subprocess.Popen(
            [os.path.join(BUILD, "kelgate"), "--port", slave[len("/dev/"):], "--board", str(BOARD),
             "--listen", "127.0.0.1:0", "--timeout", "200", "--config", self.config],
            cwd=work, stdout=subprocess.DEVNULL, stderr=self.log)
        m = wait_until(lambda: re.search(r" at 127\.0\.0\.1:(\d+);", self.read_log()), 10, "kelgate to start")
        self.modbus_port = int(m.group(1))

    def read_log(self):
        with open(self.log_path) as f:
            return f.read()

    def lines(self, text):
        return [line.split(" kelgate: ", 1)[1] for line in self.read_log().splitlines() if text in line]

    def sim_memory(self):
        """plcsim's dump of %R1..%R3 of both stations (SIGUSR1)."""
        self.sim.send_signal(signal.SIGUSR1)
        lines = []
        while len(lines) < 2:
            line = self.sim.stdout.readline()
            if "%R1 =" in line:
                lines.append(line.strip())
        return lines

    def stop(self, sig=signal.SIGTERM):
        if self.gate.poll() is None:
            self.gate.send_signal(sig)
            self.gate.wait(15)
        if self.sim.poll() is None:
            self.sim.send_signal(signal.SIGCONT)
            self.sim.terminate()
        self.sim.wait(10)
        self.sim.stdout.close()
        self.log.close()
        return self.gate.returncode


class MqttCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="kelgate-mqtt.")
        self.cleanups = []

    def tearDown(self):
        for cleanup in reversed(self.cleanups):
            cleanup()
        shutil.rmtree(self.work, ignore_errors=True)

    def broker(self, extra=""):
        b = Broker(self.work, extra)
        self.cleanups.append(b.stop)
        return b

    def subscriber(self, broker, topics, **kw):
        s = Subscriber(broker, topics, **kw)
        self.cleanups.append(s.close)
        return s

    def gate(self, section, **kw):
        g = Gate(self.work, section, **kw)
        self.cleanups.append(g.stop)
        return g


class Sparkplug(MqttCase):
    def test_births_data_commands_and_death(self):
        broker = self.broker()
        sub = self.subscriber(broker, ["spBv1.0/#"])
        gate = self.gate('host = "127.0.0.1"\nport = %d\nnode = "gw1"\ngroup = "plant"' % broker.port,
                         extra='[modbus]\nallow_write = "R:2"\n')
        topic = "spBv1.0/plant/%s/gw1"
        nbirth = sub.wait(topic % "NBIRTH")[0][1]
        self.assertEqual(nbirth.seq, 0)
        self.assertEqual(metrics(nbirth), {"bdSeq": ("UInt64", 0), "Node Control/Rebirth": ("Boolean", False)})
        b1 = sub.wait(topic % "DBIRTH" + "/PLC01")[0][1]
        b3 = sub.wait(topic % "DBIRTH" + "/PLC03")[0][1]
        self.assertEqual(metrics(b1), {
            "Properties/SNP ID": ("String", "PRESS1"), "Properties/Protocol": ("String", "SNP"),
            "%R00001": ("UInt16", 1), "%R00002": ("UInt16", 2), "%R00003": ("UInt16", 3),
            "%M00017": ("Boolean", True), "%M00018": ("Boolean", False)})
        self.assertEqual(metrics(b3), {
            "Properties/SNP ID": ("String", "OVEN"), "Properties/Protocol": ("String", "SNPX"),
            "%R00001": ("UInt16", 1), "%R00002": ("UInt16", 2), "%R00003": ("UInt16", 3), "speed": ("Float", 5.0)})
        aliases = [m.alias for m in list(b1.metrics) + list(b3.metrics)]
        self.assertEqual(len(set(aliases)), len(aliases))
        self.assertTrue(all(a > 2 for a in aliases))
        self.assertEqual(sorted([b1.seq, b3.seq]), [1, 2])
        r2 = metric(b1, "%R00002").alias

        # A change in the PLC (a Modbus client's write) arrives in one DDATA
        # within one interval, carrying only the changed metric by alias.
        time.sleep(2 * INTERVAL_MS / 1000)
        mark = sub.mark()
        modbus = ModbusTcpClient("127.0.0.1", port=gate.modbus_port, timeout=10, retries=0)
        self.assertTrue(modbus.connect())
        self.assertFalse(modbus.write_register(1, 777, slave=1).isError())
        written = time.monotonic()
        modbus.close()
        topic_ddata = topic % "DDATA" + "/PLC01"
        data = sub.wait(topic_ddata, mark, timeout=INTERVAL_MS / 1000 + 2)
        self.assertLess(data[0][2] - written, INTERVAL_MS / 1000 + 0.5)
        self.assertEqual(metrics(data[0][1]), {r2: ("UInt16", 777)})
        self.assertEqual(data[0][1].metrics[0].datatype, 6)
        time.sleep(3 * INTERVAL_MS / 1000)
        self.assertEqual(len(sub.find(topic_ddata, mark)), 1, "no DDATA without a change")

        # Rebirth on NCMD: NBIRTH from seq 0 and both DBIRTHs.
        pb = decoder.schema()
        cmd = pb.Payload()
        m = cmd.metrics.add()
        m.name, m.datatype, m.boolean_value = "Node Control/Rebirth", 11, True
        mark = sub.mark()
        sub.client.publish(topic % "NCMD", cmd.SerializeToString(), 1)
        again = sub.wait(topic % "NBIRTH", mark)[0][1]
        self.assertEqual(again.seq, 0)
        self.assertEqual(metrics(again)["bdSeq"], ("UInt64", 0))
        sub.wait(topic % "DBIRTH" + "/PLC01", mark)
        sub.wait(topic % "DBIRTH" + "/PLC03", mark)

        # DCMD: refused outside the write policy (nothing on the line), else
        # written ahead of the scan and confirmed by the next DDATA.
        def dcmd(name, value):
            p = pb.Payload()
            x = p.metrics.add()
            x.name, x.datatype, x.int_value = name, 6, value
            sub.client.publish(topic % "DCMD" + "/PLC01", p.SerializeToString(), 1)
        dcmd("%R00003", 999)
        wait_until(lambda: gate.lines("refused"), 5, "the refusal")
        self.assertEqual(gate.lines("refused"), ["MQTT DCMD PLC01 %R00003 = 999 refused: not writable (allow_write)"])
        mark = sub.mark()
        dcmd("%R00002", 4242)
        confirm = sub.wait(topic_ddata, mark)[0][1]
        self.assertEqual(metrics(confirm), {r2: ("UInt16", 4242)})
        self.assertEqual(gate.sim_memory()[0], "01 %R1 = 1 4242 3")

        # SIGKILL: the broker publishes the will, an NDEATH whose bdSeq is the
        # last NBIRTH's.
        mark = sub.mark()
        gate.gate.kill()
        gate.gate.wait(5)
        death = sub.wait(topic % "NDEATH", mark, timeout=10)[0][1]
        self.assertEqual(metrics(death), {"bdSeq": ("UInt64", 0)})

    def test_station_faults_and_broker_restart(self):
        broker = self.broker()
        sub = self.subscriber(broker, ["spBv1.0/#"])
        # Station 3 is silent for its first requests: demoted at once, born
        # when a probe gets its answer.
        gate = self.gate('host = "127.0.0.1"\nport = %d\nnode = "gw2"\nkeepalive = 5' % broker.port,
                         sim_args=["--fault", "3:silent@6"])
        topic = "spBv1.0/kelgate/%s/gw2"
        first = sub.wait(topic % "DBIRTH" + "/PLC01")[0][2]
        late = sub.wait(topic % "DBIRTH" + "/PLC03", timeout=30)[0][2]
        self.assertGreater(late, first)
        self.assertEqual(sub.find(topic % "DDEATH"), [], "no death for a station never born")

        # The whole line goes quiet (plcsim stopped): DDEATH for each station,
        # and DBIRTH again once they answer.
        mark = sub.mark()
        gate.sim.send_signal(signal.SIGSTOP)
        sub.wait(topic % "DDEATH" + "/PLC01", mark, timeout=20)
        sub.wait(topic % "DDEATH" + "/PLC03", mark, timeout=20)
        gate.sim.send_signal(signal.SIGCONT)
        sub.wait(topic % "DBIRTH" + "/PLC01", mark, timeout=30)
        sub.wait(topic % "DBIRTH" + "/PLC03", mark, timeout=30)

        # The broker restarted: kelgate reconnects with a new bdSeq and its
        # births, and its will carries the same bdSeq.
        old = metrics(sub.find(topic % "NBIRTH")[-1][1])["bdSeq"][1]
        broker.stop()
        time.sleep(1)
        broker.start()
        mark = sub.mark()
        nbirth = sub.wait(topic % "NBIRTH", mark, timeout=20)[0][1]
        bdseq = metrics(nbirth)["bdSeq"][1]
        self.assertGreater(bdseq, old)
        sub.wait(topic % "DBIRTH" + "/PLC01", mark)
        sub.wait(topic % "DBIRTH" + "/PLC03", mark)
        self.assertEqual(len([line for line in gate.lines("MQTT: connection to") if "lost" in line]), 1)
        mark = sub.mark()
        self.assertEqual(gate.stop(), 0)
        # An orderly stop says goodbye with the same bdSeq.
        self.assertEqual(metrics(sub.wait(topic % "NDEATH", mark)[0][1]), {"bdSeq": ("UInt64", bdseq)})


class Json(MqttCase):
    def test_retained_topics_and_writes(self):
        broker = self.broker()
        gate = self.gate('host = "127.0.0.1"\nport = %d\nnode = "gw3"\nformat = "json"' % broker.port,
                         extra='[modbus]\nallow_write = "R:1-3"\n[http]\nlisten = "127.0.0.1:0"\n')
        # A subscriber that comes later still gets every value: retained.
        time.sleep(1.5)
        sub = self.subscriber(broker, ["kelgate/gw3/#"])
        sub.wait("kelgate/gw3/PLC03/speed")
        by_topic = {t: (json.loads(p), retained) for t, p, _, retained in sub.find("/PLC")}
        value, retained = by_topic["kelgate/gw3/PLC01/%R00002"]
        self.assertTrue(retained)
        self.assertEqual((value["value"], value["quality"]), (2, "good"))
        self.assertLess(abs(value["timestamp"] / 1000 - time.time()), 10)
        self.assertEqual(by_topic["kelgate/gw3/PLC01/%M00017"][0]["value"], True)
        self.assertEqual(by_topic["kelgate/gw3/PLC03/speed"][0]["value"], 5.0)
        self.assertEqual(sub.find("kelgate/gw3/status")[0][1], b"online")
        # The metrics tell the publisher's state and count what it handed over.
        http = re.search(r"status page at (http://127\.0\.0\.1:\d+/)", gate.read_log()).group(1)
        with urllib.request.urlopen(http + "metrics", timeout=10) as r:
            mqtt = {s.name: s.value for f in text_string_to_metric_families(r.read().decode())
                    for s in f.samples if s.name.startswith("kelgate_mqtt_")}
        self.assertEqual((mqtt["kelgate_mqtt_enabled"], mqtt["kelgate_mqtt_connected"]), (1, 1))
        self.assertGreaterEqual(mqtt["kelgate_mqtt_messages_published_total"], len(by_topic) + 1)

        mark = sub.mark()
        sub.client.publish("kelgate/gw3/PLC03/%R00003/set", '{"value": 31}', 1)
        sub.client.publish("kelgate/gw3/PLC03/speed/set", "1.5", 1)
        wait_until(lambda: [m for m in sub.find("kelgate/gw3/PLC03/%R00003", mark)
                            if not m[0].endswith("/set") and json.loads(m[1])["value"] == 31], 10, "the new value")
        self.assertEqual(gate.lines("refused"), ["MQTT set PLC03 speed = 1.5 refused: not writable (allow_write)"])
        self.assertEqual(gate.sim_memory(), ["01 %R1 = 1 2 3", "03 %R1 = 1 2 31"])
        mark = sub.mark()
        self.assertEqual(gate.stop(), 0)
        self.assertEqual(sub.wait("kelgate/gw3/status", mark)[0][1], b"offline")


class Security(MqttCase):
    """TLS with a password file, made here: keys and certificates never
    leave the scratch folder."""

    def make_pki(self):
        def run(*args):
            subprocess.run(args, cwd=self.work, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for ca in ("ca", "other-ca"):
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=" + ca,
                "-keyout", ca + ".key", "-out", ca + ".crt")
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", "server.key", "-out", "server.csr")
        with open(os.path.join(self.work, "san.ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", "san.ext", "-out", "server.crt")
        run("mosquitto_passwd", "-b", "-c", "passwd", "kelgate", "right horse")
        os.chmod(os.path.join(self.work, "passwd"), 0o600)
        for name, text in (("good.pw", "right horse\n"), ("bad.pw", "wrong horse\n")):
            with open(os.path.join(self.work, name), "w") as f:
                f.write(text)
        return os.path.join(self.work, "")

    def test_tls_password_and_refusals(self):
        w = self.make_pki()
        broker = self.broker("allow_anonymous false\npassword_file %spasswd\ncafile %sca.crt\n"
                             "certfile %sserver.crt\nkeyfile %sserver.key\n" % (w, w, w, w))
        sub = self.subscriber(broker, ["spBv1.0/#"], tls=w + "ca.crt", credentials=("kelgate", "right horse"))
        base = 'host = "127.0.0.1"\nport = %d\nusername = "kelgate"\nnode = "tls"\n' % broker.port
        cases = [
            ("good.pw", "ca.crt", None),
            ("bad.pw", "ca.crt", "MQTT: no connection to 127.0.0.1:%d: Connection Refused: not authorised.; "
                                 "retrying, at most every 30 s" % broker.port),
            ("good.pw", "other-ca.crt", "MQTT: no connection to 127.0.0.1:%d: A TLS error occurred. "
                                        "(OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify "
                                        "failed); retrying, at most every 30 s" % broker.port),
        ]
        for password, ca, refusal in cases:
            with self.subTest(password=password, ca=ca):
                mark = sub.mark()
                connections = attempts(broker)
                gate = Gate(self.work, base + 'password_file = "%s%s"\nca_file = "%s%s"' % (w, password, w, ca))
                try:
                    if refusal is None:
                        sub.wait("spBv1.0/kelgate/DBIRTH/tls/PLC01", mark)
                        continue
                    # Several attempts, one line, and the gateway serves on.
                    wait_until(lambda: attempts(broker) >= connections + 3, 30, "three attempts")
                    self.assertEqual(gate.lines("MQTT: no connection"), [refusal])
                    self.assertEqual(sub.find("/tls", mark), [])
                    modbus = ModbusTcpClient("127.0.0.1", port=gate.modbus_port, timeout=10, retries=0)
                    self.assertTrue(modbus.connect())
                    self.assertEqual(modbus.read_holding_registers(0, 3, slave=1).registers, [1, 2, 3])
                    modbus.close()
                finally:
                    self.assertEqual(gate.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
