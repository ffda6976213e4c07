#!/usr/bin/env bash
# What `talmocli tap` costs, beside socat proxying the same kind of line in
# the same run. The "device" is a pseudo-terminal pair held here; the tap
# (or socat) opens its far end and offers a link that the "program" (here
# too) opens. Figures:
# - latency one byte takes through the tap, per direction, against the same
#   byte through a bare pty pair (what the tap adds) and through socat;
# - how soon a speed the program sets reaches the device (tcgetattr polled
#   on the device's end);
# - CPU per MiB forwarded, both ways at once, at a paced 115,200-baud
#   exchange and at full speed: the tap as a user watches it (framing and
#   showing both directions, its output going to /dev/null), and the tap
#   with --quiet, which forwards as socat does and shows nothing; socat -x,
#   which shows both directions too (a hex dump to /dev/null);
# - wake-ups with the link open and nothing moving.
# The tap, socat and a bare pair run at once and are measured in turns.
# Prints the figures and a TAP line of key=value pairs.
# Usage: bench/tap/tap_bench.sh [BUILD_DIR] [SECONDS per load phase, default 5]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
seconds=${2:-5}
cli=$build/src/app/talmocli
[ -x "$cli" ] || { echo "no $cli: build talmocli first" >&2; exit 1; }
. "$root/tools/setup.sh"
talmo_install socat python3 >&2

