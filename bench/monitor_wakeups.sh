#!/usr/bin/env bash
# How often `talmocli monitor` wakes up, and how much CPU it takes, beside
# picocom in the same run: both watch a pseudo-terminal of their own, first
# idle, then while a feeder writes a 40-byte STX/ETX frame into both lines
# every 3.5 ms (what a 115,200 baud line carries, about 286 frames a
# second). Wake-ups are the context switches of all threads of the process
# (voluntary and involuntary, /proc/PID/task/*/status), CPU the time its
# threads ran (/proc/PID/task/*/schedstat). Prints the figures and a
# WAKEUPS line of key=value pairs.
# With `modbus` the feed is Modbus RTU back to back instead (a read request
# of 8 bytes and its 13-byte answer, each after the 3.5-character silence
# that parts frames at 115,200 baud, 1.75 ms), the monitor runs with
# `--modbus rtu`, and the line is MODBUS_WAKEUPS.
# Usage: bench/monitor_wakeups.sh [BUILD_DIR] [SECONDS per phase, default 10] [modbus]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-10}
mode=${3:-frames}
cli=$build/src/app/talmocli
[ -x "$cli" ] || { echo "no $cli: run ./test or ./run first" >&2; exit 1; }
. "$root/tools/setup.sh"
talmo_install picocom python3

work=$(mktemp -d /tmp/talmo-wakeups-XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work  # never the user's settings

PYTHONPATH=$root/bench exec python3 - "$cli" "$seconds" "$mode" <<'EOF'
import os, signal, subprocess, sys, termios, threading, time, tty
from benchkit import counters, crc, line

cli, seconds, mode = sys.argv[1], float(sys.argv[2]), sys.argv[3]
CHAR = 10 / 115200  # one character's time on the line


if mode == "modbus":
    # Each frame with the time it takes on the line and the silence after it.
    FRAMES = [crc([1, 3, 0, 0, 0, 4]), crc([1, 3, 8, 0, 42, 0x12, 0x34, 0, 0, 0, 7])]
    PACE = [len(f) * CHAR + 0.00175 for f in FRAMES]
    WATCH = ["--modbus", "rtu"]
    TAG, WHAT = "MODBUS_WAKEUPS", "Modbus RTU frames/s back to back (8 and 13 bytes, 1.75 ms apart)"
else:
    FRAMES = [b"\x02" + bytes(range(0x20, 0x20 + 38)) + b"\x03"]
    PACE = [0.0035]
    WATCH = ["--first", "02", "--last", "03", "--hex"]
    TAG, WHAT = "WAKEUPS", "frames/s of 40 bytes (115,200 baud, paced)"


def terminal():
    """A terminal for a program's own output, drained here."""
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave


def drain(fds, stop):
    import select
    while not stop.is_set():
        ready, _, _ = select.select(fds, [], [], 0.2)
        for fd in ready:
            try:
                os.read(fd, 65536)
            except OSError:
                fds.remove(fd)


def measure(procs, secs):
    before = {n: counters(p.pid) for n, p in procs.items()}
    time.sleep(secs)
    after = {n: counters(p.pid) for n, p in procs.items()}
    return {n: ((after[n][0] - before[n][0]) / secs, (after[n][1] - before[n][1]) / secs * 100) for n in procs}


lines = {"talmocli": line(), "picocom": line()}
terms = {"talmocli": terminal(), "picocom": terminal()}
stop = threading.Event()
drainer = threading.Thread(target=drain, args=([t[0] for t in terms.values()], stop), daemon=True)
drainer.start()

procs = {}
t = terms["talmocli"][1]
procs["talmocli"] = subprocess.Popen(
    [cli, "monitor", "--device", lines["talmocli"][2], "--baud", "115200"] + WATCH,
    stdin=subprocess.DEVNULL, stdout=t, stderr=subprocess.DEVNULL)
t = terms["picocom"][1]
procs["picocom"] = subprocess.Popen(
    ["picocom", "-q", "--nolock", "-b", "115200", lines["picocom"][2]],
    stdin=t, stdout=t, stderr=subprocess.DEVNULL, start_new_session=True)
time.sleep(2)  # both settled
for n, p in procs.items():
    if p.poll() is not None:
        sys.exit("monitor_wakeups: %s ended at start (status %s)" % (n, p.returncode))

idle = measure(procs, seconds)

sent = [0]


def feed():
    nxt = time.monotonic()
    i = 0
    while not stop.is_set():
        k = i % len(FRAMES)
        for n in ("talmocli", "picocom"):
            os.write(lines[n][0], FRAMES[k])
        sent[0] += 1
        i += 1
        nxt += PACE[k]
        pause = nxt - time.monotonic()
        if pause > 0:
            time.sleep(pause)


feeder = threading.Thread(target=feed, daemon=True)
feeder.start()
time.sleep(1)
f0 = sent[0]
t0 = time.monotonic()
stream = measure(procs, seconds)
rate = (sent[0] - f0) / (time.monotonic() - t0)
stop.set()
feeder.join()
for p in procs.values():
    p.send_signal(signal.SIGTERM)
for p in procs.values():
    try:
        p.wait(10)
    except subprocess.TimeoutExpired:
        p.kill()

c, p = stream["talmocli"], stream["picocom"]
ratio = lambda a, b: a / b if b > 0 else float("inf")
print("monitor wake-ups: talmocli monitor and picocom, each on its own pseudo-terminal, %.0f s a phase" % seconds)
print("idle:     talmocli %6.1f wake-ups/s, %5.2f %% of a core;  picocom %6.1f wake-ups/s, %5.2f %% of a core"
      % (idle["talmocli"] + idle["picocom"]))
print("stream:   %.0f %s" % (rate, WHAT))
print("          talmocli %6.1f wake-ups/s, %5.2f %% of a core;  picocom %6.1f wake-ups/s, %5.2f %% of a core"
      % (c + p))
print("ratio talmocli / picocom while streaming: wake-ups %.2f, CPU %.2f  (target <= 1.5; idle target <= 2 wake-ups/s)"
      % (ratio(c[0], p[0]), ratio(c[1], p[1])))
print(TAG + " idle_cli=%.2f idle_pico=%.2f idle_cpu_cli=%.3f stream_fps=%.0f stream_cli=%.1f stream_pico=%.1f "
      "cpu_cli=%.3f cpu_pico=%.3f ratio_wake=%.2f ratio_cpu=%.2f"
      % (idle["talmocli"][0], idle["picocom"][0], idle["talmocli"][1], rate, c[0], p[0], c[1], p[1],
         ratio(c[0], p[0]), ratio(c[1], p[1])))
EOF
