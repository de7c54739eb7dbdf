#!/bin/sh
# zubload's start-up and memory: the median wall time of `zubload --version` over 20 runs, and
# the maximum resident set of one 128 KiB download into the board simulator (Mega128, 115200).
# Usage: bench/zubload_figures.sh BUILD_DIR   (prints figures; asserts nothing)
set -eu
build=${1:?usage: $0 BUILD_DIR}
zubload=$build/cli/zubload
sim=$build/tools/zub-boardsim
work=$(mktemp -d)
trap 'kill "$simpid" 2>/dev/null || true; rm -rf "$work"' EXIT
simpid=

python3 - "$zubload" <<'EOF'
import statistics, subprocess, sys, time
runs = []
for _ in range(21):
    t = time.monotonic()
    subprocess.run([sys.argv[1], "--version"], stdout=subprocess.DEVNULL, check=True)
    runs.append(time.monotonic() - t)
print(f"zubload --version: {statistics.median(runs[1:]) * 1000:.1f} ms (median of 20)")
EOF

# 128 KiB of code-like bytes as Intel HEX, 16 bytes a record, with an extended address record
# at 64 KiB.
python3 - "$work/image.hex" <<'EOF'
import random, sys
rnd = random.Random(128)
data = bytes(rnd.randrange(256) for _ in range(128 * 1024))
lines = []
def rec(kind, addr, payload):
    body = bytes([len(payload), addr >> 8, addr & 0xFF, kind]) + payload
    return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper()
for off in range(0, len(data), 16):
    if off % 0x10000 == 0:
        lines.append(rec(4, 0, bytes([0, off >> 16])))
    lines.append(rec(0, off & 0xFFFF, data[off:off + 16]))
lines.append(rec(1, 0, b""))
open(sys.argv[1], "w").write("\n".join(lines) + "\n")
EOF

"$sim" --link "$work/tty" --once >"$work/sim.out" 2>&1 &
simpid=$!
for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
mkdir "$work/start"
/usr/bin/time -f "%M" -o "$work/rss" "$zubload" -q -C "$work/start" -p "$work/tty" -b 115200 \
    --no-auto-reset "$work/image.hex" </dev/null || echo "the download failed: $?"
echo "128 KiB download: $(( $(cat "$work/rss") / 1024 )) MB maximum resident set"
