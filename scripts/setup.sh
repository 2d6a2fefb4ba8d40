#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test runpack:
# the MinGW-w64 i686 cross toolchain, Wine (32-bit), Xvfb, the Czech and US English
# locales, the libraries the host tool, tests and benchmarks use, qemu with a static busybox
# for the guest that runs the 32-bit tests where this kernel cannot, ccache, and man with
# groff for the manual page.
# Idempotent: when everything is present it only checks and prints nothing. Otherwise it
# prints a line for each step, and the whole output of a step that fails (kept under
# build/logs/ as well).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/steps.sh"
logs=$(dirname "$here")/build/logs

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  cmake ninja-build g++ clang lld libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 xvfb x11-utils imagemagick
  locales
  googletest libgtest-dev libbenchmark-dev libssl-dev
  nlohmann-json3-dev liblhasa-dev lhasa liblzma-dev dpkg-dev
  osslsigncode openssl bc python3-pefile p7zip-full man-db groff-base
  qemu-system-x86 busybox-static zstd xz-utils ccache unicode-data
)

missing=()
for p in "${packages[@]}"; do
  name="${p%%:*}"; arch="${p#*:}"; [ "$arch" = "$p" ] && arch=""
  query="$name"; [ -n "$arch" ] && query="$name:$arch"
  status=$(dpkg-query -W -f='${db:Status-Status}' "$query" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  mkdir -p "$logs"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    step "adding the i386 architecture (for wine32)"
    quietly "$logs/setup-architecture.log" $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  step "updating the package lists"
  apt_update "$logs/setup-update.log"
  step "installing ${#missing[@]} packages and what they need: ${missing[*]}"
  # apt-get's status lines on standard output (sudo passes no other descriptor) become a few
  # progress lines; everything else goes to the log.
  status=0
  apt_install "$logs/setup-install.log" "${missing[@]}" || status=$?
  if [ "$status" -ne 0 ]; then
    printf '%s\n' "$MIRROR_HINT" >&2
    echo "-- apt-get install failed with exit code $status; its output ($logs/setup-install.log):" >&2
    cat "$logs/setup-install.log" >&2
    exit "$status"
  fi
fi

# Wine selects Czech resources only when the Linux locale exists.
for loc in cs_CZ en_US; do
  if ! locale -a 2>/dev/null | grep -qix "${loc}.utf8"; then
    mkdir -p "$logs"
    step "generating the locale ${loc}.UTF-8"
    quietly "$logs/setup-locale.log" $SUDO localedef -i "$loc" -f UTF-8 "${loc}.UTF-8"
  fi
done

# runpack.exe compresses with liblzma as the Linux tool does, and must make the same bytes: its
# build compiles the very version the host has, from Debian's source package, fetched once
# into the cache folder (tools/runpack/CMakeLists.txt finds it there).
lzma_version=$(dpkg-query -W -f='${source:Version}' liblzma-dev)
lzma_source=${XDG_CACHE_HOME:-$HOME/.cache}/runpack/xz-utils-$lzma_version
if [ ! -f "$lzma_source/src/liblzma/api/lzma.h" ]; then
  mkdir -p "$logs"
  step "fetching liblzma's source (Debian's xz-utils $lzma_version) for runpack.exe"
  quietly "$logs/setup-lzma-source.log" fetch_source_package xz-utils "$lzma_version" "$lzma_source"
fi
