#!/usr/bin/env bash
# The README's first command: installs the Debian packages ZubLoader needs (when any is missing),
# builds it and starts the demo: a simulated board and a local update server, no hardware needed.
# Run as root from a checkout on Debian 12. In a desktop session the demo shows the window;
# without one it runs the same download in the terminal.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build"
cd "$REPO"

"$REPO/scripts/install-packages.sh"

# The demo builds what it needs (the programs and the board simulator), starts a simulated board
# and a local update server, and starts the program in a prepared start directory.
exec "$REPO/scripts/demo.sh" --build "$BUILD" "$@"
