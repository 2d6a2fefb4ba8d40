#!/bin/bash
# The host tool on large packages: wall time and peak resident memory (/usr/bin/time -v) of
# `runpack build --method stored`, `list`, `verify` and `extract` on 16 files of random bytes,
# next to `sha1sum` of the same executable in the same run (page-cached: it is read once
# before), best of three runs of each. Then the peak memory of the default method (and of
# --level fast) on real DLLs.
#
#   bench/tool_bench.sh [RUNPACK] [SIZE_MIB...]
#
# RUNPACK: the tool (default build/host/runpack). SIZE_MIB: the package sizes to try
# (default 256 1024). Work files go under $TMPDIR (default build/bench-tool) and are removed
# at the end. DLLS: a folder of DLLs for the default method (default Wine's x86_64 ones, the
# first 300 MiB of them).
set -euo pipefail
export LC_ALL=C.UTF-8
cd "$(dirname "$0")/.."
runpack=$(realpath "${1:-build/host/runpack}")
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(256 1024)
work=${TMPDIR:-$PWD/build/bench-tool}/runpack-tool-bench.$$
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
runs=3

# "seconds peak-KiB" of one command, the best (shortest, smallest) of $runs runs.
measure() {
    local best_time= best_rss=
    for _ in $(seq $runs); do
        /usr/bin/time -v -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || { cat "$work/stderr" >&2; return 1; }
        local wall rss
        wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; print s}' "$work/time")
        rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time")
        if [ -z "$best_time" ] || awk "BEGIN {exit !($wall < $best_time)}"; then best_time=$wall; fi
        if [ -z "$best_rss" ] || [ "$rss" -lt "$best_rss" ]; then best_rss=$rss; fi
        [ "${CLEAN:-}" = "" ] || rm -rf "$CLEAN"
    done
    echo "$best_time $best_rss"
}

report() {  # name seconds KiB bytes sha1sum-seconds
    awk -v n="$1" -v t="$2" -v k="$3" -v b="$4" -v s="$5" 'BEGIN {
        printf "  %-22s %7.2f s %8.0f MB/s  %7.1f MiB peak", n, t, b / 1e6 / (t > 0 ? t : 0.001), k / 1024
        if (s > 0) printf "  %.2f x sha1sum", s / (t > 0 ? t : 0.001)
        printf "\n" }'
}

echo "runpack: $runpack; $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg); best of $runs runs"
for mib in "${sizes[@]}"; do
    in="$work/in-$mib"
    mkdir -p "$in"
    for i in $(seq -w 1 16); do head -c $((mib * 1024 * 1024 / 16)) /dev/urandom >"$in/file$i.bin"; done
    exe="$work/big-$mib.exe"
    read -r t k < <(measure "$runpack" build --quiet -o "$exe" --method stored "$in")
    bytes=$(stat -c %s "$exe")
    cat "$exe" >/dev/null
    read -r ts ks < <(measure sha1sum "$exe")
    echo "$mib MiB of files, executable $bytes bytes:"
    report "sha1sum" "$ts" "$ks" "$bytes" 0
    report "build --method stored" "$t" "$k" "$bytes" "$ts"
    read -r t k < <(measure "$runpack" list "$exe")
    report "list" "$t" "$k" "$bytes" 0
    read -r t k < <(measure "$runpack" verify --quiet "$exe")
    report "verify" "$t" "$k" "$bytes" "$ts"
    read -r t k < <(CLEAN="$work/out" measure "$runpack" extract --quiet "$exe" -C "$work/out")
    report "extract" "$t" "$k" "$bytes" "$ts"
    "$runpack" extract --quiet "$exe" -C "$work/out"
    diff -r "$in" "$work/out" && echo "  extract: every file byte for byte"
    rm -rf "$in" "$exe" "$work/out"
done

dlls=${DLLS:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}
if [ -d "$dlls" ]; then
    mkdir -p "$work/dlls"
    total=0
    for f in "$dlls"/*.dll; do
        size=$(stat -c %s "$f")
        [ $((total + size)) -le $((300 * 1024 * 1024)) ] || break
        cp "$f" "$work/dlls/"
        total=$((total + size))
    done
    echo "$(ls "$work/dlls" | wc -l) DLLs, $total bytes, from $dlls:"
    runs=1
    for level in best fast; do
        read -r t k < <(measure "$runpack" build --quiet -o "$work/dlls.exe" --level $level "$work/dlls")
        report "build (lzma2 $level)" "$t" "$k" "$total" 0
        read -r t k < <(measure "$runpack" build --quiet -o "$work/dlls-j1.exe" --level $level --jobs 1 "$work/dlls")
        report "  the same, --jobs 1" "$t" "$k" "$total" 0
        read -r t k < <(measure "$runpack" verify --quiet "$work/dlls.exe")
        report "  verify" "$t" "$k" "$total" 0
    done
fi
