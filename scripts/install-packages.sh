#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt (as root), or, run as another user, checks
# that they are there. Shared by the README's two commands.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mapfile -t PACKAGES < <(grep -v '^[[:space:]]*#' "$REPO/scripts/packages.txt" | tr -s ' \t' '\n' | grep -v '^$')
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
        echo "not root, and these packages are missing: ${missing[*]}" >&2
        echo "run the command as root (sudo) so that it can install them" >&2
        exit 1
    fi
fi
