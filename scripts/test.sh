#!/usr/bin/env bash
# Builds everything and runs every test: native unit tests (also with AddressSanitizer and
# UBSan), a short run of each fuzzer, the Windows-side tests and the end-to-end tests under
# Wine inside one Xvfb session.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
./scripts/setup.sh

arch=$(scripts/windows-arch)
configure() { cmake -S . -B "$1" -G Ninja -Wno-dev --no-warn-unused-cli "${@:2}" >/dev/null; }

echo "== building the engine (32-bit and 64-bit) and the host tools"
# The 32-bit build's tests run only where the kernel runs 32-bit programs.
configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DRUNPACK_TESTS=$([ "$arch" = win32 ] && echo ON || echo OFF)
cmake --build build/win32
if [ "$arch" = win64 ]; then
  configure build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  cmake --build build/win64
fi
configure build/host -DRUNPACK_ENGINE_EXE="$PWD/build/win32/runpack-engine.exe"
cmake --build build/host
configure build/sanitize -DRUNPACK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/sanitize --target runpack_unit_tests
configure build/fuzz -DRUNPACK_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build build/fuzz

echo "== unit tests with AddressSanitizer and UBSan"
ctest --test-dir build/sanitize -L unit --output-on-failure
echo "== fuzzers, a short run each"
ctest --test-dir build/fuzz --output-on-failure

echo "== Windows-side and end-to-end tests under Wine ($arch build)"
if [ "$arch" != win32 ]; then
  echo "   (this kernel runs no 32-bit programs: the same sources run as the x86_64 build)"
fi
export RUNPACK_WINDOWS_BUILD="$PWD/build/$arch"
scripts/wine-session bash -c "ctest --test-dir build/$arch --output-on-failure && ctest --test-dir build/host --output-on-failure"
