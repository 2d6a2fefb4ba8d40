#!/usr/bin/env bash
# Builds everything and runs every test: native unit tests (also with AddressSanitizer and
# UBSan), a short run of each fuzzer, the Windows-side tests and the end-to-end tests under
# Wine inside one Xvfb session, and where this kernel runs no 32-bit programs, the 32-bit
# build's tests in a qemu guest (scripts/test-win32.sh). Every suite runs even when an
# earlier one failed; the failed ones are listed at the end and the exit code is 1. The tests
# run in C.UTF-8, whatever the caller's locale.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/locale.sh
use_test_locale
started=$SECONDS
section() { printf '== [%02d:%02d] %s\n' $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)) "$*"; }
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
# are listed at the end (exit code 1), so that one failure never hides another.
failures=()
suite_failed() { failures+=("$1"); echo "== FAILED: $1" >&2; }

section "unit tests with AddressSanitizer and UBSan"
{ configure build/sanitize -DRUNPACK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  cmake --build build/sanitize --target runpack_unit_tests &&
  ctest --test-dir build/sanitize -L unit --output-on-failure; } || suite_failed "unit tests with AddressSanitizer and UBSan"
section "fuzzers, a short run each"
{ configure build/fuzz -DRUNPACK_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ &&
  cmake --build build/fuzz &&
  ctest --test-dir build/fuzz --output-on-failure; } || suite_failed "fuzzers"

section "Windows-side and end-to-end tests under Wine ($arch build)"
if [ "$arch" != win32 ]; then
  echo "   (this kernel runs no 32-bit programs: the same sources run as the x86_64 build)"
fi
# One Wine session for both; each writes its name to the list when it fails.
wine_failures=$(mktemp)
trap 'rm -f "$wine_failures"' EXIT
RUNPACK_WINDOWS_BUILD="$PWD/build/$arch" scripts/wine-session bash -c '
  ctest --test-dir "build/$1" --output-on-failure || echo "Windows-side tests ($1 build)" >>"$2"
  ctest --test-dir build/host -LE e2e-win32 --output-on-failure || echo "native and end-to-end tests" >>"$2"
  [ ! -s "$2" ]' wine-tests "$arch" "$wine_failures" ||
  { [ -s "$wine_failures" ] || echo "the Wine session" >>"$wine_failures"; }
while IFS= read -r failed; do suite_failed "$failed"; done <"$wine_failures"

if [ "$arch" != win32 ]; then
  section "the 32-bit build's tests in a qemu guest"
  scripts/test-win32.sh --no-build || suite_failed "the 32-bit build's tests in the qemu guest"
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
