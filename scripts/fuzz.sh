#!/usr/bin/env bash
# Runs libFuzzer targets for a given time each.
#
#   scripts/fuzz.sh [-B build-dir] <seconds> [target...]
#
# Without targets it runs every fuzz_* target of the build. The build folder (default:
# build-fuzz beside this script's folder) is configured with clang and built first when needed.
# Each target starts from its committed seeds in fuzz/corpus/<name without "fuzz_">/ and grows a
# working corpus in <build-dir>/fuzz-corpus/<target>/; the seeds are never written. Crashing
# inputs land in <build-dir>/fuzz-crashes/<target>/, the output of each run in
# <build-dir>/fuzz-logs/<target>.log. Exit status 1 when any target found a crash.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
if [[ "${1:-}" == "-B" ]]; then
    [[ $# -ge 2 ]] || { echo "usage: $0 [-B build-dir] <seconds> [target...]" >&2; exit 2; }
    build="$(realpath -m "$2")"
    shift 2
fi
if [[ $# -lt 1 || ! "$1" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [-B build-dir] <seconds> [target...]" >&2
    exit 2
fi
seconds="$1"
shift

if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DZUB_FUZZ=ON -DZUB_BENCH=OFF \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    mapfile -t targets < <(ninja -C "$build" -t targets all |
        sed -n 's/^fuzz\/\(fuzz_[A-Za-z0-9_]*\): CXX_EXECUTABLE_LINKER.*/\1/p' | sort -u)
fi
[[ ${#targets[@]} -gt 0 ]] || { echo "no fuzz targets in $build" >&2; exit 2; }
ninja -C "$build" -j2 "${targets[@]}"

found=0
for t in "${targets[@]}"; do
    exe="$(find "$build" -type f -name "$t" -perm -u+x | head -n 1)"
    [[ -n "$exe" ]] || { echo "$t: not built" >&2; found=1; continue; }
    work="$build/fuzz-corpus/$t"
    crashes="$build/fuzz-crashes/$t"
    seeds="$root/fuzz/corpus/${t#fuzz_}"
    mkdir -p "$work" "$crashes" "$build/fuzz-logs"
    dirs=("$work")
    [[ -d "$seeds" ]] && dirs+=("$seeds")
    echo "== $t: ${seconds}s, corpus $work${seeds:+ + seeds}"
    status=0
    "$exe" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$crashes/" \
        -rss_limit_mb=2048 "${dirs[@]}" >"$build/fuzz-logs/$t.log" 2>&1 || status=$?
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+ +DONE' \
        "$build/fuzz-logs/$t.log" || true
    if [[ $status -ne 0 ]]; then
        echo "$t: FAILED (exit $status), inputs in $crashes, log $build/fuzz-logs/$t.log"
        found=1
    else
        echo "$t: no crash"
    fi
done
exit $found
