#!/usr/bin/env bash
# Try ZubLoader without a board, from the build tree: builds the programs when needed, then runs
# the demo command (demo/zubloader-demo.in, configured into <build>/demo/) with this build's
# programs first on PATH and its folder in <build>/demo-run, emptied at each start.
#
# usage: scripts/demo.sh [--build DIR] [--terminal] [--avr]   (default build directory: <repo>/build)
#   --terminal   the download in this terminal with zubload, even where a desktop is
#   --avr        the board is a simulated ATmega328P running our boot loader (zub-avrsim)
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build"
PASS=()
AVR=0
while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD="$(realpath -m "$2")"; shift 2 ;;
        --terminal) PASS+=("$1"); shift ;;
        --avr) PASS+=("$1"); AVR=1; shift ;;
        -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
        *) echo "demo.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
    esac
done

for tool in python3 cmake ninja; do
    command -v "$tool" >/dev/null || { echo "demo.sh: '$tool' is missing; run scripts/run.sh first (it installs what the demo needs)" >&2; exit 1; }
done

TARGETS=(zubloader zub-boardsim)
[ -f "$REPO/cli/CMakeLists.txt" ] && TARGETS+=(zubload)
[ "$AVR" -eq 1 ] && TARGETS+=(zub-avrsim avr-firmware)
[ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
[ -f "$BUILD/demo/zubloader-demo" ] || cmake "$BUILD" >/dev/null
echo "== building ${TARGETS[*]} in $BUILD"
ninja -C "$BUILD" -j2 "${TARGETS[@]}"

PATH="$BUILD/app:$BUILD/tools:$BUILD/tools/avrsim:$BUILD/cli:$PATH" \
    exec "$BUILD/demo/zubloader-demo" --data "$REPO/demo" --run "$BUILD/demo-run" "${PASS[@]}"
