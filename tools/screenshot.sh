#!/usr/bin/env bash
# Makes docs/screenshot.png: the main window under Xvfb, receiving frames on
# the built-in loopback port. Direct mode sends each typed key at once, the
# loopback sends it back, and the pane shows the frames with their stamps.
set -euo pipefail
TALMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$TALMO_ROOT/tools/setup.sh"
TALMO_PACKAGES+=(xvfb xauth xdotool imagemagick fonts-dejavu-core)
talmo_install_packages
[ -n "${TALMO_SKIP_BUILD:-}" ] || talmo_build build

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work
export XDG_RUNTIME_DIR=$work
mkdir -p "$work/Velkerstam"

# Select the loopback port, 115200 baud, 8N1, signs 02/03 with BCC and time
# stamps, Convert on, and Direct typing.
port_index=$(( $("$TALMO_ROOT/build/src/app/talmocli" ports | grep -n '^COM99 ' | cut -d: -f1) - 1 ))
cat > "$work/Velkerstam/TALMO.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]
"COORDS"=hex:00,00,00,00,00,00,00,00,42,03,00,00,10,02,00,00
"REGXCOM"=dword:$(printf %08x "$port_index")
"REGBAUD"=dword:00000009
"REGDATABITS"=dword:00000001
"REGPARITY"=dword:00000000
"REGSTOP"=dword:00000000
"REGPROTOCOL"=hex:02,03,01,01,01,00,00,00,00
"DIRECT"=dword:00000001
REG

export DISPLAY=:97
Xvfb "$DISPLAY" -screen 0 900x600x24 -nolisten tcp >/dev/null 2>&1 &
sleep 1
cd "$TALMO_ROOT"
"$TALMO_ROOT/build/src/app/talmo" >/dev/null 2>&1 &
win=""
for _ in $(seq 50); do
  win=$(xdotool search --name 'TALMO 1.80' 2>/dev/null | head -1) && [ -n "$win" ] && break
  sleep 0.2
done
[ -n "$win" ] || { echo "the window did not appear" >&2; exit 1; }
sleep 1

# Open Port (the band below the pane for an 834 x 528 client area).
xdotool mousemove --window "$win" 477 511 click 1
sleep 0.5
xdotool mousemove --window "$win" 300 150 click 1
for reading in "T=21.5C RH=48%" "T=21.6C RH=47%" "ALARM:DOOR OPEN" "T=21.6C RH=47%"; do
  xdotool key --window "$win" ctrl+b
  xdotool type --window "$win" --delay 5 "$reading"
  xdotool key --window "$win" ctrl+c
  xdotool type --window "$win" "K"
  sleep 0.3
done
sleep 2.5  # the pane takes at most eight lines per tick
import -window "$win" "$TALMO_ROOT/docs/screenshot.png"
echo "wrote docs/screenshot.png"
