#!/usr/bin/env bash
# The Debian packages' proof, run by scripts/test.sh (as root, on Debian 12). One function a
# stage, run in this order by main:
#  preflight          what this machine must allow, tried in a few seconds; one line says what
#                     is missing (`check-package.sh --preflight` runs only this, so test.sh
#                     learns it before its long build);
#  start_base_system  a Debian 12 minbase from this machine's apt sources, cached or bootstrapped
#                     in the background while the packages build;
#  build_packages     build/package/zubload_<version>_amd64.deb and zubloader_<version>_amd64.deb
#                     (scripts/package.sh), every compile with Debian's hardening flags;
#  check_contents     lintian (no errors, warnings or info tags), appstreamcli,
#                     desktop-file-validate, a man page for every program;
#  make_root          a fresh root file system in a tmpfs with a /dev of its own;
#  install_zubload    zubload ALONE with apt, without recommended packages: no Qt Gui, Qt Widgets
#                     or font package may come in; how many packages came and their size;
#  run_zubload        as a user outside the dialout group, with only a loopback network:
#                     `zubload --version`, `--list-ports` and a complete download into
#                     `zub-boardsim` with the flash compared with the image;
#  install_zubloader  zubloader beside it, still no build tools;
#  run_window         the window through its launcher on the offscreen platform: it reads its
#                     fonts and settings, and ends by SIGTERM;
#  run_demo           with the recommended packages added, `zubloader-demo` without a display;
#  purge_packages     none of the packages' files may stay; what stays in the user's home;
#  cleanup            removes the root file system, also on failure or interruption.
# The bootstrapped minbase is kept as a tarball under build/package-check/cache/, keyed by the apt
# sources, for at most a week, and the downloaded .deb files beside it; every run still unpacks a
# new root that has never seen the package, updates its package lists and installs with apt.
set -euo pipefail
umask 022

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SELF="$REPO/scripts/check-package.sh"
CHECK="$REPO/build/package-check"
CACHE="$CHECK/cache"
SUITE=bookworm
MMDEBSTRAP_ARGS=(--variant=minbase --format=tar --mode=root)
USER_NAME=zubtester
HOME_IN="/home/$USER_NAME"

# Set by the stages, read by the clean-up.
ROOT=""
BASE=""
BOOTSTRAP_PID=""
WINDOW_PID=""

t0=$SECONDS
step() { echo "== [$((SECONDS - t0)) s] $*"; }
die() {
    echo "check-package.sh: $*" >&2
    exit 1
}

# What the check and the suites before it need of this machine. A chroot entered without its
# mounts passes the rest and fails much later, so those are looked at too.
preflight() {
    local cmd err missing=()
    [ "$(id -u)" -eq 0 ] || { echo "check-package.sh: run as root" >&2; return 1; }
    for cmd in unshare chroot mmdebstrap dpkg-buildpackage dpkg-checkbuilddeps dh lintian \
        appstreamcli desktop-file-validate strace ip python3; do
        command -v "$cmd" >/dev/null || missing+=("$cmd")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "check-package.sh: missing ${missing[*]}: run scripts/install-packages.sh" >&2
        return 1
    fi
    if [ ! -r /proc/self/status ]; then
        echo "check-package.sh: /proc is not mounted (a chroot? docs/maintainers.md lists" \
            "the mounts it needs)" >&2
        return 1
    fi
    if ! err="$(python3 -c 'import os; os.openpty()' 2>&1)"; then
        echo "check-package.sh: cannot open a pseudo-terminal, which the serial tests need" \
            "(is /dev/pts mounted?): ${err##*$'\n'}" >&2
        return 1
    fi
    # Without them the package build fails after the suites, many minutes from now.
    if ! err="$(cd "$REPO" && dpkg-checkbuilddeps 2>&1)"; then
        echo "check-package.sh: the package cannot be built here: ${err#dpkg-checkbuilddeps: error: };" \
            "run scripts/install-packages.sh" >&2
        return 1
    fi
    # In a chroot "/" is often no mount point, and no private mount namespace can be made. A bind
    # mount made inside the chroot does not help: the chroot's root stays below it.
    if ! err="$(unshare --mount --propagation private -- true 2>&1)"; then
        if [[ "$err" == *propagation* ]]; then
            echo "check-package.sh: '/' is not a mount point (a chroot?): outside it, run" \
                "'mount --bind DIR DIR' on the chroot's folder DIR before its other mounts," \
                "enter it again and rerun (docs/maintainers.md lists the mounts)" >&2
        else
            echo "check-package.sh: cannot make a private mount namespace: $err" >&2
        fi
        return 1
    fi
    if ! err="$(unshare --mount --propagation private -- sh -c \
        'd=$(mktemp -d) && mount -t tmpfs tmpfs "$d" && umount "$d" && rmdir "$d"' 2>&1)"; then
        echo "check-package.sh: cannot mount a tmpfs (a container without CAP_SYS_ADMIN?): $err" >&2
        return 1
    fi
    if ! err="$(unshare --net -- ip link set lo up 2>&1)"; then
        echo "check-package.sh: cannot make a network namespace: $err" >&2
        return 1
    fi
}

