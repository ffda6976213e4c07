#!/usr/bin/env bash
# `talmocli term` beside tio in the same run, as a user has them: each on a
# pseudo-terminal of its own as its terminal (drained here), and another as
# the board's port at 115,200 baud, with a time stamp on every line
# (`--stamp`, tio's `--timestamp`).
# - Latency: a text line written on the board's side, to the moment its
#   line has ended on the program's terminal; the programs in turn, one
#   line at a time; median and 99th percentile.
# - CPU: 10 s of continuous text at the line's pace (64-byte lines, one
#   every 5.56 ms: 11,520 bytes a second), into both at once; the run time
#   of all the program's threads (/proc/PID/task/*/schedstat).
# - Idle: wake-ups (context switches of all threads) over 5 s of nothing.
# Prints the figures and a TERM line of key=value pairs.
# Usage: bench/term/term_bench.sh [BUILD_DIR] [SECONDS of text, default 10]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
seconds=${2:-10}
cli=$build/src/app/talmocli
[ -x "$cli" ] || { echo "no $cli: run ./test or ./run first" >&2; exit 1; }
. "$root/tools/setup.sh"
talmo_install tio python3

work=$(mktemp -d /tmp/talmo-term-XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work HOME=$work  # never the user's settings (tio reads ~/.tiorc)

PYTHONPATH=$root/bench exec python3 - "$cli" "$seconds" <<'EOF'
import os, select, signal, subprocess, sys, termios, threading, time, tty
from benchkit import counters, line

cli, seconds = sys.argv[1], float(sys.argv[2])
TRIPS = 1000


names = ("talmocli", "tio")
lines = {n: line() for n in names}
terms = {n: os.openpty() for n in names}  # the program's terminal: (master, slave)
for n in names:
    os.set_blocking(terms[n][0], False)
argv = {
    "talmocli": [cli, "term", "--device", lines["talmocli"][2], "--baud", "115200", "--stamp"],
    "tio": ["tio", "--timestamp", "--mute", "-b", "115200", lines["tio"][2]],
}
procs = {}
for n in names:
    t = terms[n][1]
    procs[n] = subprocess.Popen(argv[n], stdin=t, stdout=t, stderr=subprocess.DEVNULL,
                                start_new_session=True)


def drain(fd, until=None, limit=2.0):
    """Reads the terminal until `until` (bytes) has come, or for `limit` s."""
    got = b""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        r, _, _ = select.select([fd], [], [], max(0, end - time.monotonic()))
        if not r:
            break
        try:
            got += os.read(fd, 65536)
        except BlockingIOError:
            continue
        if until is not None and until in got:
            return got, time.monotonic()
    return got, None


time.sleep(1.5)
for n in names:
    drain(terms[n][0], limit=0.3)
    if procs[n].poll() is not None:
        sys.exit("term_bench: %s ended at start (status %s)" % (n, procs[n].returncode))

# -- latency: one line at a time, the programs in turn ----------------------
lat = {n: [] for n in names}
for i in range(TRIPS):
    for n in (names if i % 2 == 0 else names[::-1]):
        text = b"line %06d of the board's own text output\r\n" % i
        t0 = time.monotonic()
        os.write(lines[n][0], text)
        # The line has ended once its text and the newline after it are out.
        got, t1 = drain(terms[n][0], until=text[:-2] + b"\r\n", limit=2.0)
        if t1 is None:
            sys.exit("term_bench: %s did not show line %d: %r" % (n, i, got[-200:]))
        lat[n].append((t1 - t0) * 1e6)


def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(len(v) * p))]


# -- idle wake-ups -----------------------------------------------------------
time.sleep(0.5)
before = {n: counters(procs[n].pid) for n in names}
time.sleep(5)
after = {n: counters(procs[n].pid) for n in names}
idle = {n: (after[n][0] - before[n][0]) / 5 for n in names}

# -- CPU at 115,200 baud of text ----------------------------------------------
stop = threading.Event()


def drainer():
    fds = [terms[n][0] for n in names]
    while not stop.is_set():
        r, _, _ = select.select(fds, [], [], 0.2)
        for fd in r:
            try:
                os.read(fd, 65536)
            except (BlockingIOError, OSError):
                pass


sent = [0]


def feed():
    text = b"%05d temp=21.5 volts=3.30 state=running ok; counter=0000000\r\n"
    every = 64 / 11520
    nxt = time.monotonic()
    i = 0
    while not stop.is_set():
        chunk = (text % (i % 100000))[:64]
        for n in names:
            os.write(lines[n][0], chunk)
        sent[0] += len(chunk)
        i += 1
        nxt += every
        pause = nxt - time.monotonic()
        if pause > 0:
            time.sleep(pause)


threads = [threading.Thread(target=drainer, daemon=True), threading.Thread(target=feed, daemon=True)]
for t in threads:
    t.start()
time.sleep(1)
before = {n: counters(procs[n].pid) for n in names}
s0, t0 = sent[0], time.monotonic()
time.sleep(seconds)
after = {n: counters(procs[n].pid) for n in names}
rate = (sent[0] - s0) / (time.monotonic() - t0)
stop.set()
for t in threads:
    t.join()
cpu = {n: (after[n][1] - before[n][1]) / seconds * 100 for n in names}
busy_wake = {n: (after[n][0] - before[n][0]) / seconds for n in names}

for n in names:
    procs[n].send_signal(signal.SIGTERM)
for n in names:
    try:
        procs[n].wait(10)
    except subprocess.TimeoutExpired:
        procs[n].kill()

med = {n: pct(lat[n], 0.5) for n in names}
p99 = {n: pct(lat[n], 0.99) for n in names}
ratio = lambda a, b: a / b if b > 0 else float("inf")
print("term beside tio, --stamp / --timestamp, 115,200 baud pseudo-terminals")
for n in names:
    print("%-9s latency median %7.1f us, p99 %7.1f us; idle %.1f wake-ups/s; text %.0f B/s: %5.2f %% of a core, %.0f wake-ups/s"
          % (n, med[n], p99[n], idle[n], rate, cpu[n], busy_wake[n]))
print("ratio talmocli / tio: latency median %.2f, p99 %.2f, CPU %.2f (targets <= 1)"
      % (ratio(med["talmocli"], med["tio"]), ratio(p99["talmocli"], p99["tio"]), ratio(cpu["talmocli"], cpu["tio"])))
print("TERM med_cli=%.1f med_tio=%.1f p99_cli=%.1f p99_tio=%.1f idle_cli=%.2f idle_tio=%.2f cpu_cli=%.3f cpu_tio=%.3f "
      "rate=%.0f ratio_med=%.2f ratio_p99=%.2f ratio_cpu=%.2f"
      % (med["talmocli"], med["tio"], p99["talmocli"], p99["tio"], idle["talmocli"], idle["tio"],
         cpu["talmocli"], cpu["tio"], rate, ratio(med["talmocli"], med["tio"]),
         ratio(p99["talmocli"], p99["tio"]), ratio(cpu["talmocli"], cpu["tio"])))
EOF
