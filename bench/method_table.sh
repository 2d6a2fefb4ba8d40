#!/usr/bin/env bash
# The storage methods beside general-purpose compressors, on the same files: package or
# archive size against the files' size, and encode and decode throughput in MB of files per
# second (best of $ROUNDS, default 3), on two sets:
#   dlls  Wine's i386 DLLs, whole files in name order up to 64 MiB (as engine_bench.sh)
#   text  the licences and copyright files of this system, concatenated and repeated up to
#         8 MiB, as one file (as the codec bench's text)
#
#   bench/method_table.sh       (after building build/host and build/<arch>)
#
# runpack rows: `runpack build` on all cores (encode) and `runpack verify` (decode, with the
# SHA-1 of every entry) of the package; lzma2 is the default (solid streams), lzhuf is
# `--method lzhuf --level best`, each file on its own. The other rows compress one tar of the
# same files (solid) and decompress it to /dev/null, single-threaded.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
arch=$(scripts/windows-arch)
tool=build/host/runpack
engine=build/$arch/runpack-engine.exe
work=build/bench
rounds=${ROUNDS:-3}
mkdir -p "$work"

dlls=$work/dlls
if [ ! -f "$work/dlls.done" ]; then
  rm -rf "$dlls"; mkdir -p "$dlls"; total=0
  for f in $(ls /usr/lib/i386-linux-gnu/wine/i386-windows/*.dll | sort); do
    cp "$f" "$dlls/"; total=$((total + $(stat -c %s "$f"))); [ $total -ge $((64 << 20)) ] && break
  done
  touch "$work/dlls.done"
fi
text=$work/text
if [ ! -f "$work/text.done" ]; then
  # As the codec bench's text: the licences and every copyright file, concatenated in sorted
  # path order and repeated up to 8 MiB, as one file.
  rm -rf "$text"; mkdir -p "$text"
  once=$work/text-once
  { find /usr/share/common-licenses -maxdepth 1 -type f; find /usr/share/doc -name copyright -type f; } |
    LC_ALL=C sort | while read -r f; do cat "$f"; done > "$once"
  while [ "$(stat -c %s "$text/text.txt" 2>/dev/null || echo 0)" -lt $((8 << 20)) ]; do cat "$once" >> "$text/text.txt"; done
  truncate -s $((8 << 20)) "$text/text.txt"
  touch "$work/text.done"
fi

best() {
  local best_time=999999 t0 t1 t
  for _ in $(seq "$rounds"); do
    t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    best_time=$(echo "if ($t < $best_time) $t else $best_time" | bc -l)
  done
  printf '%.3f' "$best_time"
}

for set in dlls text; do
  dir=$work/$set
  bytes=$(cat "$dir"/* | wc -c)
  mb=$(echo "$bytes / 1000000" | bc -l)
  tar -cf "$work/$set.tar" -C "$dir" .
  printf '\n%s: %s files, %s bytes\n' "$set" "$(ls "$dir" | wc -l)" "$bytes"
  printf '%-26s %8s %10s %10s %12s\n' "" "size %" "enc MB/s" "dec MB/s" "bytes"
  row() { printf '%-26s %7.2f%% %10.1f %10.1f %12s\n' "$1" "$(echo "100 * $2 / $bytes" | bc -l)" \
                 "$(echo "$mb / $3" | bc -l)" "$(echo "$mb / $4" | bc -l)" "$2"; }
  for method in lzma2 lzhuf; do
    extra=""; [ "$method" = lzhuf ] && extra="--level best"
    exe=$work/$set-$method.exe
    enc=$(best "$tool" build -o "$exe" --engine "$engine" --method "$method" $extra "$dir")
    dec=$(best "$tool" verify "$exe")
    size=$("$tool" list --json "$exe" | sed -n 's/^  "packageSize": \([0-9]*\),/\1/p')
    row "runpack $method (package)" "$size" "$enc" "$dec"
  done
  for c in "gzip -6" "xz -6" "zstd -19"; do
    prog=${c%% *}
    enc=$(best sh -c "$c -c < $work/$set.tar > $work/$set.tar.$prog")
    dec=$(best sh -c "$prog -dc < $work/$set.tar.$prog > /dev/null")
    row "$c (tar, solid)" "$(stat -c %s "$work/$set.tar.$prog")" "$enc" "$dec"
  done
done