cleanup() {
    local rc=$?
    # Every step below runs, whatever the one before it returned.
    set +e
    trap - EXIT INT TERM HUP
    if [ -n "$BOOTSTRAP_PID" ]; then
        kill "$BOOTSTRAP_PID" 2>/dev/null && wait "$BOOTSTRAP_PID" 2>/dev/null
        rm -f "$BASE.tmp"
    fi
    [ -n "$WINDOW_PID" ] && kill "$WINDOW_PID" 2>/dev/null && wait "$WINDOW_PID" 2>/dev/null
    if [ -n "$ROOT" ] && [ -d "$ROOT" ]; then
        # Anything this check left running inside the root (a simulator after a failed step).
        local p
        for p in /proc/[0-9]*; do
            [ "$(readlink "$p/root" 2>/dev/null)" = "$ROOT" ] && kill -KILL "${p#/proc/}"
        done
        # The root is a tmpfs: unmounting it removes it.
        findmnt -rn -o TARGET | awk -v r="$ROOT" '$0 == r || index($0, r "/") == 1' | sort -r |
            while read -r m; do umount "$m" || umount -l "$m"; done
        rmdir "$ROOT" || rc=1
    fi
    [ "$rc" -eq 0 ] || echo "== package check FAILED after $((SECONDS - t0)) s" >&2
    exit "$rc"
}

