#!/usr/bin/env bash
# Times `talmocli decode --hex` against `xxd -p` on the same 64 MiB random
# file, in one run, and prints their times, the ratio and talmocli's peak
# memory; then both again reading the file through a pipe.
# Usage: bench/decode_vs_xxd.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cli=$build/src/app/talmocli
[ -x "$cli" ] || { echo "no $cli: run ./test or ./run first" >&2; exit 1; }
. "$root/tools/setup.sh"
talmo_install xxd time

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((64 << 20)) /dev/urandom > "$work/random.bin"
cat "$work/random.bin" > /dev/null  # warm the page cache for both

best() {  # best of three wall times in seconds; peak RSS (KiB) of the last
  local b=999999 t
  for _ in 1 2 3; do
    /usr/bin/time -f '%e %M' -o "$work/t" "$@" > /dev/null
    t=$(cut -d' ' -f1 "$work/t")
    b=$(awk -v a="$b" -v c="$t" 'BEGIN { print (c < a) ? c : a }')
  done
  echo "$b $(cut -d' ' -f2 "$work/t")"
}

read -r t_cli rss_cli < <(best "$cli" decode --hex "$work/random.bin")
read -r t_xxd rss_xxd < <(best xxd -p "$work/random.bin")
# Through a pipe the decode flushes whenever its input pauses.
read -r t_clip _ < <(best sh -c "cat '$work/random.bin' | '$cli' decode --hex")
read -r t_xxdp _ < <(best sh -c "cat '$work/random.bin' | xxd -p")
awk -v c="$t_cli" -v x="$t_xxd" -v rc="$rss_cli" -v rx="$rss_xxd" -v cp="$t_clip" -v xp="$t_xxdp" 'BEGIN {
  printf "input:                     64 MiB random bytes\n"
  printf "talmocli decode --hex:     %.2f s  (%.0f MB/s), peak memory %.1f MiB\n", c, 67.108864 / c, rc / 1024
  printf "xxd -p:                    %.2f s  (%.0f MB/s), peak memory %.1f MiB\n", x, 67.108864 / x, rx / 1024
  printf "speed ratio (xxd / talmo): %.2f  (target >= 2)\n", x / c
  printf "talmocli peak memory:      %.1f MiB  (target < 16)\n", rc / 1024
  printf "through a pipe (cat | ...): talmocli %.2f s, xxd -p %.2f s, ratio %.2f  (target >= 2)\n", cp, xp, xp / cp
}'
