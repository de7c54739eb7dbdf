#!/usr/bin/env bash
# The README's test command: installs the Debian packages ZubLoader needs, builds everything and
# runs every test through CTest. Run as root from a checkout on Debian 12. Exits non-zero on any
# failure.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build/ci"
cd "$REPO"

mapfile -t PACKAGES < <(grep -v '^[[:space:]]*#' scripts/packages.txt | tr -s ' \t' '\n' | grep -v '^$')
if [ "$(id -u)" -eq 0 ]; then
    echo "== installing packages"
    export DEBIAN_FRONTEND=noninteractive
    # Offline machines still have the package lists of their last update.
    apt-get update || echo "apt-get update failed; going on with the package lists at hand" >&2
    apt-get install -y --no-install-recommends "${PACKAGES[@]}"
else
    missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "test.sh: not root, and these packages are missing: ${missing[*]}" >&2
        echo "run it as root (sudo $0) so that it can install them" >&2
        exit 1
    fi
fi

echo "== configuring $BUILD"
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== building"
cmake --build "$BUILD" -j2
echo "== testing"
ctest --test-dir "$BUILD" --output-on-failure -j2
# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
"$REPO/scripts/sanitize.sh" "$REPO/build/sanitize"
echo "== all tests passed"
