#!/usr/bin/env bash
# The README's test command: installs the Debian packages ZubLoader needs, builds everything,
# runs every test through CTest and checks the Debian package on a fresh Debian 12 root. Run as
# root from a checkout on Debian 12. Exits non-zero on any failure.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build/ci"
cd "$REPO"

"$REPO/scripts/install-packages.sh"
# What the package check at the end needs of this machine, known before the long build.
"$REPO/scripts/check-package.sh" --preflight

echo "== configuring $BUILD"
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== building"
cmake --build "$BUILD" -j2
echo "== testing"
ctest --test-dir "$BUILD" --output-on-failure -j2
# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
"$REPO/scripts/sanitize.sh" "$REPO/build/sanitize"
# The Debian package, installed and run on a fresh Debian 12 root file system.
"$REPO/scripts/check-package.sh"
echo "== all tests passed"