# The base system comes from the package sources this machine's apt uses; a cached one is taken
# when the sources are the same, else it is bootstrapped in the background (network-bound).
start_base_system() {
    local sources=() f opt key
    if grep -qE '^[[:space:]]*deb' /etc/apt/sources.list 2>/dev/null; then
        sources+=(/etc/apt/sources.list)
    fi
    for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && sources+=("$f")
    done
    [ ${#sources[@]} -gt 0 ] || die "no apt sources found"
    # A proxy this machine's apt is told to use goes into the root's apt configuration as well.
    while IFS= read -r opt; do
        MMDEBSTRAP_ARGS+=("--aptopt=$opt")
    done < <(apt-config dump | grep -E '^Acquire::[a-z]+::Proxy' || true)
    key="$({ mmdebstrap --version; echo "$SUITE ${MMDEBSTRAP_ARGS[*]}"; cat "${sources[@]}"; } |
        sha256sum | cut -c1-16)"
    BASE="$CACHE/base-$key.tar"
    find "$CACHE" -maxdepth 1 -name 'base-*.tar' -mtime +6 -delete
    find "$CACHE" -maxdepth 1 -name 'base-*.tar' ! -name "base-$key.tar" -delete
    if [ -f "$BASE" ]; then
        step "base system: $BASE (made $(date -r "$BASE" '+%F %R'))"
    else
        step "base system: bootstrapping Debian $SUITE minbase in the background"
        mmdebstrap "${MMDEBSTRAP_ARGS[@]}" --quiet "$SUITE" "$BASE.tmp" "${sources[@]}" \
            >"$CHECK/mmdebstrap.log" 2>&1 &
        BOOTSTRAP_PID=$!
    fi
}

build_packages() {
    local compiles flag
    step "building the packages"
    "$REPO/scripts/package.sh" | tee "$CHECK/package.log"
    CLI_DEB="$(grep '/zubload_[^/]*\.deb$' "$CHECK/package.log" | tail -n1)"
    GUI_DEB="$(grep '/zubloader_[^/]*\.deb$' "$CHECK/package.log" | tail -n1)"
    [ -f "$CLI_DEB" ] && [ -f "$GUI_DEB" ] || die "the packages were not built"
    VERSION="$(dpkg-deb -f "$CLI_DEB" Version)"
    # Every compile of the programs had Debian's hardening flags: lintian cannot see
    # fortification in a program whose calls need none, so it is checked here.
    compiles="$(grep -E '/usr/bin/(c\+\+|cc) .* -c ' "$REPO/build/package/build.log" || true)"
    [ -n "$compiles" ] || die "no compile lines in build/package/build.log"
    for flag in -D_FORTIFY_SOURCE=2 -fstack-protector-strong; do
        if grep -v -e "$flag" <<<"$compiles" | head -n3 | grep . >&2; then
            die "compiled without $flag (above)"
        fi
    done
}

check_contents() {
    local stage="$CHECK/contents" p
    # The .changes file names both packages and the build's .buildinfo: lintian reads them all.
    step "lintian $(basename "$CLI_DEB") $(basename "$GUI_DEB")"
    lintian --fail-on error,warning,info --display-info "${CLI_DEB%/*}"/zubloader_"$VERSION"_*.changes
    step "metainfo, desktop entry, a man page for every program"
    rm -rf "$stage"
    dpkg-deb -x "$CLI_DEB" "$stage"
    dpkg-deb -x "$GUI_DEB" "$stage"
    appstreamcli validate --no-net "$stage"/usr/share/metainfo/*.metainfo.xml
    desktop-file-validate "$stage/usr/share/applications/zubloader.desktop"
    for p in "$stage"/usr/bin/*; do
        [ -f "$stage/usr/share/man/man1/$(basename "$p").1.gz" ] ||
            die "no man page for $(basename "$p")"
    done
    rm -rf "$stage"
}

wait_base_system() {
    [ -n "$BOOTSTRAP_PID" ] || return 0
    step "waiting for the base system"
    if ! wait "$BOOTSTRAP_PID"; then
        BOOTSTRAP_PID=""
        cat "$CHECK/mmdebstrap.log" >&2
        rm -f "$BASE.tmp"
        die "the base system could not be bootstrapped (above)"
    fi
    BOOTSTRAP_PID=""
    mv "$BASE.tmp" "$BASE"
}

make_root() {
    local n v
    step "fresh root file system"
    ROOT="$(mktemp -d "$CHECK/root.XXXXXX")"
    # In memory: quick to unpack, and gone with this script's mount namespace whatever ends it.
    mount -t tmpfs -o size=3g,mode=755 tmpfs "$ROOT"
    tar -xf "$BASE" -C "$ROOT" --numeric-owner --exclude='./dev/*'
    mount -t proc proc "$ROOT/proc"
    mount -t sysfs -o ro sysfs "$ROOT/sys"
    # A /dev of its own: the few nodes programs expect, and a private pseudo-terminal instance.
    mount -t tmpfs -o mode=755,nosuid tmpfs "$ROOT/dev"
    for n in null zero full random urandom tty; do
        touch "$ROOT/dev/$n"
        mount --bind "/dev/$n" "$ROOT/dev/$n"
    done
    mkdir "$ROOT/dev/pts" "$ROOT/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$ROOT/dev/pts"
    ln -s pts/ptmx "$ROOT/dev/ptmx"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$ROOT/dev/shm"
    ln -s /proc/self/fd "$ROOT/dev/fd"
    ln -s /proc/self/fd/0 "$ROOT/dev/stdin"
    ln -s /proc/self/fd/1 "$ROOT/dev/stdout"
    ln -s /proc/self/fd/2 "$ROOT/dev/stderr"
    mount --bind "$CACHE/archives" "$ROOT/var/cache/apt/archives"
    cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
    # apt inside follows a proxy from the environment as it does here.
    PROXIES=()
    for v in http_proxy https_proxy no_proxy; do
        [ -n "${!v:-}" ] && PROXIES+=("$v=${!v}")
    done
    cp "$CLI_DEB" "$GUI_DEB" "$ROOT/tmp/"
    in_root apt-get update -q
    installed | sort >"$CHECK/packages-base.txt"
}

in_root() {
    chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "${PROXIES[@]}" "$@"
}

installed() { in_root dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | sed -n 's/^ii  *//p'; }

no_toolchain() {
    local tools toolchain
    tools='-dev$|^(cmake|ninja-build|make|gcc|gcc-[0-9]+|g\+\+|g\+\+-[0-9]+|cpp|clang.*|ccache'
    tools+='|pkg-config|binutils)$'
    toolchain="$(installed | grep -E -- "$tools" || true)"
    [ -z "$toolchain" ] || die "build tools came with the packages: $toolchain"
}

# zubload alone, as a jig computer without a desktop gets it.
install_zubload() {
    local gui guilibs p count kib own
    step "apt-get install ./$(basename "$CLI_DEB") alone (no recommended packages)"
    in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$CLI_DEB")"
    installed | sort | comm -13 "$CHECK/packages-base.txt" - >"$CHECK/packages-zubload.txt"
    gui='^(libqt6gui6.*|libqt6widgets6.*|libqt6opengl6.*|libqt6xcbqpa6|qt6-qpa-plugins|'
    gui+='libfontconfig.*|fontconfig.*|fonts-.*|ttf-.*|xfonts-.*)$'
    guilibs="$(grep -E -- "$gui" "$CHECK/packages-zubload.txt" || true)"
    [ -z "$guilibs" ] || die "zubload brought Qt Gui, Qt Widgets or font packages:" "${guilibs//$'\n'/ }"
    for p in zubload zub-boardsim; do
        if in_root ldd "/usr/bin/$p" | grep -E 'libQt6(Gui|Widgets|OpenGL)|libfontconfig'; then
            die "$p links a GUI library"
        fi
    done
    # Installed-Size is in KiB.
    count="$(grep -cvx zubload "$CHECK/packages-zubload.txt")"
    kib="$(in_root dpkg-query -W -f '${Installed-Size}\n' $(cat "$CHECK/packages-zubload.txt") |
        awk '{ s += $1 } END { print s }')"
    own="$(dpkg-deb -f "$CLI_DEB" Installed-Size)"
    echo "zubload alone: apt brought $count packages with it, $((kib / 1024)) MiB installed in all" \
        "(zubload itself $own KiB)"
    no_toolchain
}

# As the user, in a network namespace of its own with only the loopback device: nothing reaches
# out, and the demo's update server cannot meet another test's on this machine. An array, not a
# function, so that strace can run it too.
add_user() {
    in_root useradd --create-home --shell /bin/bash "$USER_NAME"
    local uid gid
    uid="$(in_root id -u "$USER_NAME")"
    gid="$(in_root id -g "$USER_NAME")"
    AS_USER=(unshare --net -- bash -c
        'ip link set lo up && exec chroot --userspec="$1" --groups="${1#*:}" "$2" "${@:3}"' as_user
        "$uid:$gid" "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME="$HOME_IN" USER="$USER_NAME"
        LANG=C.UTF-8)
    USER_IDS="$uid:$gid"
}

run_zubload() {
    add_user
    # The image: 72 KiB of program bytes at address 0, as AVR toolchains write it (16 bytes a
    # record, CR LF, a segment address record at 64 KiB); and the flash the board must end with.
    python3 - "$REPO/tools" "$ROOT$HOME_IN" <<'EOF'
import os, sys
sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
from hexfile import image_bytes, to_hex
out = sys.argv[2]
size, flash = 72 * 1024, 128 * 1024
data = image_bytes(size, 0x5EED)
open(os.path.join(out, "image.hex"), "wb").write(to_hex(data, "02"))
open(os.path.join(out, "expected-flash.bin"), "wb").write(data + b"\xff" * (flash - size))
EOF
    chown "$USER_IDS" "$ROOT$HOME_IN"/image.hex "$ROOT$HOME_IN"/expected-flash.bin
    cat >"$ROOT/tmp/zub-download-check.sh" <<'EOF'
set -euo pipefail
cd "$HOME"
echo "== zubload --version"
zubload --version | tee version.out
[ "$(cat version.out)" = "zubload (ZubLoader) $1" ] || { echo "not version $1"; exit 1; }
echo "== zubload --list-ports"
zubload --list-ports
echo "== zubload into zub-boardsim"
zub-boardsim --link "$HOME/ttyZUB" --flash-out "$HOME/flash.bin" --events "$HOME/board.log" \
    --once >sim.out 2>sim.err &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -L "$HOME/ttyZUB" ] && break; sleep 0.1; done
[ -L "$HOME/ttyZUB" ] || { echo "the simulator did not start:"; cat sim.err; exit 1; }
timeout 180 zubload -p "$HOME/ttyZUB" -b 115200 --no-auto-reset image.hex
timeout 10 tail --pid=$sim -f /dev/null
wait $sim
cmp expected-flash.bin flash.bin
echo "flash identical to the image ($(grep -c ' OK$' board.log) pages acknowledged)"
EOF
    step "zubload and zub-boardsim as $USER_NAME (not in dialout), without network"
    "${AS_USER[@]}" /bin/bash /tmp/zub-download-check.sh "$VERSION"
}

