#!/usr/bin/env bash
# Builds everything and runs every test: native unit tests (also with AddressSanitizer and
# UBSan), a short run of each fuzzer, the Windows-side tests and the end-to-end tests under
# Wine inside one Xvfb session, and where this kernel runs no 32-bit programs, the 32-bit
# build's tests in a qemu guest (scripts/test-win32.sh). Every suite runs even when an
# earlier one failed; the failed ones are listed at the end, each with its output's log in
# build/logs/, and the exit code is 1. The tests run in C.UTF-8, whatever the caller's locale.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/locale.sh
use_test_locale
. scripts/steps.sh
section() { step "$@"; }
section "installing what is missing"
./scripts/setup.sh

arch=$(scripts/windows-arch)
# Compiled objects are kept in the cache folder, beside the guest's: a machine's later runs,
# from whichever checkout, compile only what changed.
export CCACHE_DIR=${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/runpack/ccache}
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-2G}
configure() {
  cmake -S . -B "$1" -G Ninja -Wno-dev --no-warn-unused-cli \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "${@:2}" >/dev/null
}

section "building the engine (32-bit and 64-bit) and the host tools"
# The 32-bit tests and driver are built everywhere: where this kernel cannot run them, the
# guest of scripts/test-win32.sh does.
configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DRUNPACK_TESTS=ON
cmake --build build/win32
if [ "$arch" = win64 ]; then
  configure build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  cmake --build build/win64
fi
configure build/host -DRUNPACK_ENGINE_EXE="$PWD/build/win32/runpack-engine.exe"
cmake --build build/host
# The suites below run whatever an earlier one did: each failure is noted, and all of them
# are listed at the end (exit code 1) with the log that keeps the suite's output, so that one
# failure never hides another. Each suite's output goes to the terminal and to its log.
logs=build/logs
mkdir -p "$logs"
failures=()
suite_failed() { failures+=("$1 (its output: $2)"); echo "== FAILED: $1" >&2; }
# suite NAME LOG COMMAND [ARG...]: runs one suite with its output also in LOG.
suite() {
  local name=$1 log=$2 status=0
  shift 2
  "$@" 2>&1 | tee "$log" || status=$?
  if [ "$status" -ne 0 ]; then suite_failed "$name" "$log"; fi
}

sanitize_suite() {
  configure build/sanitize -DRUNPACK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build/sanitize --target runpack_unit_tests &&
    with_heartbeat "running the unit tests with AddressSanitizer and UBSan" \
      ctest --test-dir build/sanitize -L unit --output-on-failure
}
fuzz_suite() {
  configure build/fuzz -DRUNPACK_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ &&
    cmake --build build/fuzz &&
    ctest --test-dir build/fuzz --output-on-failure
}
section "unit tests with AddressSanitizer and UBSan"
suite "unit tests with AddressSanitizer and UBSan" "$logs/test-sanitize.log" sanitize_suite
section "fuzzers, a short run each"
suite "fuzzers" "$logs/test-fuzz.log" fuzz_suite

section "Windows-side and end-to-end tests under Wine ($arch build)"
if [ "$arch" != win32 ]; then
  echo "   (this kernel runs no 32-bit programs: the same sources run as the x86_64 build)"
fi
# One Wine session for both; each writes its name and log to the list when it fails, and the
# session's own output (making the prefix, starting Wine) is kept as well.
wine_failures=$(mktemp)
trap 'rm -f "$wine_failures"' EXIT
session_log=$logs/test-wine-session.log
RUNPACK_WINDOWS_BUILD="$PWD/build/$arch" scripts/wine-session bash -c '
  set -o pipefail
  . scripts/steps.sh
  with_heartbeat "running the Windows-side tests" ctest --test-dir "build/$1" --output-on-failure 2>&1 |
    tee "$3/test-windows.log" || printf "%s\t%s\n" "Windows-side tests ($1 build)" "$3/test-windows.log" >>"$2"
  with_heartbeat "running the native and end-to-end tests" ctest --test-dir build/host -LE e2e-win32 --output-on-failure 2>&1 |
    tee "$3/test-host.log" || printf "%s\t%s\n" "native and end-to-end tests" "$3/test-host.log" >>"$2"
  [ ! -s "$2" ]' wine-tests "$arch" "$wine_failures" "$logs" 2>&1 | tee "$session_log" ||
  { [ -s "$wine_failures" ] || printf '%s\t%s\n' "the Wine session" "$session_log" >>"$wine_failures"; }
while IFS=$'\t' read -r failed log; do suite_failed "$failed" "$log"; done <"$wine_failures"

if [ "$arch" != win32 ]; then
  section "the 32-bit build's tests in a qemu guest"
  suite "the 32-bit build's tests in the qemu guest" "$logs/test-win32.log" scripts/test-win32.sh --no-build
fi

if [ ${#failures[@]} -gt 0 ]; then
  section "FAILED: ${#failures[@]} suite(s)"
  printf '   %s\n' "${failures[@]}" >&2
  exit 1
fi
if [ "$arch" = win32 ]; then
  section "done (the suite above ran on the 32-bit build)"
else
  section "done"
fi
