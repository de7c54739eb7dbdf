#!/usr/bin/env bash
# The README's first command: installs the Debian packages ZubLoader needs, builds it and starts
# it in the demo: a simulated board and a local update server, no hardware needed. Run as root
# from a checkout on Debian 12, in a desktop session (or under xvfb-run).
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build"
cd "$REPO"

"$REPO/scripts/install-packages.sh"

# The demo builds what it needs (the program and the board simulator), starts a simulated board
# and a local update server, and starts the program in a prepared start directory.
exec "$REPO/scripts/demo.sh" --build "$BUILD"
