#!/usr/bin/env bash
# `talmocli decode --modbus rtu` of a timed capture beside tshark's Modbus
# RTU dissector on the same file, in the same run: a master's requests and
# a slave's answers, one frame per packet as a line delivers them (read
# holding registers 0+4 and its 13-byte answer, alternating, 2 ms apart).
# tshark prints one field line per frame (-T fields), we print our line per
# frame; both are timed to the end of their output (best of three), and
# the ratio is tshark's time over ours. Prints the figures and a MODBUS
# line of key=value pairs.
# Usage: bench/modbus/modbus_bench.sh [BUILD_DIR] [MIB of capture, default 64]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
mib=${2:-64}
cli=$build/src/app/talmocli
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
. "$root/tools/setup.sh"
talmo_install tshark time python3 >&2

work=$(mktemp -d /tmp/talmo-modbus-XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work HOME=$work

# The capture: pcapng with one interface of link type 250 (the RTAC serial
# header, as our timed captures are), each frame a packet of its own.
PYTHONPATH=$root/bench python3 - "$work/run.pcapng" "$mib" <<'EOF'
import struct, sys
from benchkit import crc
path, mib = sys.argv[1], int(sys.argv[2])

def block(kind, body):
    pad = (-len(body)) % 4
    n = 12 + len(body) + pad
    return struct.pack("<II", kind, n) + body + b"\0" * pad + struct.pack("<I", n)

req = crc([1, 3, 0, 0, 0, 4])
ans = crc([1, 3, 8, 0, 42, 0x12, 0x34, 0, 0, 0, 7])
with open(path, "wb") as f:
    f.write(block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)))
    name = b"COM1"; name += b"\0" * ((-len(name)) % 4)
    desc = b"/dev/ttyUSB0 115200 8N1"; desc_p = desc + b"\0" * ((-len(desc)) % 4)
    opts = struct.pack("<HH", 2, 4) + name + struct.pack("<HH", 3, len(desc)) + desc_p
    opts += struct.pack("<HHB", 9, 1, 9) + b"\0\0\0" + struct.pack("<HH", 0, 0)
    f.write(block(1, struct.pack("<HHI", 250, 0, 0) + opts))
    t = 1_700_000_000 * 10**9
    size, i = 0, 0
    while size < mib << 20:
        frame = req if i % 2 == 0 else ans
        # The RTAC serial header: seconds, microseconds, event type (1: a
        # received byte run), control lines, footer.
        head = struct.pack(">IIBBH", t // 10**9, (t // 1000) % 10**6, 1, 0, 0)
        data = head + frame
        body = struct.pack("<IIIII", 0, (t >> 32) & 0xFFFFFFFF, t & 0xFFFFFFFF, len(data), len(data))
        body += data + b"\0" * ((-len(data)) % 4)
        # Packet direction: inbound for requests seen by the slave's port is
        # the monitor's view; the dissector does not care.
        f.write(block(6, body))
        size += len(frame)
        t += 2_000_000
        i += 1
EOF
frames=$("$cli" decode --modbus rtu "$work/run.pcapng" | grep -c 'CRC ok' || true)
tsh=$(tshark -r "$work/run.pcapng" -d rtacser.data,mbrtu -T fields -e mbrtu.unit_id -e modbus.func_code 2>/dev/null | grep -c . || true)
t() { /usr/bin/time -f '%e' -o "$work/t" "$@" > /dev/null 2>&1; cat "$work/t"; }
best_ours=999 best_tshark=999
for _ in 1 2 3; do
  o=$(t "$cli" decode --modbus rtu "$work/run.pcapng")
  s=$(t tshark -r "$work/run.pcapng" -d rtacser.data,mbrtu -T fields -e mbrtu.unit_id -e modbus.func_code)
  best_ours=$(awk -v a="$best_ours" -v c="$o" 'BEGIN { print (c < a) ? c : a }')
  best_tshark=$(awk -v a="$best_tshark" -v c="$s" 'BEGIN { print (c < a) ? c : a }')
done
awk -v o="$best_ours" -v s="$best_tshark" -v f="$frames" -v g="$tsh" -v m="$mib" 'BEGIN {
  r = (o > 0) ? s / o : 0
  printf "decode --modbus rtu of %d MiB (%d frames decoded, CRC ok): %.2f s; tshark (%d frames): %.2f s; tshark / ours %.1f (target >= 20)\n", m, f, o, g, s, r
  printf "MODBUS mib=%d frames=%d tshark_frames=%d ours=%.2f tshark=%.2f ratio=%.1f\n", m, f, g, o, s, r
}'
