#!/usr/bin/env bash
# Times `talmocli ports` on two large settings files it must read whole: a
# value continued over about 28,000 lines (2.2 MB) and 100,000 port entries
# under SERIALCOMM (2.8 MB). Prints the best of three wall times of each.
# A temporary XDG_CONFIG_HOME keeps the user's settings out of it.
# Usage: bench/settings_bench.sh [BUILD_DIR] [PORT_ENTRIES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
entries=${2:-100000}
cli=$build/src/app/talmocli
[ -x "$cli" ] || { echo "no $cli: run ./test or ./run first" >&2; exit 1; }

work=$(mktemp -d /tmp/talmo-settings-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
header='Windows Registry Editor Version 5.00'

# A binary value of 25-byte continuation lines up to 2.2 MB, in the
# settings key (the port list reads the whole file and lists nothing of it).
mkdir -p "$work/continued/Velkerstam"
awk -v h="$header" 'BEGIN {
  printf "%s\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n\"BIG\"=hex:01,\\\n", h
  line = "  "; for (b = 0; b < 25; b++) line = line "ab,"; line = line "\\"
  size = 0
  while (size < 2200000) { print line; size += length(line) + 1; n++ }
  print "  02"
  print n > "/dev/stderr"
}' > "$work/continued/Velkerstam/TALMO.reg" 2> "$work/continued.lines"

mkdir -p "$work/ports/Velkerstam"
awk -v h="$header" -v n="$entries" 'BEGIN {
  printf "%s\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n", h
  for (i = 0; i < n; i++) printf "\"/dev/ttyX%d\"=\"COM%d\"\n", i, i + 200
}' > "$work/ports/Velkerstam/TALMO.reg"

best() {  # best of three wall times in seconds of `talmocli ports` on folder $1
  local b="" t0 t1 s
  for _ in 1 2 3; do
    t0=$(date +%s%N)
    XDG_CONFIG_HOME=$1 "$cli" ports > "$work/out" 2> "$work/err"
    t1=$(date +%s%N)
    s=$(awk -v a="$t0" -v c="$t1" 'BEGIN { printf "%.3f", (c - a) / 1e9 }')
    b=$(awk -v a="${b:-$s}" -v c="$s" 'BEGIN { print (c < a) ? c : a }')
  done
  echo "$b"
}

cont_bytes=$(stat -c %s "$work/continued/Velkerstam/TALMO.reg")
cont_s=$(best "$work/continued")
[ -s "$work/err" ] && { echo "settings_bench: talmocli ports complained:" >&2; head -3 "$work/err" >&2; }
ports_bytes=$(stat -c %s "$work/ports/Velkerstam/TALMO.reg")
ports_s=$(best "$work/ports")
ports_listed=$(grep -c '^COM' "$work/out" || true)

echo "continued value: $cont_bytes bytes, $(cat "$work/continued.lines") lines: $cont_s s"
echo "port entries: $entries ($ports_bytes bytes), $ports_listed ports listed: $ports_s s"
