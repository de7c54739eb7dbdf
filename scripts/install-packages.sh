#!/usr/bin/env bash
# Makes sure the Debian packages of scripts/packages.txt are installed. When they all are, it
# goes straight on; otherwise, as root, it updates the package lists and installs what is
# missing, and as another user it names what is missing. Shared by the README's two commands.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mapfile -t PACKAGES < <(grep -v '^[[:space:]]*#' "$REPO/scripts/packages.txt" | tr -s ' \t' '\n' | grep -v '^$')

# Everything installed, by its own name and by the names it provides, so a virtual name in the
# list counts as present when a package providing it is installed.
declare -A present=()
while read -r name; do
    present[$name]=1
done < <(dpkg-query -W -f='${db:Status-Abbrev}|${Package},${Provides}\n' 2>/dev/null |
         sed -n 's/^ii *|//p' | sed 's/([^)]*)//g' | tr ', ' '\n\n' | grep -v '^$')
missing=()
for p in "${PACKAGES[@]}"; do
    [ -n "${present[$p]:-}" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "not root, and these packages are missing: ${missing[*]}" >&2
    echo "run the command as root (sudo) so that it can install them" >&2
    exit 1
fi
echo "== installing packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Offline machines still have the package lists of their last update.
apt-get update || echo "apt-get update failed; going on with the package lists at hand" >&2
apt-get install -y --no-install-recommends "${missing[@]}"
