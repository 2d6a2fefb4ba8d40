#!/usr/bin/env bash
# Builds a sample runpack executable from examples/hello, looks inside it, and runs it under
# Wine: the engine extracts the files into a fresh temporary directory, runs hello.bat there,
# waits for it, and removes everything again.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
./scripts/setup.sh

arch=$(scripts/windows-arch)
configure() { cmake -S . -B "$1" -G Ninja -Wno-dev --no-warn-unused-cli "${@:2}" >/dev/null; }
echo "== building the engine and the runpack tool"
configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
cmake --build build/win32 --target runpack-engine runpack >/dev/null
configure build/host -DRUNPACK_ENGINE_EXE="$PWD/build/win32/runpack-engine.exe"
cmake --build build/host --target runpack >/dev/null
engine_option=()
if [ "$arch" != win32 ]; then
  # This kernel runs no 32-bit programs: package into the x86_64 twin of the engine instead.
  configure build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  cmake --build build/win64 --target runpack-engine >/dev/null
  engine_option=(--engine build/win64/runpack-engine.exe)
fi

mkdir -p build/demo
set -x
build/host/runpack build -o build/demo/hello.exe -c "cmd.exe /c hello.bat" "${engine_option[@]}" examples/hello
build/host/runpack list build/demo/hello.exe
build/host/runpack verify build/demo/hello.exe
{ set +x; } 2>/dev/null

echo "== running build/demo/hello.exe under Wine"
out="$PWD/build/demo/hello-output.txt"
rm -f "$out"
RUNPACK_DEMO_OUT="Z:${out//\//\\}" scripts/wine-session scripts/wine build/demo/hello.exe
echo "exit code: $?"
cat "$out"
