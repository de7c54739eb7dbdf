#!/usr/bin/env bash
# Builds the Debian packages with Debian's own tools (debian/, debhelper, dpkg-buildpackage -b):
#   build/package/zubload_<version>_amd64.deb    the command-line loader and the board simulator
#   build/package/zubloader_<version>_amd64.deb  the window, its launcher, desktop entry and demo
# The sources are copied to build/package/zubloader-<version>/ first, so the checkout stays clean
# and every build starts from the same path. Two builds of one commit give identical packages:
# file dates come from the changelog's date (SOURCE_DATE_EPOCH, set by dpkg-buildpackage).
# Usage: scripts/package.sh [CMAKE_OPTION...]   prints the two packages' paths as its last lines
#   e.g. scripts/package.sh -DZUB_UPDATE_HOST=https://updates.example.com  for a site's server;
#   without it the packages ask the default update host.
set -euo pipefail
umask 022

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$REPO/build/package"
cd "$REPO"

# debian/rules takes the options as one make variable: words without spaces only.
for opt in "$@"; do
    case "$opt" in
    -D* | -U*)
        [[ "$opt" != *[[:space:]]* ]] || { echo "package.sh: no spaces in '$opt'" >&2; exit 2; } ;;
    *) echo "package.sh: '$opt' is not a -DNAME=VALUE or -UNAME option for CMake" >&2; exit 2 ;;
    esac
done
export ZUB_CMAKE_OPTIONS="$*"

version="$(dpkg-parsechangelog -l debian/changelog -S Version)"
arch="$(dpkg-architecture -q DEB_HOST_ARCH)"
SRC="$OUT/zubloader-$version"
mkdir -p "$OUT"
rm -rf "$OUT"/zubloader-*/ "$OUT/stage"
rm -f "$OUT"/*.deb "$OUT"/*.changes "$OUT"/*.buildinfo "$OUT/build.log"

echo "== copying the sources to $SRC"
mkdir "$SRC"
if git -C "$REPO" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # What the checkout holds, edits included; nothing git ignores (build/, caches).
    git -C "$REPO" ls-files -z --cached --others --exclude-standard --deduplicate |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar -C "$REPO" --null -T - -cf - | tar -C "$SRC" -xf -
else
    tar -C "$REPO" --exclude=./build --exclude=./.git -cf - . | tar -C "$SRC" -xf -
fi

# debhelper gives the build a HOME of its own: tell ccache where its cache is.
if command -v ccache >/dev/null; then
    CCACHE_DIR="${CCACHE_DIR:-$(ccache -k cache_dir)}"
    CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(ccache -k base_dir)}"
    export CCACHE_DIR CCACHE_BASEDIR
fi

echo "== dpkg-buildpackage -b (log: $OUT/build.log)"
if ! (cd "$SRC" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$OUT/build.log" 2>&1; then
    tail -n 60 "$OUT/build.log" >&2
    echo "package.sh: the package build failed; the whole log is $OUT/build.log" >&2
    exit 1
fi
rm -rf "$SRC"
for pkg in zubload zubloader; do
    deb="$OUT/${pkg}_${version}_${arch}.deb"
    [ -f "$deb" ] || { echo "package.sh: $deb was not built" >&2; exit 1; }
done
for pkg in zubload zubloader; do
    echo "$OUT/${pkg}_${version}_${arch}.deb"
done
