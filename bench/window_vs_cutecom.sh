#!/usr/bin/env bash
# The window under a paced flood, side by side with CuteCom (a Qt serial
# terminal that shows every line): the same 40-byte lines (STX, 36 letters,
# ETX, CR LF) from a pseudo-terminal, each program on its own Xvfb; talmo
# frames them by the signs 02/0A with names on. Measures the CPU of the
# program and of its X server over a window of the run (utime + stime from
# /proc) and, for talmo, its resident memory.
# A feed is LINES_PER_SECONDxLINES_PER_WRITE: 2000x10 writes ten lines at
# a time 200 times a second, 2000x1 one line per write 2,000 times a second
# (as a UART hands over small blocks). Every feed is measured in the same
# run, runs alternating (talmo, CuteCom, next feed, ...); prints the
# medians and the ratio talmo / CuteCom.
#
# usage: bench/window_vs_cutecom.sh [--talmo PATH] [--feeds "2000x10 2000x1"] [--runs N] [--seconds S] [--warmup S]
# Last line per feed: VS-CUTECOM feed=F lines=L per_write=W talmo_cpu=.. talmo_x=.. cutecom_cpu=.. cutecom_x=.. ratio=.. talmo_rss_mib=..
# CuteCom, Xvfb and xdotool are installed when missing (root); without
# CuteCom the talmo figures are printed alone, with a note.
set -uo pipefail
TALMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)

talmo=$TALMO_ROOT/build/src/app/talmo feeds="2000x10 2000x1" runs=3 seconds=20 warmup=5
while [ $# -gt 0 ]; do
  case $1 in
    --talmo) talmo=$2; shift ;;
    --feeds) feeds=$2; shift ;;
    --runs) runs=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --warmup) warmup=$2; shift ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "window_vs_cutecom: unknown option '$1'" >&2; exit 2 ;;
  esac
  shift
done
[ -x "$talmo" ] || { echo "window_vs_cutecom: $talmo is missing; build the target talmo first" >&2; exit 1; }

. "$TALMO_ROOT/tools/setup.sh"
talmo_install xvfb xdotool cutecom >/dev/null 2>&1 || true
command -v Xvfb >/dev/null && command -v xdotool >/dev/null ||
  { echo "window_vs_cutecom: Xvfb and xdotool are needed (apt-get install xvfb xdotool)" >&2; exit 1; }
have_cutecom=1
command -v cutecom >/dev/null || { have_cutecom=0; echo "window_vs_cutecom: CuteCom is not installed; talmo alone" >&2; }

