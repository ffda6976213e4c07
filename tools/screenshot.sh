#!/usr/bin/env bash
# Makes the pictures of the main window in docs/: the real talmo under Xvfb
# with a small window manager, receiving STX ... ETX frames with their time
# stamps on a pseudo-terminal fed by a small writer, at three sizes:
#   docs/window-least.png    the least size (every control whole)
#   docs/window-default.png  the first start's size
#   docs/window-large.png    1400 x 900
# and docs/screenshot.png (the README's picture), a copy of the default one.
# Nothing is typed into the pane, so no echo mixes with the received lines.
set -euo pipefail
TALMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$TALMO_ROOT/tools/setup.sh"
# openbox: without a window manager the window is never framed, sized or
# given focus as a user's is, and Qt places it differently.
TALMO_PACKAGES+=(xvfb xdotool imagemagick openbox fonts-dejavu-core python3)
talmo_install_packages
[ -n "${TALMO_SKIP_BUILD:-}" ] || TALMO_TARGETS="${TALMO_TARGETS:-talmo talmocli}" talmo_build build
talmo=$TALMO_ROOT/build/src/app/talmo
talmocli=$TALMO_ROOT/build/src/app/talmocli

# Everything this script starts is killed at the end, whatever ends it; the
# settings live in a temporary folder, never the user's own.
work=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_CONFIG_HOME/Velkerstam" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
settings=$XDG_CONFIG_HOME/Velkerstam/TALMO.reg

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds;
# fails after SECONDS, so that nothing here waits for ever.
wait_for() {
  local tries=$(($1 * 10)); shift
  while ! "$@" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# The writer: a pseudo-terminal whose far end talmo opens as a serial port.
# Each SIGUSR1 sends one burst of sensor frames (STX text ETX BCC, the BCC
# the XOR of text and ETX), a little apart, so the stamps differ as they do
# on a real line. The terminal is raw from the start, so that nothing the
# line discipline does (echo, CR to LF) reaches the picture; what talmo
# sends is read and dropped. It ends by itself after five minutes.
cat >"$work/writer.py" <<'PY'
import os, select, signal, sys, time, tty
master, slave = os.openpty()
tty.setraw(slave)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(os.ttyname(slave))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
readings = ["ID=TALMO-DEMO", "T=21.5C RH=48%", "T=21.6C RH=47%", "P=1013.2hPa",
            "T=21.6C RH=47%", "ALARM:DOOR OPEN", "T=21.7C RH=47%", "ACK:DOOR",
            "T=21.7C RH=46%", "P=1013.1hPa", "T=21.8C RH=46%", "STATUS:OK"]
bursts = 0
def ask(*_):
    global bursts
    bursts += 1
signal.signal(signal.SIGUSR1, ask)
end = time.monotonic() + 300
while time.monotonic() < end:
    if bursts:
        bursts -= 1
        for text in readings * 3:
            body = text.encode("ascii") + b"\x03"
            bcc = 0
            for b in body:
                bcc ^= b
            os.write(master, b"\x02" + body + bytes([bcc]))
            time.sleep(0.07)
    try:
        ready, _, _ = select.select([master], [], [], 0.1)
    except InterruptedError:
        continue
    if ready:
        try:
            os.read(master, 4096)
        except OSError:
            pass
PY
python3 "$work/writer.py" "$work/pty" &
writer=$!
pids+=("$writer")
wait_for 10 test -s "$work/pty" || { echo "the writer made no pseudo-terminal" >&2; exit 1; }
pty=$(cat "$work/pty")

# An X server of its own on a free display (others may run theirs), large
# enough for the large picture, and the window manager on it.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=("$!")
wait_for 10 test -s "$work/display" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -1 "$work/display")
openbox --sm-disable >/dev/null 2>&1 &
pids+=("$!")
wait_for 10 xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null || sleep 1

