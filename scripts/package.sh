#!/usr/bin/env bash
# Builds the Debian package build/package/zubloader_<version>_amd64.deb: a Release build with
# Debian's hardening flags, installed by `cmake --install --strip` into a staging folder, so the
# package holds exactly what the CMake install rules install. The version is the project's one
# version number (project() in CMakeLists.txt); the dependencies are what dpkg-shlibdeps finds in
# the binaries plus what the programs need at run time without linking it.
# Usage: scripts/package.sh [CMAKE_OPTION...]   prints the package's path as its last line
#   e.g. scripts/package.sh -DZUB_UPDATE_HOST=https://updates.example.com  for a site's server;
#   without it the package asks the default update host.
set -euo pipefail
umask 022

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build/package-release"
OUT="$REPO/build/package"
cd "$REPO"

# Fonts: the window's captions ask for DejaVu Sans Condensed and need a CJK font for Hangul.
RUNTIME_DEPENDS="fonts-noto-cjk, fonts-dejavu-extra"
# The demo's update server and image generator; everything else runs without it.
RECOMMENDS="python3"

export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
export DEB_CXXFLAGS_MAINT_STRIP="-g -O2" DEB_CFLAGS_MAINT_STRIP="-g -O2"
echo "== configuring $BUILD (Release, prefix /usr)"
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DZUB_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" \
    -UZUB_UPDATE_HOST "$@" >/dev/null
# Only the installed programs: the tests and benches are no part of the package.
targets=(zubloader zubload zub-boardsim)
echo "== building ${targets[*]}"
cmake --build "$BUILD" -j2 --target "${targets[@]}"

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")"
[ -n "$version" ] || { echo "no project version in $BUILD/CMakeCache.txt" >&2; exit 1; }
# An https:// update server is checked against the system's trust store.
if grep -q '^ZUB_UPDATE_HOST:[A-Z]*=https://' "$BUILD/CMakeCache.txt"; then
    RUNTIME_DEPENDS+=", ca-certificates"
fi
stage="$OUT/stage"
rm -rf "$stage"
mkdir -p "$stage/DEBIAN"
DESTDIR="$stage" cmake --install "$BUILD" --strip >/dev/null

# dpkg-shlibdeps wants a debian/control beside it, as in a source package.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/debian"
printf 'Source: zubloader\n\nPackage: zubloader\nArchitecture: any\n' >"$work/debian/control"
elves=()
while IFS= read -r -d '' f; do
    [ "$(od -An -N4 -tx1 "$f" | tr -d " ")" = 7f454c46 ] && elves+=("$f")
done < <(find "$stage/usr" -type f -print0)
shlibs="$(cd "$work" && dpkg-shlibdeps -O "${elves[@]}" | sed -n 's/^shlibs:Depends=//p')"
[ -n "$shlibs" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

{
    echo "Package: zubloader"
    echo "Version: $version"
    echo "Architecture: amd64"
    echo "Maintainer: $(sed -n 's/^ -- \(.*>\)  .*/\1/p;T;q' packaging/changelog)"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)"
    echo "Depends: $shlibs, $RUNTIME_DEPENDS"
    echo "Recommends: $RECOMMENDS"
    echo "Section: electronics"
    echo "Priority: optional"
    cat packaging/description
} >"$stage/DEBIAN/control"
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

deb="$OUT/zubloader_${version}_amd64.deb"
rm -f "$OUT"/zubloader_*_amd64.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
