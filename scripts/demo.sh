#!/usr/bin/env bash
# Try ZubLoader without a board: a simulated boot loader on a pseudo-terminal, a local update
# server with a few demo models, and the program started in a prepared start directory.
#
# usage: scripts/demo.sh [--build DIR]      (default build directory: <repo>/build)
#
# Everything the demo makes lives in <build>/demo-run; nothing is written anywhere else.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build"
while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD="$(realpath -m "$2")"; shift 2 ;;
        -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
        *) echo "demo.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
    esac
done

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<EOF
demo.sh: no display. ZubLoader is a desktop program and needs an X or Wayland session.
Without a screen, run the demo inside a virtual X server:
    xvfb-run -a -s "-screen 0 1024x768x24" $0${BUILD:+ --build $BUILD}
(xvfb-run comes with the Debian package xvfb; the window is then invisible, but the demo
runs and the simulated board receives the download.)
EOF
    exit 2
fi

for tool in python3 cmake ninja; do
    command -v "$tool" >/dev/null || { echo "demo.sh: '$tool' is missing; run scripts/run.sh first (it installs what the demo needs)" >&2; exit 1; }
done

APP="$BUILD/app/zubloader"
SIM="$BUILD/tools/zub-boardsim"
if [ ! -x "$APP" ] || [ ! -x "$SIM" ]; then
    echo "== building zubloader and zub-boardsim in $BUILD"
    [ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
    ninja -C "$BUILD" -j2 zubloader zub-boardsim
fi

# Serve where this build of the program looks for its update server.
HOST="$(sed -n 's/^ZUB_UPDATE_HOST:STRING=//p' "$BUILD/CMakeCache.txt")"
HOST="${HOST:-127.0.0.1:8371}"
ADDR="${HOST%%:*}"
PORT="80"
[ "$ADDR" != "$HOST" ] && PORT="${HOST##*:}"
case "$ADDR" in
    127.*|localhost) ;;
    *) echo "demo.sh: this build fetches from $HOST, not from this machine; the demo serves on 127.0.0.1:$PORT" >&2
       ADDR=127.0.0.1 ;;
esac
if python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('$ADDR', $PORT)) != 0)"; then
    echo "demo.sh: something already listens on $ADDR:$PORT (an earlier demo still running?); stop it first" >&2
    exit 1
fi

RUN="$BUILD/demo-run"
WWW="$RUN/www"
START="$RUN/start"
LINK="$RUN/ttyZUB0"
rm -rf "$WWW" "$START"
mkdir -p "$WWW/ydr/zubloader" "$START"
rm -f "$RUN/flash.bin" "$RUN/board-events.log"

# The server's folder: demo models and their list, made by the project's own script.
python3 "$REPO/demo/make-images.py" "$WWW/ydr/zubloader"
mv "$WWW/ydr/zubloader/demo-local.hex" "$START/"

SERVER_PID=""
SIM_PID=""
cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

python3 -m http.server "$PORT" --bind "$ADDR" --directory "$WWW" >"$RUN/server.log" 2>&1 &
SERVER_PID=$!
for _ in $(seq 50); do
    python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('$ADDR', $PORT)))" && break
    sleep 0.1
done

# The simulated board, paced like a real 115200 bit/s line so the download can be watched.
"$SIM" --link "$LINK" --pace 115200 --flash-out "$RUN/flash.bin" \
       --events "$RUN/board-events.log" >"$RUN/sim.out" 2>"$RUN/sim.err" &
SIM_PID=$!
for _ in $(seq 50); do
    grep -q '^PTY ' "$RUN/sim.out" 2>/dev/null && break
    sleep 0.1
done
if ! grep -q '^PTY ' "$RUN/sim.out"; then
    echo "demo.sh: the board simulator did not start:" >&2
    cat "$RUN/sim.err" >&2
    exit 1
fi

# The start directory as an earlier run would have left it: the image list already fetched, the
# port pointing at the simulator, the 96 KiB model chosen. Its image is not here yet, so Start
# fetches it from the server first.
cp "$WWW/ydr/zubloader/hexlist.txt" "$START/"
printf '%s\r\n' "ZUB COM Watch Ver=1.0" "CmbComPort=$LINK" "CmbProtocol=0" "CmbBaudRate=12" \
    "EdFileName=$START/demo-local.hex" "CmbModel=1" "CbBlankSkip=flase" "CbAutoReset=true" \
    "CbAutoDevSearch=flase" "RbLocalFile=flase" >"$START/default.ini"

cat <<EOF
== ZubLoader demo
   simulated board : $LINK ($(sed -n 's/^PTY //p' "$RUN/sim.out")), 115200 bit/s, Mega128
   update server   : http://$ADDR:$PORT/ydr/zubloader/ (log: $RUN/server.log)
   start directory : $START

 1. Press 시작 (Start). The chosen model's image is fetched from the server, then sent page by
    page; the log ends with "다운로드 완료" and "장치와 연결을 해제하였습니다.".
    (On a real board you would now switch its power off and on; the simulator needs no help.)
 2. Pick another model, or choose "Local File" to send $START/demo-local.hex.
 3. 중지 (Stop) ends a download at once; 포트찾기 (find port) lists this machine's serial ports.
 4. The board's flash after each download: $RUN/flash.bin; what it saw: $RUN/board-events.log.
Close the window to end the demo.
EOF

cd "$START"
status=0
"$APP" || status=$?
exit "$status"
