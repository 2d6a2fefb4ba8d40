#!/usr/bin/env bash
# The solid LZMA2 levels beside 7z and xz, and the same executable from every thread count.
#
#   bench/solid_bench.sh [levels] [jobs]     (default: both; after the host and win32 builds)
#   ROUNDS=1 (best of, for the build times), LEVELS="fast best max", JOBS_LEVELS="best",
#   REFS=0 (keep the 7z and xz files of an earlier run: their speeds then show as -),
#   SETS="dlls text", ENGINE=build/win32/runpack-engine.exe
#
# Two sets, made under build/bench:
# - dlls: Wine's i386 DLLs, whole files in name order until 64 MiB are reached, as
#   bench/engine_bench.sh takes them (91 files, 69,655,194 bytes with Debian's wine 8.0);
# - text: the 32 largest .md and .html files of /usr/share/doc/nodejs/api (all.* left out,
#   equal sizes by name; 8,363,549 bytes with nodejs 20.20.2).
# levels: for each set, `7z a -t7z -mx=9 -ms=on` and `tar | xz -6` of the files, and
#   `runpack build --level L` for each level: the executable, its payload (the executable's
#   size minus the engine's) and the payload's ratio to both, and the build's wall-clock
#   speed on all cores (best of ROUNDS; MB = 10^6 bytes of files).
# jobs: the sha1sum of `runpack build --jobs N` for N = 1, 2, 3, 8 at the JOBS_LEVELS.
# The levers table of bench/README.md comes from bench/solid_levers.py on the same sets.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool=build/host/runpack
engine=${ENGINE:-build/win32/runpack-engine.exe}
work=build/bench
rounds=${ROUNDS:-1}
parts=${*:-levels jobs}
mkdir -p "$work"

if [ ! -f "$work/dlls.done" ]; then
  rm -rf "$work/dlls"; mkdir -p "$work/dlls"
  total=0
  for f in $(ls /usr/lib/i386-linux-gnu/wine/i386-windows/*.dll | sort); do
    cp "$f" "$work/dlls/"
    total=$((total + $(stat -c %s "$f")))
    [ $total -ge $((64 << 20)) ] && break
  done
  touch "$work/dlls.done"
fi
if [ ! -f "$work/text.done" ]; then
  rm -rf "$work/text"; mkdir -p "$work/text"
  api=/usr/share/doc/nodejs/api
  [ -d "$api" ] || { echo "no $api: the text set needs the nodejs package's documentation" >&2; exit 1; }
  for f in $(cd "$api" && ls -S -- *.md *.html | grep -v '^all\.' | head -32); do cp "$api/$f" "$work/text/"; done
  touch "$work/text.done"
fi
engine_size=$(stat -c %s "$engine")

# Best wall-clock seconds of $rounds runs.
best() {
  local best_time=999999 t0 t1 t
  for _ in $(seq "$rounds"); do
    t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    best_time=$(echo "if ($t < $best_time) $t else $best_time" | bc -l)
  done
  printf '%.1f' "$best_time"
}

for set in ${SETS:-dlls text}; do
  files=$work/$set
  bytes=$(cat "$files"/* | wc -c)
  mb=$(echo "$bytes / 1000000" | bc -l)
  echo "$set: $(ls "$files" | wc -l) files, $bytes bytes; engine $engine_size bytes; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
  if [[ " $parts " == *" levels "* ]]; then
    t7z=- txz=-
    if [ "${REFS:-1}" != 0 ] || [ ! -f "$work/$set.7z" ] || [ ! -f "$work/$set.tar.xz" ]; then
      t7z=$(best bash -c "rm -f '$work/$set.7z'; cd '$files' && 7z a -t7z -mx=9 -ms=on '$PWD/$work/$set.7z' ./*")
      tar -cf "$work/$set.tar" -C "$files" .
      txz=$(best bash -c "xz -6 -c < '$work/$set.tar' > '$work/$set.tar.xz'")
    fi
    s7z=$(stat -c %s "$work/$set.7z")
    sxz=$(stat -c %s "$work/$set.tar.xz")
    printf '  %-28s %12s %8s %8s %8s\n' "" "bytes" "/7z" "/xz -6" "MB/s"
    speed() { [ "$1" = - ] && echo - || printf '%.1f' "$(echo "$mb / $1" | bc -l)"; }
    printf '  %-28s %12s %8.4f %8.4f %8s\n' "7z a -t7z -mx=9 -ms=on" "$s7z" 1 "$(echo "$s7z / $sxz" | bc -l)" "$(speed "$t7z")"
    printf '  %-28s %12s %8.4f %8.4f %8s\n' "tar | xz -6" "$sxz" "$(echo "$sxz / $s7z" | bc -l)" 1 "$(speed "$txz")"
    for level in ${LEVELS:-fast best max}; do
      exe=$work/$set-$level.exe
      t=$(best bash -c "rm -f '$exe'; '$tool' build -o '$exe' --engine '$engine' --level $level '$files'")
      payload=$(( $(stat -c %s "$exe") - engine_size ))
      streams=$("$tool" list --json "$exe" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["streams"]))')
      printf '  %-28s %12s %8.4f %8.4f %8.1f   (%s streams, exe %s)\n' "runpack --level $level" "$payload" \
        "$(echo "$payload / $s7z" | bc -l)" "$(echo "$payload / $sxz" | bc -l)" "$(echo "$mb / $t" | bc -l)" "$streams" "$(stat -c %s "$exe")"
    done
  fi
  if [[ " $parts " == *" jobs "* ]]; then
    for level in ${JOBS_LEVELS:-best}; do
      sums=""
      for jobs in 1 2 3 8; do
        "$tool" build -o "$work/$set-jobs$jobs.exe" --engine "$engine" --level "$level" --jobs $jobs "$files" >/dev/null
        sums+="$(sha1sum < "$work/$set-jobs$jobs.exe" | cut -c1-40) "
      done
      distinct=$(echo $sums | tr ' ' '\n' | sort -u | wc -l)
      echo "  --level $level, --jobs 1 2 3 8: $sums-> $distinct distinct"
    done
  fi
done