# write_settings COORDS: a fresh settings file for one start. The
# pseudo-terminal is listed as COM5 (the SERIALCOMM key) and selected at
# 115200 baud, 8N1; REGPROTOCOL holds first sign, last sign, then the boxes
# BCC, Time, Convert, HEX, STX_HL, PROD2, Manch: signs 02/03 with BCC and
# time stamps, Convert on. Direct is off: nothing is sent. COORDS is left,
# top, width, height, each four bytes low first; empty leaves it out (the
# first start).
write_settings() {
  {
    echo 'Windows Registry Editor Version 5.00'
    echo
    echo '[HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM]'
    echo "\"$pty\"=\"COM5\""
    echo
    echo '[HKEY_LOCAL_MACHINE\SOFTWARE\Velkerstam\TALMO]'
    [ -z "$1" ] || echo "\"COORDS\"=hex:$1"
    echo "\"REGXCOM\"=dword:$(printf %08x "${port_index:-0}")"
    echo '"REGBAUD"=dword:00000009'
    echo '"REGDATABITS"=dword:00000001'
    echo '"REGPARITY"=dword:00000000'
    echo '"REGSTOP"=dword:00000000'
    echo '"REGPROTOCOL"=hex:02,03,01,01,01,00,00,00,00'
    echo '"DIRECT"=dword:00000000'
  } >"$settings"
}

# coords LEFT TOP WIDTH HEIGHT: the COORDS bytes.
coords() {
  local v out=""
  for v in "$@"; do
    out+=$(printf '%02x,%02x,%02x,%02x,' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)))
  done
  echo "${out%,}"
}

# The port's place in the list is what REGXCOM keeps; talmocli lists the
# ports as the window does, from the same settings file.
write_settings ""
line=$("$talmocli" ports | grep -n '^COM5 ' | cut -d: -f1 | head -1)
[ -n "$line" ] || { echo "COM5 ($pty) is not listed by talmocli ports" >&2; exit 1; }
port_index=$((line - 1))

# shoot NAME COORDS: starts talmo with those bounds, opens the port, lets one
# burst of frames arrive and takes the window's picture as docs/NAME.png.
shoot() {
  local name=$1 win="" w h x y
  write_settings "$2"
  (cd "$TALMO_ROOT" && exec "$talmo") >"$work/talmo.log" 2>&1 &
  local app=$!
  pids+=("$app")
  find_window() { win=$(xdotool search --onlyvisible --name '^TALMO 1' | head -1) && [ -n "$win" ]; }
  wait_for 20 find_window || { echo "the window did not appear" >&2; cat "$work/talmo.log" >&2; exit 1; }
  sleep 1  # the window manager frames and places it
  eval "$(xdotool getwindowgeometry --shell "$win")"
  w=$WIDTH h=$HEIGHT
  # Open Port: the layout rule puts the port row 1/32 of the height below
  # the pane (60 % of the height, 1/32 from the top), the buttons at the
  # bottom of the 176-pixel row, Open Port from x = 440, 75 x 25.
  y=$((2 * (h / 32) + h * 6 / 10 + 176 - 25 + 12))
  x=$((440 + 37))
  xdotool mousemove --window "$win" "$x" "$y" click 1
  sleep 1.5  # the port opens (frames sent sooner may not be shown)
  kill -USR1 "$writer"
  sleep 4  # 36 frames 70 ms apart; the pane takes at most eight lines a tick
  # The caret follows the newest byte, at the end of the last line, and a
  # line wider than the pane scrolls it to the right. A click on the pane's
  # first line, then Ctrl+End and Home: the caret at the start of the last
  # line, the pane at its first column and its newest lines. Keys without
  # text send nothing.
  xdotool mousemove --window "$win" 40 $((h / 32 + 10)) click 1
  xdotool key --window "$win" ctrl+End Home
  sleep 0.5
  import -window "$win" "$TALMO_ROOT/docs/$name.png"
  echo "wrote docs/$name.png (${w}x${h})"
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
}

shoot window-least "$(coords 100 50 200 150)"
shoot window-default ""
shoot window-large "$(coords 100 50 1400 900)"
cp "$TALMO_ROOT/docs/window-default.png" "$TALMO_ROOT/docs/screenshot.png"
echo "wrote docs/screenshot.png (the default size)"
