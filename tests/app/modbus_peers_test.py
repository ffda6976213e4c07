#!/usr/bin/python3
"""Modbus RTU between real peers through talmocli: Debian's mbpoll as the
master, a pymodbus RTU server as the slave, each on a pseudo-terminal of its
own, joined by a relay in this script. The relay can corrupt one answer on
the wire and hands each direction to a port of its own too, for monitor.

  modbus_peers_test.py TALMOCLI WORKDIR

Checked: through `tap --modbus rtu --capture X.pcapng` every request and
answer that mbpoll reports appears once, decoded, CRC good, paired with a
response time; an illegal address gives exception 02 by name; a corrupted
CRC is shown as bad with the value expected; a stopped slave leaves the
request unanswered; `decode --modbus rtu X.pcapng` gives the very lines
the tap showed; `stats --json` counts them so; tshark's Modbus RTU dissector agrees on unit, function,
reference and word count; and two ports of `monitor` pair the same way.
Exit 77 (skipped) when a peer is not installed.
"""

import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
import tty

SKIP = 77
TALMOCLI, WORK = sys.argv[1], sys.argv[2]

if not os.access(TALMOCLI, os.X_OK):
    # A tree that builds only some programs (the thread sanitizer's).
    print("talmocli is not built in this tree: skipped")
    sys.exit(SKIP)
if not shutil.which("mbpoll"):
    print("mbpoll is not installed: skipped")
    sys.exit(SKIP)
try:
    import pymodbus  # noqa: F401
except ImportError:
    print("python3-pymodbus is not installed: skipped")
    sys.exit(SKIP)

SLAVE = r"""
import sys
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusRtuFramer
from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
def block():
    return ModbusSequentialDataBlock(0, [v % 2 for v in range(100)])
store = ModbusSlaveContext(di=block(), co=block(), ir=block(),
                           hr=ModbusSequentialDataBlock(0, list(range(100, 200))),
                           zero_mode=True)
StartSerialServer(context=ModbusServerContext(slaves={1: store}, single=False),
                  framer=ModbusRtuFramer, port=sys.argv[1], baudrate=9600, timeout=0.005)
"""

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what, flush=True)


class Relay:
    """Two pseudo-terminals joined; each direction also copied to a
    monitor's port; one answer corrupted on request."""

    def __init__(self):
        self.ends = {}
        for name in ("master", "slave", "tx", "rx"):
            m, s = pty.openpty()
            tty.setraw(s)
            self.ends[name] = (m, s, os.ttyname(s))
            if name in ("tx", "rx"):
                # Nobody may read the copies: they never hold the relay up.
                os.set_blocking(m, False)
        self.corrupt_next = False
        self.copy = True
        self.stop = False
        threading.Thread(target=self.run, daemon=True).start()

    def path(self, name):
        return self.ends[name][2]

    def run(self):
        master, slave = self.ends["master"][0], self.ends["slave"][0]
        while not self.stop:
            ready, _, _ = select.select([master, slave], [], [], 0.1)
            for fd in ready:
                try:
                    data = bytearray(os.read(fd, 4096))
                except OSError:
                    continue
                if fd == slave and self.corrupt_next and data:
                    self.corrupt_next = False
                    data[-1] ^= 0xFF
                to, copy = (slave, "tx") if fd == master else (master, "rx")
                os.write(to, data)
                if not self.copy:
                    continue
                try:
                    os.write(self.ends[copy][0], data)
                except OSError:
                    pass


def mbpoll(link, *args, write=()):
    r = subprocess.run(["mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-a", "1", "-1"] +
                       list(args) + [link] + list(write), capture_output=True, text=True,
                       timeout=30)
    return r.stdout + r.stderr


def values(output):
    return [int(v) for v in re.findall(r"^\[\d+\]:\s+(-?\d+)", output, re.M)]