install_zubloader() {
    step "apt-get install ./$(basename "$GUI_DEB") (no recommended packages)"
    in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$GUI_DEB")"
    # The downloaded files stay for the next run, less those the archive no longer has.
    in_root apt-get autoclean -q >/dev/null
    no_toolchain
}

# The window as the desktop menu starts it. A first start shows a message box that only a person
# can close, so the window is ended with SIGTERM once the trace shows it ran its start-up
# sequence in the launcher's folder (it reads default.ini a second after it appeared) and read
# the fonts its captions ask for.
run_window() {
    local trace="$CHECK/window-trace.txt" settings started="" window="" p font rc=0
    step "zubloader-launch on the offscreen platform"
    rm -f "$trace"
    # Every call that names a file: the settings file is looked at (stat) before it is opened,
    # and a first start has none to open. -I1: strace itself must yield to the clean-up's
    # SIGTERM.
    strace -f -qq -I1 -e trace=%file -e signal=none -o "$trace" "${AS_USER[@]}" \
        QT_QPA_PLATFORM=offscreen /usr/bin/zubloader-launch >"$CHECK/window-out.txt" 2>&1 &
    WINDOW_PID=$!
    settings="\"$HOME_IN/.local/share/zubloader/default.ini\""
    for _ in $(seq 300); do
        if grep -qF "$settings" "$trace" 2>/dev/null; then
            started=1
            break
        fi
        kill -0 "$WINDOW_PID" 2>/dev/null || break
        sleep 0.1
    done
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" = "$ROOT/usr/bin/zubloader" ] && window="${p#/proc/}"
    done
    if [ -z "$started" ] || [ -z "$window" ]; then
        cat "$CHECK/window-out.txt" >&2
        die "the window did not start or ended early (above)"
    fi
    for font in DejaVuSansCondensed.ttf NotoSansCJK-Regular.ttc; do
        grep -E "openat\(.*/$font\", .*= [0-9]+$" "$trace" >/dev/null ||
            die "the window did not read $font"
    done
    kill -TERM "$window"
    wait "$WINDOW_PID" || rc=$?
    WINDOW_PID=""
    # strace ends as its program did: by the SIGTERM sent above, and not before.
    if [ "$rc" -ne 143 ]; then
        cat "$CHECK/window-out.txt" >&2
        die "the window ended with status $rc (output above)"
    fi
    echo "the window ran its start-up in ~/.local/share/zubloader with DejaVu Sans Condensed and"
    echo "Noto Sans CJK, and ended by SIGTERM"
}

# The demo as the README gives it, after a plain `apt install`, which also brings the
# recommended packages: without a display it runs the download in the terminal.
run_demo() {
    local recommends
    recommends="$(dpkg-deb -f "$GUI_DEB" Recommends | tr -d ',')"
    step "the recommended packages ($recommends), then zubloader-demo without a display"
    # shellcheck disable=SC2086 # a list of package names
    in_root apt-get install -y -q --no-install-recommends $recommends >/dev/null
    "${AS_USER[@]}" timeout 180 zubloader-demo
}

# Removing the packages takes every file they brought; what the programs made for the user stays.
purge_packages() {
    local left="" f
    step "apt-get purge zubloader zubload"
    in_root dpkg-query -L zubload zubloader | sort -u >"$CHECK/package-files.txt"
    in_root apt-get purge -y -q zubloader zubload >/dev/null
    while IFS= read -r f; do
        [ -f "$ROOT$f" ] || [ -L "$ROOT$f" ] || continue
        # Folders such as /usr/bin belong to other packages too; a file of ours must be gone.
        in_root dpkg-query -S "$f" >/dev/null 2>&1 || left+=" $f"
    done <"$CHECK/package-files.txt"
    [ -z "$left" ] || die "files stayed after the purge:$left"
    echo "no file of the packages stayed; in $HOME_IN these stay:"
    (cd "$ROOT$HOME_IN" && { find .local/share/zubloader .cache/zubloader-demo -maxdepth 1 \
        2>/dev/null || true; } | sort | sed 's/^/  ~\//')
}

main() {
    # Every mount below lives in a mount namespace of its own: whatever ends this script, even
    # SIGKILL, the kernel drops the mounts with it.
    if [ "${ZUB_CHECK_PACKAGE_NS:-}" != 1 ]; then
        preflight || exit 1
        [ "${1:-}" != --preflight ] || exit 0
        ZUB_CHECK_PACKAGE_NS=1 exec unshare --mount --propagation private -- "$SELF" "$@"
    fi
    mkdir -p "$CACHE/archives/partial"
    trap cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    # Mount points of an earlier run that was killed: its tmpfs died with its namespace.
    find "$CHECK" -maxdepth 1 -name 'root.*' -type d -empty -delete

    start_base_system
    build_packages
    check_contents
    wait_base_system
    make_root
    install_zubload
    run_zubload
    install_zubloader
    run_window
    run_demo
    purge_packages
    step "package check passed"
}

main "$@"
