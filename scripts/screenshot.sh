#!/usr/bin/env bash
# Makes docs/screenshot.png: the main window as it looks a few seconds after start, shown on a
# virtual X server (Xvfb) and captured with ImageMagick's import.
#
# usage: scripts/screenshot.sh [--build DIR] [--out FILE]
#        (defaults: DIR = <repo>/build, FILE = <repo>/docs/screenshot.png)
#
# Needs xvfb, xauth, xdotool, imagemagick and fonts-noto-cjk (the Korean captions render as
# empty boxes without it); scripts/run.sh installs them.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build"
OUT="$REPO/docs/screenshot.png"
INNER=0
while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD="$(realpath -m "$2")"; shift 2 ;;
        --out) OUT="$(realpath -m "$2")"; shift 2 ;;
        --inner) INNER=1; shift ;;
        -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
        *) echo "screenshot.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
    esac
done

if [ "$INNER" -eq 0 ]; then
    if [ ! -x "$BUILD/app/zubloader" ]; then
        [ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
        cmake --build "$BUILD" -j2 --target zubloader
    fi
    # Always a fresh virtual screen of its own, so the capture never shows another session.
    exec xvfb-run -a -s "-screen 0 800x600x24" "$0" --build "$BUILD" --out "$OUT" --inner
fi

START="$(mktemp -d)"
APP_PID=""
cleanup() {
    if [ -n "$APP_PID" ]; then
        kill "$APP_PID" 2>/dev/null || true
        wait "$APP_PID" 2>/dev/null || true
    fi
    rm -rf "$START"
}
trap cleanup EXIT

# A start directory as an operator's looks after some use: saved settings and an image list, so
# the start-up sequence shows no "cannot read" box and asks no server.
printf '%s\r\n' "ZUB COM Watch Ver=1.0" "CmbComPort=COM1" "CmbProtocol=0" "CmbBaudRate=12" \
    "EdFileName=default.bin" "CmbModel=1" "CbBlankSkip=flase" "CbAutoReset=true" \
    "CbAutoDevSearch=flase" "RbLocalFile=flase" > "$START/default.ini"
printf '%s\r\n' "Model 01 motion sensor V1.6=model01.hex" \
    "Model 02 motion sensor 3-axis=model02.hex" "Model 08 pressure meter Ver1.40=model08.hex" \
    > "$START/hexlist.txt"

cd "$START"
"$BUILD/app/zubloader" &
APP_PID=$!
WID="$(timeout 20 xdotool search --sync --onlyvisible --name '^ZubLoader Ver[0-9.]+$' | head -n 1)"
[ -n "$WID" ] || { echo "screenshot.sh: the window did not appear" >&2; exit 1; }
# The start-up sequence runs about one second after the window appears.
sleep 3
mkdir -p "$(dirname "$OUT")"
import -window "$WID" "$OUT"
echo "screenshot.sh: wrote $OUT"