def start_slave(relay):
    """The server, once it answers (asked directly, not copied to monitor)."""
    slave = subprocess.Popen(["/usr/bin/python3", "-c", SLAVE, relay.path("slave")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    relay.copy = False
    for _ in range(60):
        if values(mbpoll(relay.path("master"), "-r", "1", "-t", "4")):
            break
        time.sleep(0.5)
    relay.copy = True
    return slave


def run_peers(relay, link, slave):
    """mbpoll's requests, each with what it reported."""
    reports = {}
    reports["read"] = mbpoll(link, "-r", "1", "-c", "4", "-t", "4")
    reports["write"] = mbpoll(link, "-r", "3", "-t", "4", write=("7", "8"))
    reports["coils"] = mbpoll(link, "-r", "1", "-c", "5", "-t", "0")
    reports["coil"] = mbpoll(link, "-r", "2", "-t", "0", write=("1",))
    reports["illegal"] = mbpoll(link, "-r", "1000", "-c", "2", "-t", "4")
    relay.corrupt_next = True
    reports["corrupt"] = mbpoll(link, "-r", "1", "-c", "1", "-t", "4")
    slave.send_signal(signal.SIGSTOP)
    reports["stopped"] = mbpoll(link, "-r", "1", "-c", "1", "-t", "4")
    slave.kill()
    slave.wait()
    return reports


def frame_lines(out):
    return [l for l in out.splitlines() if " unit " in l or " noise " in l]


def check_conversation(lines, reports, mark=lambda side: side + " "):
    """The frames of the conversation, in order, as run_peers made it."""
    tx, rx = mark("TX"), mark("RX")
    hr = "unit 1 read holding registers (3)"
    expected = [
        (tx, hr + " request address 0 count 4 | CRC ok"),
        (rx, hr + " answer bytes 8 values " +
         ", ".join(str(v) for v in values(reports["read"])) + " | CRC ok | answer after "),
        (tx, "unit 1 write multiple registers (16) request address 2 count 2 bytes 4 values 7, 8"
             " | CRC ok"),
        (rx, "unit 1 write multiple registers (16) answer address 2 count 2 | CRC ok | answer"
             " after "),
        (tx, "unit 1 read coils (1) request address 0 count 5 | CRC ok"),
        (rx, "unit 1 read coils (1) answer bytes 1 bits 01010000 | CRC ok | answer after "),
        (tx, "unit 1 write single coil (5) request address 1 on | CRC ok"),
        (rx, "unit 1 write single coil (5) answer address 1 on | CRC ok | answer after "),
        (tx, hr + " request address 999 count 2 | CRC ok"),
        (rx, hr + " exception 02 illegal data address | CRC ok | answer after "),
        (tx, hr + " request address 0 count 1 | CRC ok"),
        (rx, hr + " answer bytes 2 values 100 | CRC BAD (got "),
        # Given up when due, or when mbpoll's next request came first.
        (tx, hr + " request unanswered"),
        (tx, hr + " request address 0 count 1 | CRC ok"),
        (tx, hr + " request unanswered within 1000.000 ms"),
    ]
    check(values(reports["read"]) == [100, 101, 102, 103], "mbpoll read 100..103")
    check(values(reports["coils"]) == [0, 1, 0, 1, 0], "mbpoll read the coils")
    check("Written 2 references" in reports["write"], "mbpoll wrote the registers")
    check("Illegal data address" in reports["illegal"], "mbpoll told the illegal address")
    check(len(lines) == len(expected),
          "%d frame lines, %d expected:\n%s" % (len(lines), len(expected), "\n".join(lines)))
    for line, (side, text) in zip(lines, expected):
        check(line.startswith(side + text), "line %r begins with %r" % (line, side + text))
    for line in lines:
        m = re.search(r"answer after (\d+\.\d+) ms", line)
        if m:
            check(0 <= float(m.group(1)) < 1000, "a response time in range: " + line)


def tap_and_decode():
    relay = Relay()
    slave = start_slave(relay)
    link = os.path.join(WORK, "link")
    capture = os.path.join(WORK, "peers.pcapng")
    tap = subprocess.Popen([TALMOCLI, "tap", "--device", relay.path("master"), "--baud", "9600",
                            "--modbus", "rtu", "--capture", capture, "--link", link],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(100):
        if os.path.exists(link):
            break
        time.sleep(0.05)
    # mbpoll opens the tap's link; the tap's device is the relay's end
    # toward the slave.
    reports = run_peers(relay, link, slave)
    time.sleep(1.2)  # the last request's time-out
    tap.send_signal(signal.SIGINT)
    out, err = tap.communicate(timeout=30)
    check(tap.returncode == 0, "tap ends well: " + err)
    live = frame_lines(out)
    print("\n".join(live))
    check_conversation(live, reports)

    decode = subprocess.run([TALMOCLI, "decode", "--modbus", "rtu", capture],
                            capture_output=True, text=True, timeout=60)
    check(decode.returncode == 0, "decode ends well: " + decode.stderr)
    check(frame_lines(decode.stdout) == live, "decode shows the lines the tap showed:\n" +
          decode.stdout)

    stats = subprocess.run([TALMOCLI, "stats", "--modbus", "rtu", "--json", capture],
                           capture_output=True, text=True, timeout=60)
    check(stats.returncode == 0, "stats ends well: " + stats.stderr)
    figures = {(f["unit"], f["function"]): f for f in json.loads(stats.stdout)["functions"]}
    counts = {k: (f["requests"], f["answers"], f["exceptions"], f["check_failures"],
                  f["unanswered"]) for k, f in figures.items()}
    check(counts == {(1, 3): (4, 1, 1, 1, 2), (1, 16): (1, 1, 0, 0, 0), (1, 1): (1, 1, 0, 0, 0),
                     (1, 5): (1, 1, 0, 0, 0)}, "stats counts: %r" % counts)
    times = sorted(float(t) for t in re.findall(r"answer after (\d+\.\d+) ms", "\n".join(live)))
    check(figures[(1, 3)]["response_ms"]["max"] == max(
        float(t) for l in live if "registers (3)" in l
        for t in re.findall(r"answer after (\d+\.\d+) ms", l)),
        "stats' longest response of function 3 is the one shown")
    check(len(times) == 5, "five answers paired")

    if shutil.which("tshark"):
        fields = subprocess.run(
            ["tshark", "-r", capture, "-d", "rtacser.data,mbrtu", "-T", "fields", "-e",
             "mbrtu.unit_id", "-e", "modbus.func_code", "-e", "modbus.reference_num", "-e",
             "modbus.word_cnt", "-Y", "mbrtu"],
            capture_output=True, text=True, timeout=120).stdout.splitlines()
        ours = [l for l in live if "unanswered" not in l]
        check(len(fields) == len(ours), "tshark sees %d frames, we %d" % (len(fields), len(ours)))
        for f, line in zip(fields, ours):
            unit, function, reference, words = (f.split("\t") + ["", "", "", ""])[:4]
            m = re.search(r"unit (\d+) .*?\((\d+)\)", line)
            check(m and m.group(1) == unit and m.group(2) == function.split(",")[0],
                  "unit and function agree: %r / %r" % (f, line))
            if reference:
                check(" address %s " % reference in line, "reference agrees: %r / %r" % (f, line))
            if words and "request" in line:
                check(" count %s" % words in line, "word count agrees: %r / %r" % (f, line))
    relay.stop = True


def monitor_two_ports():
    relay = Relay()
    slave = start_slave(relay)
    monitor = subprocess.Popen(
        [TALMOCLI, "monitor", "--baud", "9600", "--modbus", "rtu", "--device",
         "TX=" + relay.path("tx"), "--device", "RX=" + relay.path("rx")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Its ports are open once it says so.
    while "Ctrl+C ends" not in monitor.stderr.readline():
        check(monitor.poll() is None, "monitor starts")
    reports = run_peers(relay, relay.path("master"), slave)
    time.sleep(1.2)
    monitor.send_signal(signal.SIGINT)
    out, err = monitor.communicate(timeout=30)
    lines = frame_lines(out)
    print("\n".join(lines))
    check_conversation(lines, reports)
    relay.stop = True


tap_and_decode()
monitor_two_ports()
if failures:
    print("%d checks failed" % len(failures))
    sys.exit(1)
print("all checks passed")
