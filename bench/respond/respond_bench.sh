#!/usr/bin/env bash
# `talmocli respond` answering a host program of the bench's own (pyserial)
# over a null-modem cable of pseudo-terminals at 115,200 baud: an STX/ETX
# protocol with a sequence number and a BCC, the rule answering after
# 2 ms. Every exchange is checked (the sequence echoed, the BCC right, no
# answer twice, none lost); the response delay is the time from the
# request written to the first byte of its answer read, less the rule's
# 2 ms: what the framing (3.5 characters of silence) and the program add.
# Prints the figures and a RESPOND line of key=value pairs.
# Usage: bench/respond/respond_bench.sh [BUILD_DIR] [EXCHANGES, default 100000]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
count=${2:-100000}
cli=$build/src/app/talmocli
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
. "$root/tools/setup.sh"
talmo_install python3-serial >&2

work=$(mktemp -d /tmp/talmo-respond-XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work
printf '%s\n' '$02 <seq> * $03 ? -> $02 <seq> ACK $03 [xor from 1] [delay 2]' > "$work/rules"

PYTHONPATH=$root/bench exec /usr/bin/python3 - "$cli" "$work/rules" "$count" <<'EOF'
import os, select, signal, subprocess, sys, termios, threading, time, tty
import serial
from benchkit import line

cli, rules, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
DELAY = 0.002


dev, host = line(), line()
stop = threading.Event()


def cable():
    """The far ends joined: what one side writes, the other reads."""
    ends = {dev[0]: host[0], host[0]: dev[0]}
    while not stop.is_set():
        r, _, _ = select.select(list(ends), [], [], 0.1)
        for fd in r:
            try:
                os.write(ends[fd], os.read(fd, 4096))
            except OSError:
                pass


threading.Thread(target=cable, daemon=True).start()
proc = subprocess.Popen([cli, "respond", "--device", dev[2], "--baud", "115200", rules],
                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
time.sleep(1.0)
port = serial.Serial(host[2], 115200, timeout=1)
delays, bad, lost, twice = [], 0, 0, 0
for i in range(count):
    seq = i % 200 + 32
    body = b"READ%05d" % (i % 100000)
    frame = bytes([2, seq]) + body + bytes([3])
    bcc = 0
    for b in frame[1:]:
        bcc ^= b
    t0 = time.monotonic()
    port.write(frame + bytes([bcc]))
    first = port.read(1)
    t1 = time.monotonic()
    if not first:
        lost += 1
        continue
    rest = port.read(6)
    answer = first + rest
    want = bytes([2, seq]) + b"ACK" + bytes([3])
    x = 0
    for b in want[1:]:
        x ^= b
    if answer != want + bytes([x]):
        bad += 1
    delays.append((t1 - t0 - DELAY) * 1000)
# Nothing more may come: an answer twice would be here.
port.timeout = 0.2
extra = port.read(4096)
twice = len(extra) // 7
proc.send_signal(signal.SIGTERM)
proc.wait(10)
stop.set()
delays.sort()
med = delays[len(delays) // 2] if delays else 0
p99 = delays[min(len(delays) - 1, int(len(delays) * 0.99))] if delays else 0
print("respond: %d exchanges at 115,200 baud, rule delay 2 ms: %d bad, %d lost, %d twice; "
      "delay beyond the rule's: median %.3f ms, p99 %.3f ms (target: median within 1 ms)"
      % (count, bad, lost, twice, med, p99))
print("RESPOND exchanges=%d bad=%d lost=%d twice=%d med=%.3f p99=%.3f" % (count, bad, lost, twice, med, p99))
EOF
