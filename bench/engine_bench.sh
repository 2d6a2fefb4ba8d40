#!/usr/bin/env bash
# Throughput of the engine under Wine and of `runpack build`, on 64 MiB of real Windows DLLs
# (Wine's own i386 DLLs, whole files in name order until 64 MiB are reached).
#
#   bench/engine_bench.sh     (after scripts/test.sh or the builds it makes)
#   ROUNDS=3 (best of, for the tool's timings), ENGINE_ROUNDS=9 (for the engine's), LEVELS=1
#
# Engine: a runpack executable with every file stored, one with every file LZHUF-compressed,
# one with the default method (solid LZMA2 streams), cleanup mode tree, no command, each run
# under Wine; the run of an executable with an empty package is subtracted (Wine's start-up
# and the engine's own start). They are built with --unattended: the waiting window that a
# run shows otherwise stays up for at least a second, longer than any of these extractions
# takes here, and would be timed instead of them. One more row times the default run of the
# solid package, with its window. Next to it: `cp -r` of the same files on the same disk, the
# native single-thread decode of the same data, and the tool's own extraction of the LZHUF
# executable (`runpack extract`, same decoder, same disk).
# Tool: `runpack build --method auto` on all cores, next to the single-thread encode, at the
# default level (best); then the build at every level, with the package size (LEVELS=0 skips
# that part).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
arch=$(scripts/windows-arch)
tool=build/host/runpack
engine=build/$arch/runpack-engine.exe
work=build/bench
rounds=${ROUNDS:-3}
levels=${LEVELS:-1}
mkdir -p "$work"

