#!/usr/bin/env bash
# Builds a sample runpack executable from examples/hello, looks inside it, and runs it under
# Wine: the engine extracts the files into a fresh temporary directory, runs hello.bat there,
# waits for it, and removes everything again. Prints a line for each step with its time, the
# build's own progress, and the whole output of a step that fails. Ends with what the demo
# wrote, then the line "exit code: N" with the executable's exit code (as much of it as Wine
# passes on: the low 8 bits; 0 when it succeeded), which is also its own.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/locale.sh
use_test_locale
. scripts/steps.sh

step "installing what is missing"
./scripts/setup.sh

arch=$(scripts/windows-arch)
mkdir -p build/logs
# configure DIR [CMAKE OPTION...]: quiet unless it fails.
configure() {
  quietly "build/logs/configure-$(basename "$1").log" \
    cmake -S . -B "$1" -G Ninja -Wno-dev --no-warn-unused-cli "${@:2}"
}
step "building the engine and the runpack tool for Windows (build/win32)"
configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
cmake --build build/win32 --target runpack-engine runpack
step "building the runpack tool for this machine (build/host)"
configure build/host -DRUNPACK_ENGINE_EXE="$PWD/build/win32/runpack-engine.exe"
cmake --build build/host --target runpack
engine_option=()
if [ "$arch" != win32 ]; then
  # This kernel runs no 32-bit programs: package into the x86_64 twin of the engine instead.
  step "building the x86_64 twin of the engine, which this kernel can run (build/win64)"
  configure build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  cmake --build build/win64 --target runpack-engine
  engine_option=(--engine build/win64/runpack-engine.exe)
fi

step "building build/demo/hello.exe from examples/hello, and looking inside"
mkdir -p build/demo
set -x
build/host/runpack build -o build/demo/hello.exe -c "cmd.exe /c hello.bat" "${engine_option[@]}" examples/hello
build/host/runpack list build/demo/hello.exe
build/host/runpack verify build/demo/hello.exe
{ set +x; } 2>/dev/null

if [ -f "${WINEPREFIX:-build/wineprefix}/.runpack-ready" ]; then
  step "running build/demo/hello.exe under Wine"
else
  step "running build/demo/hello.exe under Wine, after making its prefix (once; it takes a minute or so)"
fi
out="$PWD/build/demo/hello-output.txt"
rm -f "$out"
# Runs the demo and shows what it wrote, then hands on its exit code. A failing run shows a
# message box that no one here can answer: give up after five minutes (exit code 124).
run_demo() {
  local status=0
  env RUNPACK_DEMO_OUT="Z:${out//\//\\}" scripts/wine-session timeout 300 scripts/wine build/demo/hello.exe ||
    status=$?
  if [ -f "$out" ]; then cat "$out"; fi
  return "$status"
}
status=0
report_exit run_demo || status=$?
if [ "$status" -ne 0 ]; then
  echo "demo: build/demo/hello.exe failed (exit code $status)" >&2
fi
exit "$status"
