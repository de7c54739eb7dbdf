#!/usr/bin/env bash
# The README's first command: installs the Debian packages ZubLoader needs, builds it and starts
# it. Run as root from a checkout on Debian 12, in a desktop session (or under xvfb-run).
# The program keeps "default.ini", "hexlist.txt" and model images in its working directory; it
# starts in build/run, so nothing lands loose in the checkout.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build"
cd "$REPO"

mapfile -t PACKAGES < <(grep -v '^[[:space:]]*#' scripts/packages.txt | tr -s ' \t' '\n' | grep -v '^$')
if [ "$(id -u)" -eq 0 ]; then
    echo "== installing packages"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update || echo "apt-get update failed; going on with the package lists at hand" >&2
    apt-get install -y --no-install-recommends "${PACKAGES[@]}"
else
    echo "== not root: skipping the package installation" >&2
fi

echo "== building zubloader in $BUILD"
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$BUILD" -j2 --target zubloader

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<MSG
run.sh: built $BUILD/app/zubloader, but there is no display to show its window.
In a desktop session run this command again; without a screen try:
    xvfb-run -a -s "-screen 0 1024x768x24" $0
MSG
    exit 2
fi

mkdir -p "$BUILD/run"
cd "$BUILD/run"
echo "== starting zubloader in $PWD"
exec "$BUILD/app/zubloader"
