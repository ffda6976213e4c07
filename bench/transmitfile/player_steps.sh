#!/usr/bin/env bash
# Cost of the script player's 1 ms step when nothing is sent:
#  - wall time of `talmocli play --dry-run` (60 s of virtual time, 60,000
#    steps) over scripts of 4,000 and 200,000 lines that are passed over
#    (" ;") followed by a restart "r";
#  - CPU share of `talmocli play --port COM99` (the built-in loopback port, a
#    pseudo-terminal) over the script "r" alone, for 10 s.
# A second talmocli (OLD=path) is measured beside it for comparison.
# Usage: bench/transmitfile/player_steps.sh [BUILD_DIR]   (OLD=... optional)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
cli=$build/src/app/talmocli
[ -x "$cli" ] || { echo "no $cli: build talmocli first" >&2; exit 1; }
. "$root/tools/setup.sh"
talmo_install time

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config  # never the user's settings
mkdir -p "$XDG_CONFIG_HOME"
for n in 4000 200000; do
  awk -v n="$n" 'BEGIN { for (i = 0; i < n; i++) printf " ;\r\n"; printf "r\r\n" }' > "$work/pass$n.txt"
done
printf 'r\r\n' > "$work/r.txt"

dry() {  # wall seconds of a 60 s dry run
  local t0 t1
  t0=$(date +%s.%N)
  "$1" play --dry-run --at 2018-12-17T12:00:00.000 "$2" > /dev/null
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

pty_cpu() {  # percent of a core over 10 s of "r" on the loopback pseudo-terminal
  /usr/bin/time -f '%e %U %S' -o "$work/t" "$1" play --port COM99 --until 10000 "$work/r.txt" > /dev/null
  awk '{ printf "%.1f", 100 * ($2 + $3) / $1 }' "$work/t"
}

report() {  # label binary
  local d4 d200 cpu
  d4=$(dry "$2" "$work/pass4000.txt")
  d200=$(dry "$2" "$work/pass200000.txt")
  cpu=$(pty_cpu "$2")
  echo "$1 dry run, 4,000 passed-over lines + r:   $d4 s"
  echo "$1 dry run, 200,000 passed-over lines + r: $d200 s"
  echo "$1 r alone on a pseudo-terminal, 10 s:     $cpu % of a core  (target < 5)"
}

report "talmocli" "$cli"
if [ -n "${OLD:-}" ]; then report "old" "$OLD"; fi