work=$(mktemp -d /tmp/talmo-vscc-XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

for f in $feeds; do
  [[ $f =~ ^[0-9]+x[0-9]+$ ]] || { echo "window_vs_cutecom: a feed is LINESxPER_WRITE, e.g. 2000x1, not '$f'" >&2; exit 2; }
done

# The device: the far end of a pseudo-terminal. It prints the near end's
# path, waits until the file "go" exists, then writes RATE lines a second,
# PER lines in each write, until "stop" exists. A write that is late is
# caught up in writes of PER lines, never merged.
cat > "$work/feeder.py" <<'PY'
import os, pty, sys, time
rate, per, work = float(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
master, slave = pty.openpty()
print(os.ttyname(slave), flush=True)
os.close(slave)
letters = b"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
def frame(n):
    body = (letters[n % 36:] + letters[:n % 36])
    return b"\x02" + body + b"\x03\r\n"
while not os.path.exists(work + "/go"):
    time.sleep(0.05)
period = per / rate
t0 = time.monotonic(); sent = 0; tick = 0
while tick % 64 or not os.path.exists(work + "/stop"):
    tick += 1
    due = tick * per
    while sent < due:
        os.write(master, b"".join(frame(i) for i in range(sent, sent + per)))
        sent += per
    delay = t0 + tick * period - time.monotonic()
    if delay > 0:
        time.sleep(delay)
PY

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
hz=$(getconf CLK_TCK)
display=$((90 + RANDOM % 400))

# run PROGRAM FEED: writes "program_cpu x_cpu rss_mib" (nan when the run
# failed) into $work/result. Runs in this shell, so that cleanup knows its
# processes.
run() {
  local prog=$1 rate=${2%x*} per=${2#*x} dir="$work/run" disp=":$display" dev x prog_pid feeder_pid i
  display=$((display + 1))
  rm -rf "$dir"; mkdir -p "$dir"
  Xvfb "$disp" -screen 0 1280x1024x24 -nolisten tcp > /dev/null 2>&1 & x=$!; pids+=("$x")
  for i in $(seq 50); do DISPLAY=$disp xdotool getmouselocation > /dev/null 2>&1 && break; sleep 0.1; done
  python3 "$work/feeder.py" "$rate" "$per" "$dir" > "$dir/dev" & feeder_pid=$!; pids+=("$feeder_pid")
  for i in $(seq 50); do [ -s "$dir/dev" ] && break; sleep 0.1; done
  dev=$(cat "$dir/dev")
  if [ "$prog" = talmo ]; then
    mkdir -p "$dir/cfg/Velkerstam"
    printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"%s"="COM5"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n"REGXCOM"=dword:00000000\n"REGBAUD"=dword:00000009\n"REGPROTOCOL"=hex:02,0a,00,00,01,00,00,00,00\n' \
      "$dev" > "$dir/cfg/Velkerstam/TALMO.reg"
    DISPLAY=$disp QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=$dir/cfg HOME=$dir "$talmo" > "$dir/log" 2>&1 & prog_pid=$!
  else
    mkdir -p "$dir/cfg/CuteCom"
    printf '[sessions]\n1\\BaudRate=115200\n1\\DataBits=8\n1\\Device=%s\n1\\FlowControl=0\n1\\OpenMode=3\n1\\Parity=0\n1\\StopBits=1\n1\\autoReconnect=false\n1\\name=Default\n1\\showCtrlCharacters=false\n1\\showTimestamp=false\nsize=1\n' \
      "$dev" > "$dir/cfg/CuteCom/CuteCom5.conf"
    DISPLAY=$disp QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=$dir/cfg HOME=$dir cutecom > "$dir/log" 2>&1 & prog_pid=$!
  fi
  pids+=("$prog_pid")
  local wid=""
  for i in $(seq 300); do
    wid=$(DISPLAY=$disp xdotool search --onlyvisible --pid "$prog_pid" 2>/dev/null | tail -1)
    [ -n "$wid" ] && break; sleep 0.1
  done
  if [ -z "$wid" ]; then
    echo "window_vs_cutecom: $prog showed no window in 30 s" >&2
    kill "$prog_pid" "$feeder_pid" "$x" 2>/dev/null; wait "$prog_pid" "$feeder_pid" "$x" 2>/dev/null
    pids=(); echo "nan nan nan" > "$work/result"; return
  fi
  sleep 1
  # Open the port by clicking its button.
  local bx by
  if [ "$prog" = talmo ]; then
    # Open Port sits at x 440..515; its top follows the window height.
    local h; h=$(DISPLAY=$disp xdotool getwindowgeometry "$wid" | awk -F'[x ]' '/Geometry/ { print $NF }')
    bx=477 by=$(awk -v h="$h" 'BEGIN { t = 2 * int(h / 32) + int(h * 6 / 10); print t + 176 - 25 + 12 }')
  else
    bx=50 by=42
  fi
  for i in 1 2 3; do
    DISPLAY=$disp xdotool mousemove --window "$wid" "$bx" "$by" click 1 2>/dev/null || true
    sleep 0.5
    ls -l "/proc/$prog_pid/fd" 2>/dev/null | grep -q -- "-> $dev\$" && break
  done
  if ! ls -l "/proc/$prog_pid/fd" 2>/dev/null | grep -q -- "-> $dev\$"; then
    echo "window_vs_cutecom: $prog did not open $dev" >&2
    kill "$prog_pid" "$feeder_pid" "$x" 2>/dev/null; wait "$prog_pid" "$feeder_pid" "$x" 2>/dev/null
    pids=(); echo "nan nan nan" > "$work/result"; return
  fi
  touch "$dir/go"
  sleep "$warmup"
  local p0 x0 p1 x1
  p0=$(ticks "$prog_pid") x0=$(ticks "$x")
  sleep "$seconds"
  p1=$(ticks "$prog_pid") x1=$(ticks "$x")
  local rss; rss=$(rss_kib "$prog_pid")
  touch "$dir/stop"
  kill "$prog_pid" "$feeder_pid" 2>/dev/null || true; sleep 0.3; kill -9 "$prog_pid" 2>/dev/null || true
  kill "$x" 2>/dev/null || true
  wait "$prog_pid" "$feeder_pid" "$x" 2>/dev/null || true
  pids=()  # all ended: cleanup must not signal their numbers again
  awk -v a="$p0" -v b="$p1" -v c="$x0" -v d="$x1" -v s="$seconds" -v hz="$hz" -v r="$rss" \
    'BEGIN { printf "%.1f %.1f %.1f\n", 100 * (b - a) / hz / s, 100 * (d - c) / hz / s, r / 1024 }' > "$work/result"
}

median() { tr ' ' '\n' | grep -v -e '^$' -e nan | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "nan" || b == "nan" || b + 0 == 0) print "nan"; else printf "%.2f\n", a / b }'; }

echo "talmo against CuteCom, paced floods of 40-byte lines from a pseudo-terminal (LINES/s x lines per write), Xvfb each; $runs alternating runs of ${seconds} s (after ${warmup} s) per feed; CPU in % of a core"
declare -A tc tx cc cx tr
for r in $(seq "$runs"); do
  for feed in $feeds; do
    run talmo "$feed"; read -r a b m < "$work/result"
    tc[$feed]+=" $a" tx[$feed]+=" $b" tr[$feed]+=" $m"
    echo "  $feed run $r: talmo $a %, its Xvfb $b %, RSS $m MiB" >&2
    if [ $have_cutecom = 1 ]; then
      run cutecom "$feed"; read -r a b m < "$work/result"
      cc[$feed]+=" $a" cx[$feed]+=" $b"
      echo "  $feed run $r: CuteCom $a %, its Xvfb $b %" >&2
    fi
  done
done
for feed in $feeds; do
  mtc=$(echo "${tc[$feed]}" | median) mtx=$(echo "${tx[$feed]}" | median) mtr=$(echo "${tr[$feed]}" | median)
  mcc=$(echo "${cc[$feed]:-}" | median) mcx=$(echo "${cx[$feed]:-}" | median)
  printf '  %8s: talmo %s %% (Xvfb %s %%), CuteCom %s %% (Xvfb %s %%), talmo/CuteCom %s\n' \
    "$feed" "$mtc" "$mtx" "$mcc" "$mcx" "$(ratio "$mtc" "$mcc")"
  echo "VS-CUTECOM feed=$feed lines=${feed%x*} per_write=${feed#*x} talmo_cpu=$mtc talmo_x=$mtx cutecom_cpu=$mcc cutecom_x=$mcx ratio=$(ratio "$mtc" "$mcc") talmo_rss_mib=$mtr"
done