dlls=$work/dlls
if [ ! -f "$work/dlls.done" ]; then
  rm -rf "$dlls"; mkdir -p "$dlls"
  total=0
  for f in $(ls /usr/lib/i386-linux-gnu/wine/i386-windows/*.dll | sort); do
    cp "$f" "$dlls/"
    total=$((total + $(stat -c %s "$f")))
    [ $total -ge $((64 << 20)) ] && break
  done
  touch "$work/dlls.done"
fi
bytes=$(du -cb "$dlls"/* | tail -1 | cut -f1)
files=$(ls "$dlls" | wc -l)
mb=$(echo "$bytes / 1000000" | bc -l)

# Best wall-clock seconds of $rounds runs of a command.
best() {
  local best_time=999999 t0 t1 t
  for _ in $(seq "$rounds"); do
    [ -n "${BEFORE:-}" ] && eval "$BEFORE"
    t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    best_time=$(echo "if ($t < $best_time) $t else $best_time" | bc -l)
  done
  printf '%.3f' "$best_time"
}
rate() { printf '%.1f' "$(echo "$mb / $1" | bc -l)"; }

echo "data: $files DLLs, $bytes bytes; CPU: $(lscpu | sed -n 's/^Model name: *//p'); $(nproc) cores"

$tool build -o "$work/stored.exe" --engine "$engine" --method stored --unattended "$dlls" >/dev/null
$tool build -o "$work/lzhuf.exe" --engine "$engine" --method lzhuf --unattended "$dlls" >/dev/null
lzma2_build_time=$(BEFORE="rm -f $work/lzma2.exe" best "$tool" build -o "$work/lzma2.exe" --engine "$engine" --unattended "$dlls")
$tool build -o "$work/lzma2-window.exe" --engine "$engine" "$dlls" >/dev/null
tar -cf "$work/dlls.tar" -C "$dlls" .
xz -6 -c < "$work/dlls.tar" > "$work/dlls.tar.xz"
mkdir -p "$work/empty" && : > "$work/empty/empty.txt"
$tool build -o "$work/empty.exe" --engine "$engine" --method stored --unattended "$work/empty" >/dev/null
cat "$dlls"/* > "$work/all.bin"
$tool lzhuf encode "$work/all.bin" "$work/all.lzh" >/dev/null

cp_time=$(BEFORE="rm -rf $work/cp-target" best cp -r "$dlls" "$work/cp-target")
rm -rf "$work/cp-target"
decode_time=$(best "$tool" lzhuf decode "$work/all.lzh" /dev/null "$bytes")
extract_time=$(BEFORE="rm -rf $work/extract-target" best "$tool" extract "$work/lzhuf.exe" -C "$work/extract-target")
rm -rf "$work/extract-target"
encode_time=$(best "$tool" lzhuf encode "$work/all.bin" /dev/null)
build_time=$(BEFORE="rm -f $work/auto.exe" best "$tool" build -o "$work/auto.exe" --engine "$engine" --method auto "$dlls")
level_rows=""
for level in $( [ "$levels" = 0 ] || echo ref fast best ); do
  t=$(BEFORE="rm -f $work/auto-$level.exe" best "$tool" build -o "$work/auto-$level.exe" --engine "$engine" --method auto --level "$level" "$dlls")
  level_rows+=$(printf '%-44s %9.3f %9s %12s' "runpack build --level $level, all cores" "$t" "$(rate "$t")" "$(stat -c %s "$work/auto-$level.exe")")$'\n'
done

# Engine runs are short and the machine's noise is not: more rounds for them.
export RUNPACK_BENCH_ROUNDS=${ENGINE_ROUNDS:-9}
# The rounds go through the executables in turn, so that a busy moment of the machine does
# not fall on one of them only.
read -r empty_time stored_time lzhuf_time lzma2_time window_time < <(scripts/wine-session bash -c '
  exes=(empty stored lzhuf lzma2 lzma2-window); declare -A b
  for _ in $(seq "$RUNPACK_BENCH_ROUNDS"); do for e in "${exes[@]}"; do
    t0=$(date +%s.%N); scripts/wine '"$work"'/$e.exe >/dev/null 2>&1; t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l); b[$e]=$(echo "if ($t < ${b[$e]:-999999}) $t else ${b[$e]:-999999}" | bc -l)
  done; done
  for e in "${exes[@]}"; do printf "%.3f " "${b[$e]}"; done; echo')
stored_net=$(echo "$stored_time - $empty_time" | bc -l)
lzhuf_net=$(echo "$lzhuf_time - $empty_time" | bc -l)
lzma2_net=$(echo "$lzma2_time - $empty_time" | bc -l)
window_net=$(echo "$window_time - $empty_time" | bc -l)

printf '\n%-44s %9s %9s\n' "" "seconds" "MB/s"
printf '%-44s %9.3f %9s\n' "engine start-up (empty package, subtracted)" "$empty_time" "-"
printf '%-44s %9.3f %9s\n' "engine, stored entries" "$stored_net" "$(rate "$stored_net")"
printf '%-44s %9.3f %9s\n' "engine, LZHUF entries" "$lzhuf_net" "$(rate "$lzhuf_net")"
printf '%-44s %9.3f %9s\n' "engine, solid LZMA2 (default)" "$lzma2_net" "$(rate "$lzma2_net")"
printf '%-44s %9.3f %9s\n' "engine, solid LZMA2, with its window" "$window_net" "$(rate "$window_net")"
printf '%-44s %9.3f %9s\n' "runpack build (default: lzma2), all cores" "$lzma2_build_time" "$(rate "$lzma2_build_time")"
printf '%-44s %9.3f %9s\n' "cp -r of the same files" "$cp_time" "$(rate "$cp_time")"
printf '%-44s %9.3f %9s\n' "native decode, one thread" "$decode_time" "$(rate "$decode_time")"
printf '%-44s %9.3f %9s\n' "runpack extract, LZHUF entries" "$extract_time" "$(rate "$extract_time")"
printf '%-44s %9.3f %9s\n' "native encode, one thread" "$encode_time" "$(rate "$encode_time")"
printf '%-44s %9.3f %9s\n' "runpack build --method auto, all cores" "$build_time" "$(rate "$build_time")"
if [ -n "$level_rows" ]; then
  printf '\n%-44s %9s %9s %12s\n' "" "seconds" "MB/s" "exe bytes"
  printf '%s' "$level_rows"
fi
printf '\nstored extraction / cp:                       %.2f (target <= 1.5)\n' "$(echo "$stored_net / $cp_time" | bc -l)"
printf 'LZHUF extraction / (native decode + cp):     %.2f (target <= 1.3)\n' "$(echo "$lzhuf_net / ($decode_time + $cp_time)" | bc -l)"
printf 'LZHUF extraction, engine / runpack extract: %.2f\n' "$(echo "$lzhuf_net / $extract_time" | bc -l)"
printf 'build throughput / single-thread encode:     %.2f (target >= 1.7)\n' "$(echo "$encode_time / $build_time" | bc -l)"
lzma2_size=$(stat -c %s "$work/lzma2-window.exe"); best_size=$(stat -c %s "$work/auto-best.exe"); xz_size=$(stat -c %s "$work/dlls.tar.xz")
printf 'lzma2 exe / tar | xz -6:                     %.3f (target <= 1.05; %s / %s bytes)\n' "$(echo "$lzma2_size / $xz_size" | bc -l)" "$lzma2_size" "$xz_size"
printf 'lzma2 exe / LZHUF best exe:                  %.3f (target <= 0.5)\n' "$(echo "$lzma2_size / $best_size" | bc -l)"
printf 'LZHUF extraction / lzma2 extraction:         %.2f (target >= 1.5)\n' "$(echo "$lzhuf_net / $lzma2_net" | bc -l)"
