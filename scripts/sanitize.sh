#!/usr/bin/env bash
# The whole test suite once more, built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Any memory error, undefined behaviour or leak in our code fails it; tests/lsan.supp names the
# only leaks tolerated, all inside Qt, fontconfig or xcb. Part of scripts/test.sh.
#
# usage: scripts/sanitize.sh [BUILD_DIR]      (default <repo>/build/sanitize)
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$REPO/build/sanitize}"

echo "== configuring $BUILD (ASan + UBSan)"
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUB_SANITIZE=ON \
      -DZUB_BENCH=OFF -DZUB_FUZZ=OFF
echo "== building with sanitizers"
cmake --build "$BUILD" -j2

# Leak checking at exit, UB stops the process, reports carry whole stacks. These reach every
# test and every program the tests start (the built zubloader in the end-to-end test included).
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:check_initialization_order=1:strict_init_order=1"
export LSAN_OPTIONS="suppressions=$REPO/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "== testing with sanitizers"
ctest --test-dir "$BUILD" --output-on-failure -j2
echo "== sanitizer run clean"
