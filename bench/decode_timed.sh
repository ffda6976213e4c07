#!/usr/bin/env bash
# Times `talmocli decode --hex` of a timed capture (64 MiB of random bytes in
# 4 KiB received packets) against the decode of the same bytes as a raw
# capture, alternating, best of five each, and prints both and the ratio.
# Usage: bench/decode_timed.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cli=$build/src/app/talmocli
make=$build/bench/capture/make_timed_capture
for p in "$cli" "$make"; do [ -x "$p" ] || { echo "no $p: build first" >&2; exit 1; }; done
. "$root/tools/setup.sh"
talmo_install time

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((64 << 20)) /dev/urandom > "$work/raw.bin"
"$make" "$work/raw.bin" "$work/timed.pcapng" 4096
# As a slow line gives them: a packet per 64 bytes.
"$make" "$work/raw.bin" "$work/small.pcapng" 64
cat "$work/raw.bin" "$work/timed.pcapng" > /dev/null  # warm the page cache for both

t() { /usr/bin/time -f '%e' -o "$work/t" "$@" > /dev/null; cat "$work/t"; }
b_raw=999 b_timed=999
for _ in 1 2 3 4 5; do
  r=$(t "$cli" decode --hex "$work/raw.bin")
  s=$(t "$cli" decode --hex "$work/timed.pcapng")
  b_raw=$(awk -v a="$b_raw" -v c="$r" 'BEGIN { print (c < a) ? c : a }')
  b_timed=$(awk -v a="$b_timed" -v c="$s" 'BEGIN { print (c < a) ? c : a }')
done
b_small=999
for _ in 1 2 3; do
  s=$(t "$cli" decode --hex "$work/small.pcapng")
  b_small=$(awk -v a="$b_small" -v c="$s" 'BEGIN { print (c < a) ? c : a }')
done
# Both give the same lines: the same bytes, decoded alike.
cmp <("$cli" decode --hex "$work/raw.bin") <("$cli" decode --hex "$work/timed.pcapng") > /dev/null ||
  echo "lines differ between the raw and the timed capture"
awk -v r="$b_raw" -v s="$b_timed" -v m="$b_small" 'BEGIN {
  printf "raw capture, 64 MiB:        %.2f s  (%.0f MB/s)\n", r, 67.108864 / r
  printf "timed capture, 4 KiB blocks: %.2f s  (%.0f MB/s)\n", s, 67.108864 / s
  printf "rate ratio timed/raw: %.2f  (target >= 0.8)\n", r / s
  printf "timed capture, 64-byte blocks: %.2f s  (%.0f MB/s of data), ratio to raw %.2f\n", m, 67.108864 / m, r / m
}'