work=$(mktemp -d /tmp/talmo-tap-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work  # never the user's settings
export XDG_RUNTIME_DIR=$work

PYTHONPATH=$root/bench exec python3 - "$cli" "$seconds" "$work" <<'EOF'
import os, select, signal, subprocess, sys, termios, threading, time, tty
from benchkit import counters

cli, seconds, work = sys.argv[1], float(sys.argv[2]), sys.argv[3]
SAMPLES = 3000


def pair():
    m, s = os.openpty()
    tty.setraw(s)
    tty.setraw(m)
    os.set_blocking(m, False)
    return m, s, os.ttyname(s)


def open_link(path, limit=5.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            tty.setraw(fd)
            return fd
        except OSError:
            time.sleep(0.01)
    sys.exit("tap_bench: %s never appeared" % path)


def one_way(src, dst):
    """Microseconds from a write of one byte to its read on the far side."""
    t0 = time.perf_counter_ns()
    os.write(src, b"\x55")
    p = select.poll()
    p.register(dst, select.POLLIN)
    while True:
        p.poll(1000)
        try:
            if os.read(dst, 16):
                return (time.perf_counter_ns() - t0) / 1000
        except BlockingIOError:
            pass


def exchange(dev, prog, secs, paced):
    """Both ways at once for secs; paced: 40-byte blocks every 3.5 ms each
    way (115,200 baud). Returns bytes forwarded (both ways together)."""
    stop = threading.Event()
    got = [0, 0]
    block = bytes(range(256)) * 16 if not paced else bytes(range(40))

    def pump(me, peer_idx, idx):
        nxt = time.monotonic()
        p = select.poll()
        p.register(me, select.POLLIN | (0 if paced else select.POLLOUT))
        while not stop.is_set():
            for fd, ev in p.poll(5):
                if ev & select.POLLIN:
                    try:
                        got[idx] += len(os.read(me, 65536))
                    except BlockingIOError:
                        pass
                if not paced and ev & select.POLLOUT:
                    try:
                        os.write(me, block)
                    except BlockingIOError:
                        pass
            if paced and time.monotonic() >= nxt:
                os.write(me, block)
                nxt += 0.0035
        # What is still on its way is read.
        end = time.monotonic() + 1
        while time.monotonic() < end:
            if p.poll(100):
                try:
                    got[idx] += len(os.read(me, 65536))
                except BlockingIOError:
                    pass

    ts = [threading.Thread(target=pump, args=(dev, 1, 0)), threading.Thread(target=pump, args=(prog, 0, 1))]
    for t in ts:
        t.start()
    time.sleep(secs)
    stop.set()
    for t in ts:
        t.join()
    return got[0] + got[1]


def settings_latency(prog, dev):
    """Microseconds from the program's tcsetattr to the device's end
    showing the new speed, alternating 9600 and 115200."""
    out = []
    for i in range(200):
        speed = termios.B9600 if i % 2 == 0 else termios.B115200
        a = termios.tcgetattr(prog)
        a[4] = a[5] = speed
        t0 = time.perf_counter_ns()
        termios.tcsetattr(prog, termios.TCSANOW, a)
        while termios.tcgetattr(dev)[5] != speed:
            if time.perf_counter_ns() - t0 > 2e9:
                sys.exit("tap_bench: the speed never reached the device")
        out.append((time.perf_counter_ns() - t0) / 1000)
    out.sort()
    return out[len(out) // 2], out[int(len(out) * 0.99)]


def start(kind, dev_path, link):
    if kind.startswith("tap"):
        quiet = ["--quiet"] if kind == "tap-quiet" else []
        return subprocess.Popen([cli, "tap", "--device", dev_path, "--link", link, "--baud", "115200"] + quiet,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # socat -x: socat showing both directions too (a hex dump, on standard
    # error), the peer of the tap as a user watches it.
    dump = ["-x"] if kind == "socat-x" else []
    return subprocess.Popen(["socat"] + dump + ["PTY,link=%s,raw,echo=0" % link, "%s,raw,echo=0" % dev_path],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# All three paths are open at once and measured in turns (a latency sample
# of each in turn, CPU phases alternating), so that whatever else the
# machine does falls on each of them alike.
ROUNDS = 3
KINDS = ("tap", "tap-quiet", "socat", "socat-x")
res = {k: {} for k in KINDS}
dm_, ds_, _ = pair()
os.set_blocking(ds_, False)
ends = {}
for kind in KINDS:
    m, s, path = pair()
    link = "%s/%s-link" % (work, kind)
    proc = start(kind, path, link)
    ends[kind] = (m, open_link(link), proc)
time.sleep(0.3)

# Latency: one trip each way through each path in turn, the paths and the
# directions in a rotating order, so that none always follows another.
trips = {k: ([], []) for k in ("direct", "tap", "socat")}
pairs = [("direct", (dm_, ds_)), ("tap", ends["tap"][:2]), ("socat", ends["socat"][:2])]
for i in range(SAMPLES):
    for j in range(len(pairs)):
        k, (a, b) = pairs[(i + j) % len(pairs)]
        if (i // len(pairs)) % 2:
            trips[k][1].append(one_way(b, a))
            trips[k][0].append(one_way(a, b))
        else:
            trips[k][0].append(one_way(a, b))
            trips[k][1].append(one_way(b, a))
q = lambda v, f: sorted(v)[min(len(v) - 1, int(len(v) * f))]
lat = {k: ((q(ab, 0.5), q(ab, 0.99)), (q(ba, 0.5), q(ba, 0.99))) for k, (ab, ba) in trips.items()}
res["direct"] = lat["direct"]
for kind in ("tap", "socat"):
    res[kind]["lat"] = lat[kind]
os.close(dm_)
os.close(ds_)

m, prog, proc = ends["tap"]
res["tap"]["settings"] = settings_latency(prog, m)
# Idle: the link open, nothing moving, once the last line's time-out
# (1,999 ms) has ended it.
time.sleep(2.5)
c0 = counters(proc.pid)
time.sleep(seconds)
c1 = counters(proc.pid)
res["tap"]["idle"] = (c1[0] - c0[0]) / seconds

# CPU per MiB: each phase in turn for each path, ROUNDS times; the median
# round of each.
for mode in ("paced", "full"):
    runs = {k: [] for k in KINDS}
    for rnd in range(ROUNDS):
        for kind in KINDS:
            m, prog, proc = ends[kind]
            c0 = counters(proc.pid)
            n = exchange(m, prog, seconds, mode == "paced")
            c1 = counters(proc.pid)
            runs[kind].append(((c1[1] - c0[1]) / (n / 1048576.0) * 1000 if n else float("inf"),
                               n / seconds / 1e6, (c1[0] - c0[0]) / seconds))
    for kind in KINDS:
        res[kind][mode] = sorted(runs[kind])[ROUNDS // 2]

for kind in KINDS:
    m, prog, proc = ends[kind]
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
    os.close(prog)
    os.close(m)

d = res["direct"]
t, tq, so, sx = res["tap"], res["tap-quiet"], res["socat"], res["socat-x"]
added = lambda x, base: x - base
print("tap bench: talmocli tap and socat between a pseudo-terminal device and a program, %d samples each way, "
      "the median of %d alternating rounds of CPU" % (SAMPLES, ROUNDS))
print("direct pty pair:  one way median %.1f us, p99 %.1f us" % (d[0][0], d[0][1]))
for name, r in (("tap", t), ("socat", so)):
    (dm, dp), (pm, pp) = r["lat"]
    print("%-6s device->program median %.1f us (+%.1f), p99 %.1f us (+%.1f); program->device median %.1f us (+%.1f), p99 %.1f us (+%.1f)"
          % (name, dm, added(dm, d[0][0]), dp, added(dp, d[0][1]), pm, added(pm, d[1][0]), pp, added(pp, d[1][1])))
ratio = lambda a, b: a / b if b > 0 else float("inf")
tadd = max(added(t["lat"][0][0], d[0][0]), added(t["lat"][1][0], d[1][0]))
sadd = max(added(so["lat"][0][0], d[0][0]), added(so["lat"][1][0], d[1][0]))
tadd99 = max(added(t["lat"][0][1], d[0][1]), added(t["lat"][1][1], d[1][1]))
print("added median latency (the worse direction) tap / socat: %.1f / %.1f us, ratio %.2f" % (tadd, sadd, ratio(tadd, sadd)))
print("settings: the program's speed on the device after median %.0f us, p99 %.0f us" % t["settings"])
for mode, what in (("paced", "paced 115,200 baud both ways"), ("full", "full speed both ways")):
    print("%-30s tap %.1f ms CPU/MiB (%.2f MB/s, %.0f wake-ups/s); socat %.1f ms CPU/MiB (%.2f MB/s, %.0f wake-ups/s); ratio %.2f"
          % (what, t[mode][0], t[mode][1], t[mode][2], so[mode][0], so[mode][1], so[mode][2], ratio(t[mode][0], so[mode][0])))
    print("%-30s tap --quiet %.1f ms CPU/MiB (%.2f MB/s); ratio to socat %.2f"
          % ("", tq[mode][0], tq[mode][1], ratio(tq[mode][0], so[mode][0])))
    print("%-30s socat -x (showing both directions) %.1f ms CPU/MiB (%.2f MB/s); tap / socat -x %.2f"
          % ("", sx[mode][0], sx[mode][1], ratio(t[mode][0], sx[mode][0])))
print("idle: tap %.2f wake-ups/s with the link open" % t["idle"])
print("TAP lat_dev_med=%.1f lat_dev_p99=%.1f lat_prog_med=%.1f lat_prog_p99=%.1f direct_med=%.1f direct_p99=%.1f "
      "added_med=%.1f added_p99=%.1f socat_added_med=%.1f ratio_lat=%.2f set_med=%.0f set_p99=%.0f "
      "paced_tap=%.1f paced_socat=%.1f full_tap=%.1f full_socat=%.1f full_tap_mbs=%.2f full_socat_mbs=%.2f idle=%.2f "
      "ratio_paced=%.2f ratio_full=%.2f quiet_paced=%.1f quiet_full=%.1f ratio_quiet_paced=%.2f ratio_quiet_full=%.2f "
      "dump_paced=%.1f dump_full=%.1f dump_full_mbs=%.2f ratio_dump_paced=%.2f ratio_dump_full=%.2f"
      % (t["lat"][0][0], t["lat"][0][1], t["lat"][1][0], t["lat"][1][1], d[0][0], d[0][1], tadd, tadd99, sadd,
         ratio(tadd, sadd), t["settings"][0], t["settings"][1], t["paced"][0], so["paced"][0], t["full"][0],
         so["full"][0], t["full"][1], so["full"][1], t["idle"], ratio(t["paced"][0], so["paced"][0]),
         ratio(t["full"][0], so["full"][0]), tq["paced"][0], tq["full"][0], ratio(tq["paced"][0], so["paced"][0]),
         ratio(tq["full"][0], so["full"][0]), sx["paced"][0], sx["full"][0], sx["full"][1],
         ratio(t["paced"][0], sx["paced"][0]), ratio(t["full"][0], sx["full"][0])))
EOF
