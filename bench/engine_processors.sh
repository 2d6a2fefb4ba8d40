#!/usr/bin/env bash
# The engine's extraction of the 64 MiB DLL set (as bench/engine_bench.sh makes it) on one and
# on two processors, under Wine, and each solid stream's decode time with the model of more
# processors built on it (bench/stream_bench.cpp).
#
#   bench/engine_processors.sh     (after the builds of build/host and build/$arch)
#   ENGINE_ROUNDS=9, JOBS="2 3" (the packing threads of each package: its split into streams),
#   WRITE_MB_PER_S (the engine's writing rate for the model: the stored row's),
#   EXTRA_EXES (names of further executables in build/bench to time the same way)
#
# Each package is built with --unattended (no waiting window) and run with cleanup mode tree
# and no command; the run of a one-file package is subtracted. One processor is the process's
# affinity set to processor 0 (`taskset -c 0`; Wine hands that affinity to the engine, which
# then decodes alone), two is the whole machine. The rounds go through every package and
# processor count in turn; best of the rounds for the wall time, and the CPU time (user and
# system of the engine's process) of the same round.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
arch=$(scripts/windows-arch)
tool=build/host/runpack
engine=build/$arch/runpack-engine.exe
work=build/bench
jobs=${JOBS:-"2 3"}
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
echo "data: $(ls "$dlls" | wc -l) DLLs, $bytes bytes; $(nproc) cores; load: $(cut -d' ' -f1-3 /proc/loadavg)"

mkdir -p "$work/empty" && : > "$work/empty/empty.txt"
$tool build -o "$work/empty.exe" --engine "$engine" --method stored --unattended "$work/empty" >/dev/null
$tool build -o "$work/stored.exe" --engine "$engine" --method stored --unattended "$dlls" >/dev/null
exes="empty stored"
for j in $jobs; do
  [ -f "$work/lzma2-j$j.exe" ] && [ "$work/lzma2-j$j.exe" -nt "$engine" ] ||
    $tool build -o "$work/lzma2-j$j.exe" --engine "$engine" --jobs "$j" --unattended "$dlls" >/dev/null
  exes+=" lzma2-j$j"
done
# More streams than the default level makes of these files: the fast level's 8 MiB target.
[ -f "$work/lzma2-fast.exe" ] && [ "$work/lzma2-fast.exe" -nt "$engine" ] ||
  $tool build -o "$work/lzma2-fast.exe" --engine "$engine" --level fast --jobs 8 --unattended "$dlls" >/dev/null
exes+=" lzma2-fast"
# Executables already in build/bench to time beside them, e.g. the same packages on an earlier engine.
exes+=" ${EXTRA_EXES:-}"

export RUNPACK_BENCH_ROUNDS=${ENGINE_ROUNDS:-9} RUNPACK_BENCH_EXES=$exes RUNPACK_BENCH_WORK=$work
scripts/wine-session bash -c '
  declare -A wall cpu
  for _ in $(seq "$RUNPACK_BENCH_ROUNDS"); do
    for e in $RUNPACK_BENCH_EXES; do for p in 1 2; do
      pin=""; [ $p = 1 ] && pin="taskset -c 0"
      /usr/bin/time -o "$RUNPACK_BENCH_WORK/time.txt" -f "%e %U %S" $pin scripts/wine "$RUNPACK_BENCH_WORK/$e.exe" >/dev/null 2>&1 || true
      read -r w u s < <(tail -1 "$RUNPACK_BENCH_WORK/time.txt")
      k=$e/$p
      if [ -z "${wall[$k]:-}" ] || [ "$(echo "$w < ${wall[$k]}" | bc)" = 1 ]; then
        wall[$k]=$w; cpu[$k]=$(echo "$u + $s" | bc)
      fi
    done; done
  done
  printf "%-12s %10s %10s %10s %10s %10s\n" package "1 p wall" "1 p CPU" "2 p wall" "2 p CPU" "2p/1p"
  for e in $RUNPACK_BENCH_EXES; do
    w1=$(echo "${wall[$e/1]} - ${wall[empty/1]}" | bc -l); w2=$(echo "${wall[$e/2]} - ${wall[empty/2]}" | bc -l)
    c1=$(echo "${cpu[$e/1]} - ${cpu[empty/1]}" | bc -l); c2=$(echo "${cpu[$e/2]} - ${cpu[empty/2]}" | bc -l)
    r=$( [ $e = empty ] && echo - || printf "%.2f" "$(echo "$w2 / $w1" | bc -l)")
    [ $e = empty ] && { w1=${wall[empty/1]}; w2=${wall[empty/2]}; c1=${cpu[empty/1]}; c2=${cpu[empty/2]}; }
    printf "%-12s %10.3f %10.3f %10.3f %10.3f %10s\n" "$e" "$w1" "$c1" "$w2" "$c2" "$r"
    if [ $e = stored ]; then echo "$w1" > "$RUNPACK_BENCH_WORK/stored-net.txt"; fi
  done'
echo "(seconds, best of ${ENGINE_ROUNDS:-9} rounds; the empty package's run subtracted from the others)"

# Write rate: the stored package's net time on one processor, everything but the writing
# being small there (the digest of 69 MB and the mapping of the image).
# A net time of zero or less (the stored run no slower than the empty one) gives no rate: the
# model is then left out, as with WRITE_MB_PER_S=0.
stored_net=$(cat "$work/stored-net.txt")
rate=${WRITE_MB_PER_S:-$(echo "if ($stored_net > 0) $bytes / $stored_net / 1000000 else 0" | bc -l)}
for e in $(printf 'lzma2-j%s ' $jobs) lzma2-fast; do
  echo; echo "$e: streams, decode times and the model"
  build/host/bench/stream_bench "$work/$e.exe" "$(printf '%.1f' "$rate")" 3
done
